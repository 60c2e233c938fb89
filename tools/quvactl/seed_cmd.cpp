// quvactl machine seed: puts an earlier generation of the token driver stack
// on a Windows 2000/XP machine, as its own installer would have left it, so
// that every upgrade path of the driver installer has a machine to run on.
#include "installer_lib.h"
#include "machine_diff.h"

#include <unistd.h>

#include <fstream>
#include <iterator>
#include <vector>

using namespace quvactl;

namespace {

// The build puts the packages in packages/ beside bin/.
std::string packages_dir() {
    char buf[4096];
    ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
    std::string exe = n > 0 ? std::string(buf, (size_t)n) : std::string("./quvactl");
    std::string bin = exe.substr(0, exe.rfind('/'));
    return bin.substr(0, bin.rfind('/')) + "/packages";
}

bool host_file(const std::string &path, std::vector<BYTE> *bytes) {
    std::ifstream f(path, std::ios::binary);
    if (!f) return false;
    bytes->assign(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
    return true;
}

std::string reg_escape(const std::string &s) {
    std::string out;
    for (char c : s) {
        if (c == '\\' || c == '"') out += '\\';
        out += c;
    }
    return out;
}

struct Seeder {
    std::string packages, windir, sysdir;
    std::string error;

    bool fail(const std::string &why) {
        if (error.empty()) error = why;
        return false;
    }

    // Copies an INF into %windir%\INF as the next free oemN.inf with a
    // compiled-INF stand-in beside it, as the setup engine does; an INF
    // already there with the same contents keeps its number.
    std::string add_oem_inf(const std::string &host_inf) {
        std::vector<BYTE> bytes;
        if (!host_file(host_inf, &bytes)) {
            fail("cannot read " + host_inf);
            return "";
        }
        for (int n = 0; n < 1000; n++) {
            std::string name = "oem" + std::to_string(n) + ".inf";
            std::string path = windir + "\\INF\\" + name;
            std::vector<BYTE> there;
            if (winsim::disk::read_file(path, &there)) {
                if (there == bytes) return name;
                continue;
            }
            std::string pnf = "PNF stand-in for " + name + "\r\n";
            if (!winsim::disk::write_file(path, bytes) ||
                !winsim::disk::write_file(path.substr(0, path.size() - 3) + "pnf", std::vector<BYTE>(pnf.begin(), pnf.end()))) {
                fail("cannot write " + path);
                return "";
            }
            return name;
        }
        fail("no free oemN.inf name");
        return "";
    }

    bool add_driver_file(const std::string &folder, const std::string &file) {
        std::vector<BYTE> bytes;
        if (!host_file(packages + "/" + folder + "/" + file, &bytes))
            return fail("cannot read " + packages + "/" + folder + "/" + file + " (is the package built?)");
        if (!winsim::disk::write_file(sysdir + "\\DRIVERS\\" + file, bytes)) return fail("cannot write " + file);
        return true;
    }

    bool add_service(const std::string &name, const std::string &file, const std::string &display) {
        std::string text = "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\" + name +
                           "]\n\"Type\"=dword:00000001\n\"Start\"=dword:00000003\n\"ErrorControl\"=dword:00000001\n"
                           "\"ImagePath\"=\"" + reg_escape("System32\\DRIVERS\\" + file) + "\"\n\"DisplayName\"=\"" +
                           reg_escape(display) + "\"\n";
        std::string why;
        if (!winsim::reg::import_text(text, &why)) return fail("service " + name + ": " + why);
        return true;
    }

    bool import(const std::string &text) {
        std::string why;
        if (!winsim::reg::import_text("REGEDIT4\n\n" + text, &why)) return fail(why);
        return true;
    }

    // A device node whose driver key names the INF it was installed from.
    std::string add_device(winsim::devices::DeviceSpec spec, const std::string &inf, const std::string &section,
                           const std::string &version) {
        spec.driver = true;
        spec.mfg = "Vornel Technologies";
        // Seeding again rewrites the node rather than leaving a second
        // driver key behind.
        winsim::devices::Device old;
        if (winsim::devices::find(spec.instance_id, &old)) winsim::devices::remove(spec.instance_id);
        std::string id = winsim::devices::add(spec);
        winsim::devices::Device d;
        if (id.empty() || !winsim::devices::find(id, &d)) {
            fail("cannot add the device " + spec.hardware_ids[0]);
            return "";
        }
        import("[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Class\\" + d.driver + "]\n\"InfPath\"=\"" +
               inf + "\"\n\"InfSection\"=\"" + section + "\"\n\"ProviderName\"=\"Vornel Technologies\"\n"
               "\"DriverVersion\"=\"" + version + "\"\n");
        return id;
    }
};

winsim::devices::DeviceSpec token_spec(const std::string &class_name, const std::string &service, bool present) {
    winsim::devices::DeviceSpec s;
    s.hardware_ids = {"USB\\VID_1F3C&PID_1000"};
    s.instance_id = "USB\\VID_1F3C&PID_1000\\5&1F3C1000&0&1";
    s.compatible_ids = {"USB\\Class_FF&SubClass_00&Prot_00", "USB\\Class_FF"};
    s.class_name = class_name;
    s.service = service;
    s.description = "Vornel Quva A1";
    s.present = present;
    return s;
}

winsim::devices::DeviceSpec node_spec(const std::string &hwid, const std::string &instance,
                                      const std::string &class_name, const std::string &service,
                                      const std::string &description) {
    winsim::devices::DeviceSpec s;
    s.hardware_ids = {hwid};
    s.instance_id = instance;
    s.class_name = class_name;
    s.service = service;
    s.description = description;
    s.present = true;
    return s;
}

int machine_seed(const Args &args) {
    std::string dir, generation, packages = packages_dir();
    bool present = false;
    for (size_t i = 0; i < args.size(); i++) {
        if (args[i] == "--generation" && i + 1 < args.size()) generation = args[++i];
        else if (args[i] == "--packages" && i + 1 < args.size()) packages = args[++i];
        else if (args[i] == "--present") present = true;
        else if (args[i].rfind("--", 0) == 0) return usage_error("unknown option " + args[i]);
        else if (dir.empty()) dir = args[i];
        else return usage_error("one machine directory only");
    }
    if (dir.empty() || generation.empty()) return usage_error("machine seed needs a machine directory and --generation");
    if (generation != "usb-class" && generation != "reader-class" && generation != "token-class" &&
        generation != "reader-stack")
        return usage_error("unknown generation '" + generation + "' (usb-class, reader-class, token-class, reader-stack)");
    auto m = load_machine(dir);
    if (!m) return 1;
    const winsim::Profile &p = m->profile();
    if (!p.nt() || p.major != 5) {
        std::cerr << "quvactl: the earlier driver generations are for Windows 2000, XP and 2003, not " << p.title
                  << "\n";
        return 1;
    }
    Seeder s;
    s.packages = packages;
    s.windir = p.windows_dir;
    s.sysdir = p.system_dir;
    OperationDiff changes;

    // Other makers' drivers are on every machine; the purge must leave them.
    s.add_oem_inf(packages + "/generations/other/hldnscr.inf");
    s.add_oem_inf(packages + "/generations/other/nrvkusb.inf");

    const std::string services = "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\";
    if (generation == "usb-class") {
        // 1.12: the token a plain USB device, its driver a service of its own
        // name (the token driver service of later generations does not exist).
        std::string inf = s.add_oem_inf(packages + "/generations/usb-class/qvtkusb.inf");
        s.add_driver_file("generations/usb-class", "QVATOKEN.SYS");
        s.add_service("QvaTknUsb", "QVATOKEN.SYS", "Quva USB Token");
        s.add_device(token_spec("USB", "QvaTknUsb", present), inf, "QvaToken_Install", "1.12.0.21");
    } else if (generation == "reader-class") {
        // 1.16: each token is a smart-card reader of its own.
        std::string inf = s.add_oem_inf(packages + "/generations/reader-class/qvtkscr.inf");
        s.add_driver_file("generations/reader-class", "QVATOKEN.SYS");
        s.add_service("qvatoken", "QVATOKEN.SYS", "Quva Token Smart Card Reader");
        s.add_device(token_spec("SmartCardReader", "qvatoken", present), inf, "QvaToken_Install", "1.16.0.44");
    } else if (generation == "token-class") {
        // 1.17: tokens, enumerator and virtual reader in the maker's own class.
        std::string inf = s.add_oem_inf(packages + "/generations/token-class/quvatok.inf");
        for (const char *f : {"QVATOKEN.SYS", "quvaenum.sys", "quvaIFD.SYS"}) s.add_driver_file("generations/token-class", f);
        s.add_service("qvatoken", "QVATOKEN.SYS", "Quva Token Driver");
        s.add_service("quvaenum", "quvaenum.sys", "Quva Reader Enumerator");
        s.add_service("quvaifd", "quvaIFD.SYS", "Quva Virtual Reader Driver");
        s.import(services + "QvaToken\\Parameters]\n\"UseRM\"=dword:00000001\n\"DriverFlags\"=dword:00000000\n\n" +
                 services + "quvaenum]\n\"NumberOfDevices\"=dword:00000001\n");
        s.add_device(token_spec("Quva", "qvatoken", present), inf, "QvaToken_Install", "1.17.0.50");
        s.add_device(node_spec("quva\\quvaEnum", "ROOT\\QUVA\\0000", "Quva", "quvaenum", "Vornel Quva Reader Enumerator"),
                     inf, "QuvaEnum_Install", "1.17.0.50");
        s.add_device(node_spec("quvaenum\\quvaifd", "QUVAENUM\\QUVAIFD\\1&2F5D0C1A&0&00", "Quva", "quvaifd",
                               "Vornel Quva Virtual Smart Card Reader"),
                     inf, "QuvaIFD_Install", "1.17.0.50");
    } else {
        // 1.18.0.56: the current stack one version back, one virtual reader.
        std::string inf = s.add_oem_inf(packages + "/nt5-previous/qvatoken.inf");
        for (const char *f : {"QVATOKEN.SYS", "quvaenum.sys", "quvaIFD.SYS"}) s.add_driver_file("nt5-previous", f);
        s.add_service("qvatoken", "QVATOKEN.SYS", "Quva Token Driver");
        s.add_service("quvaenum", "quvaenum.sys", "Quva Reader Enumerator");
        s.add_service("quvaifd", "quvaIFD.SYS", "Quva Virtual Reader Driver");
        s.import(services + "QvaToken\\Parameters]\n\"UseRM\"=dword:00000001\n\"DriverFlags\"=dword:00000000\n\n" +
                 services + "quvaenum]\n\"NumberOfDevices\"=dword:00000001\n");
        s.add_device(token_spec("SmartCardReader", "qvatoken", present), inf, "QvaToken_Install", "1.18.0.56");
        s.add_device(node_spec("quva\\quvaEnum", "ROOT\\SMARTCARDREADER\\0000", "SmartCardReader", "quvaenum",
                               "Vornel Quva Reader Enumerator"),
                     inf, "QuvaEnum_Install", "1.18.0.56");
        s.add_device(node_spec("quvaenum\\quvaifd", "QUVAENUM\\QUVAIFD\\1&2F5D0C1A&0&00", "SmartCardReader", "quvaifd",
                               "Vornel Quva Virtual Smart Card Reader"),
                     inf, "QuvaIFD_Install", "1.18.0.56");
    }
    if (!s.error.empty()) {
        std::cerr << "quvactl: " << s.error << "\n";
        return 1;
    }
    m->save();
    std::printf("seeded the %s generation on %s%s\n", generation.c_str(), p.title,
                present ? ", token plugged in" : "");
    changes.print();
    return 0;
}

Register r({"machine seed", "machine seed DIR --generation GEN [--present] [--packages DIR]",
            "put an earlier token driver generation on a Windows 2000/XP machine",
            "GEN is the stack an upgrade starts from:\n"
            "  usb-class     1.12: the token registered in the USB setup class\n"
            "  reader-class  1.16: tokens as smart-card readers, an older token driver\n"
            "  token-class   1.17: token, enumerator and virtual reader in the maker's class\n"
            "  reader-stack  1.18.0.56: the current enumerator and virtual-reader stack\n"
            "Each writes its INF as oemN.inf, its driver files, services and device nodes,\n"
            "beside two INFs of other makers.  --present leaves the token plugged in.\n"
            "--packages names the folder of the built driver packages (default: the build's).\n",
            machine_seed});

} // namespace
