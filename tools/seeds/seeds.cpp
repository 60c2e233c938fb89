// Machine seeds: each earlier installation as its own installer left it.
// Windows 2000/XP generations write their OEM INF, driver files, services
// and device nodes; the NT 4.0 and 9x ones run the older package's
// DefaultInstall through the simulated INF engine and add what the install
// flow and the system wrote around it.
#include "seeds.h"

#include <windows.h>
#include <setupapi.h>
#include <winsim/sim.h>

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iterator>

namespace seeds {

namespace {

enum class Os { Nt5, Nt4, Win98Me, Win95, Other };

Os current_os() {
    OSVERSIONINFOA v = {};
    v.dwOSVersionInfoSize = sizeof v;
    if (!GetVersionExA(&v)) return Os::Other;
    if (v.dwPlatformId == VER_PLATFORM_WIN32_NT) return v.dwMajorVersion == 5 ? Os::Nt5 : v.dwMajorVersion == 4 ? Os::Nt4 : Os::Other;
    if (v.dwPlatformId == VER_PLATFORM_WIN32_WINDOWS)
        return (v.dwMajorVersion > 4 || (v.dwMajorVersion == 4 && v.dwMinorVersion > 0)) ? Os::Win98Me : Os::Win95;
    return Os::Other;
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

std::string dir_of(UINT(WINAPI *get)(LPSTR, UINT)) {
    char buf[MAX_PATH];
    UINT n = get(buf, sizeof buf);
    return n > 0 && n < sizeof buf ? std::string(buf, n) : std::string();
}

// The token as seeded everywhere: the A1 model, one instance.
const char k_token_id[] = "USB\\VID_1F3C&PID_1000";
const char k_token_key[] = "VID_1F3C&PID_1000";
const char k_hklm[] = "[HKEY_LOCAL_MACHINE\\";
const char k_services[] = "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\";
// Where the earlier 9x installs ran from: the flows keep it as "SourcePath".
const char k_source_98[] = "C:\\QUVA\\WIN98\\";
const char k_source_95[] = "C:\\QUVA\\WIN95\\";

struct Seeder {
    std::string packages, windir, sysdir;
    std::string error;

    bool fail(const std::string &why) {
        if (error.empty()) error = why;
        return false;
    }

    bool read_package(const std::string &folder, const std::string &file, std::vector<BYTE> *bytes) {
        if (host_file(packages + "/" + folder + "/" + file, bytes)) return true;
        return fail("cannot read " + packages + "/" + folder + "/" + file + " (is the package built?)");
    }

    bool write(const std::string &path, const std::vector<BYTE> &bytes) {
        winsim::disk::make_dirs(path.substr(0, path.rfind('\\')));
        return winsim::disk::write_file(path, bytes) || fail("cannot write " + path);
    }

    bool write_text(const std::string &path, const std::string &text) {
        return write(path, std::vector<BYTE>(text.begin(), text.end()));
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
            if (!write(path, bytes) || !write_text(path.substr(0, path.size() - 3) + "pnf", "PNF stand-in for " + name + "\r\n"))
                return "";
            return name;
        }
        fail("no free oemN.inf name");
        return "";
    }

    bool add_driver_file(const std::string &folder, const std::string &file) {
        std::vector<BYTE> bytes;
        return read_package(folder, file, &bytes) && write(sysdir + "\\DRIVERS\\" + file, bytes);
    }

    bool add_service(const std::string &name, const std::string &file, const std::string &display) {
        return import(std::string(k_services) + name +
                      "]\n\"Type\"=dword:00000001\n\"Start\"=dword:00000003\n\"ErrorControl\"=dword:00000001\n"
                      "\"ImagePath\"=\"" + reg_escape("System32\\DRIVERS\\" + file) + "\"\n\"DisplayName\"=\"" +
                      reg_escape(display) + "\"\n");
    }

    bool import(const std::string &text) {
        std::string why;
        if (!winsim::reg::import_text("REGEDIT4\n\n" + text, &why)) return fail(why);
        return true;
    }

    // Runs a package's DefaultInstall the way the rundll host does, from a
    // staging folder that is removed again.
    bool run_default_install(const std::string &folder, const std::string &inf, const std::vector<std::string> &files) {
        const std::string stage = windir + "\\TEMP\\QUVASEED";
        std::vector<std::string> staged;
        bool ok = true;
        for (const std::string &f : files) {
            std::vector<BYTE> bytes;
            if (!read_package(folder, f, &bytes) || !write(stage + "\\" + f, bytes)) {
                ok = false;
                break;
            }
            staged.push_back(stage + "\\" + f);
        }
        if (ok) {
            std::string command = "DefaultInstall 132 " + stage + "\\" + inf;
            InstallHinfSectionA(nullptr, nullptr, command.c_str(), SW_HIDE);
        }
        for (const std::string &p : staged) winsim::disk::remove(p);
        winsim::disk::remove(stage);
        return ok;
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

    // A 9x device: its class driver key and its "Enum\USB" node.  The
    // driver key is the device's own when seeded again, else the first free
    // one from first_index on.
    bool add_9x_device(const std::string &hwid, const std::string &cls, int first_index,
                       const std::string &description, const std::string &mfg, const std::string &driver_values) {
        std::string enum_name = hwid.substr(hwid.find('\\') + 1);
        const std::string class_key = "HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\Class\\" + cls + "\\";
        std::string index;
        for (int n = first_index; n < 10000 && index.empty(); n++) {
            char name[8];
            std::snprintf(name, sizeof name, "%04d", n);
            DWORD type = 0;
            std::vector<BYTE> id;
            if (!winsim::reg::key_exists(class_key + name) ||
                (winsim::reg::value(class_key + name, "MatchingDeviceId", &type, &id) &&
                 std::string(id.begin(), std::find(id.begin(), id.end(), 0)) == hwid))
                index = name;
        }
        return import(k_hklm + std::string("System\\CurrentControlSet\\Services\\Class\\") + cls + "\\" + index +
                      "]\n\"DriverDesc\"=\"" + description + "\"\n\"MatchingDeviceId\"=\"" + reg_escape(hwid) +
                      "\"\n\"ProviderName\"=\"" + mfg + "\"\n" + driver_values + "\n" + k_hklm + "Enum\\USB\\" +
                      enum_name + "\\1]\n\"Class\"=\"" + cls + "\"\n\"Driver\"=\"" + cls + "\\\\" + index +
                      "\"\n\"HardwareID\"=\"" + reg_escape(hwid) + "\"\n\"DeviceDesc\"=\"" + description +
                      "\"\n\"Mfg\"=\"" + mfg + "\"\n\"ConfigFlags\"=hex:00,00,00,00\n");
    }

    // The link the shell leaves in "Recent" after "Install" on an INF's menu.
    bool add_recent_link(const std::string &inf) {
        return write_text(windir + "\\Recent\\" + inf + ".LNK", "Shell link stand-in to " + inf + "\r\n");
    }

    bool set_source_path(const std::string &dir) {
        return import(k_hklm + std::string("Software\\Microsoft\\Windows\\CurrentVersion\\Setup]\n\"SourcePath\"=\"") +
                      reg_escape(dir) + "\"\n");
    }
};

winsim::devices::DeviceSpec token_spec(const std::string &class_name, const std::string &service, bool present) {
    winsim::devices::DeviceSpec s;
    s.hardware_ids = {k_token_id};
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

// ------------------------------------------------------------ 2000/XP

void seed_nt5(Seeder &s, const std::string &generation, bool present) {
    const std::string &pk = s.packages;
    // Other makers' drivers are on every machine; the purge must leave them.
    s.add_oem_inf(pk + "/generations/other/hldnscr.inf");
    s.add_oem_inf(pk + "/generations/other/nrvkusb.inf");

    const std::string params = std::string(k_services) +
                               "QvaToken\\Parameters]\n\"UseRM\"=dword:00000001\n\"DriverFlags\"=dword:00000000\n\n" +
                               k_services + "quvaenum]\n\"NumberOfDevices\"=dword:00000001\n";
    if (generation == "usb-class") {
        // 1.12: the token a plain USB device, its driver a service of its own
        // name (the token driver service of later generations does not exist).
        std::string inf = s.add_oem_inf(pk + "/generations/usb-class/qvtkusb.inf");
        s.add_driver_file("generations/usb-class", "QVATOKEN.SYS");
        s.add_service("QvaTknUsb", "QVATOKEN.SYS", "Quva USB Token");
        s.add_device(token_spec("USB", "QvaTknUsb", present), inf, "QvaToken_Install", "1.12.0.21");
    } else if (generation == "reader-class") {
        // 1.16: each token is a smart-card reader of its own.
        std::string inf = s.add_oem_inf(pk + "/generations/reader-class/qvtkscr.inf");
        s.add_driver_file("generations/reader-class", "QVATOKEN.SYS");
        s.add_service("qvatoken", "QVATOKEN.SYS", "Quva Token Smart Card Reader");
        s.add_device(token_spec("SmartCardReader", "qvatoken", present), inf, "QvaToken_Install", "1.16.0.44");
    } else if (generation == "token-class") {
        // 1.17: tokens, enumerator and virtual reader in the maker's own class.
        std::string inf = s.add_oem_inf(pk + "/generations/token-class/quvatok.inf");
        for (const char *f : {"QVATOKEN.SYS", "quvaenum.sys", "quvaIFD.SYS"}) s.add_driver_file("generations/token-class", f);
        s.add_service("qvatoken", "QVATOKEN.SYS", "Quva Token Driver");
        s.add_service("quvaenum", "quvaenum.sys", "Quva Reader Enumerator");
        s.add_service("quvaifd", "quvaIFD.SYS", "Quva Virtual Reader Driver");
        s.import(params);
        s.add_device(token_spec("Quva", "qvatoken", present), inf, "QvaToken_Install", "1.17.0.50");
        s.add_device(node_spec("quva\\quvaEnum", "ROOT\\QUVA\\0000", "Quva", "quvaenum", "Vornel Quva Reader Enumerator"),
                     inf, "QuvaEnum_Install", "1.17.0.50");
        s.add_device(node_spec("quvaenum\\quvaifd", "QUVAENUM\\QUVAIFD\\1&2F5D0C1A&0&00", "Quva", "quvaifd",
                               "Vornel Quva Virtual Smart Card Reader"),
                     inf, "QuvaIFD_Install", "1.17.0.50");
    } else {
        // 1.18.0.56: the current stack one version back, one virtual reader.
        std::string inf = s.add_oem_inf(pk + "/nt5-previous/qvatoken.inf");
        for (const char *f : {"QVATOKEN.SYS", "quvaenum.sys", "quvaIFD.SYS"}) s.add_driver_file("nt5-previous", f);
        s.add_service("qvatoken", "QVATOKEN.SYS", "Quva Token Driver");
        s.add_service("quvaenum", "quvaenum.sys", "Quva Reader Enumerator");
        s.add_service("quvaifd", "quvaIFD.SYS", "Quva Virtual Reader Driver");
        s.import(params);
        s.add_device(token_spec("SmartCardReader", "qvatoken", present), inf, "QvaToken_Install", "1.18.0.56");
        s.add_device(node_spec("quva\\quvaEnum", "ROOT\\SMARTCARDREADER\\0000", "SmartCardReader", "quvaenum",
                               "Vornel Quva Reader Enumerator"),
                     inf, "QuvaEnum_Install", "1.18.0.56");
        s.add_device(node_spec("quvaenum\\quvaifd", "QUVAENUM\\QUVAIFD\\1&2F5D0C1A&0&00", "SmartCardReader", "quvaifd",
                               "Vornel Quva Virtual Smart Card Reader"),
                     inf, "QuvaIFD_Install", "1.18.0.56");
    }
}

// ------------------------------------------------------------- NT 4.0

// The key a started legacy driver leaves under Enum\Root, described by the
// service's display name.
std::string legacy_key(const std::string &service) {
    DWORD type = 0;
    std::vector<BYTE> data;
    std::string display = service;
    if (winsim::reg::value("HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\" + service, "DisplayName", &type,
                           &data) &&
        type == REG_SZ)
        display.assign(data.begin(), std::find(data.begin(), data.end(), 0));
    std::string key = std::string(k_hklm) + "SYSTEM\\CurrentControlSet\\Enum\\Root\\LEGACY_" + service;
    return key + "]\n\"NextInstance\"=dword:00000001\n\n" + key + "\\0000]\n\"Service\"=\"" + service +
           "\"\n\"Legacy\"=dword:00000001\n\"ConfigFlags\"=dword:00000000\n\"Class\"=\"LegacyDriver\"\n"
           "\"DeviceDesc\"=\"" + reg_escape(display) + "\"\n\n";
}

void seed_nt4(Seeder &s, const std::string &generation) {
    // The older package as the install flow left it: its section run, the
    // reader settings written, the three drivers started once.
    const char *const files[] = {"USBQVTKN.SYS", "USBHUB.SYS", "USBDRV.SYS"};
    s.run_default_install("nt4-previous", "USBQVTKN.INF", {"USBQVTKN.INF", files[0], files[1], files[2]});
    s.import(std::string(k_services) +
             "USBQVTKN\\Parameters]\n\"UseRM\"=dword:00000001\n\"NumberOfDevices\"=dword:00000001\n\n");
    for (const char *n : {"USBHUB", "USBQVTKN", "USBDRV"}) s.import(legacy_key(n));
    // "nt4-leftover": then the driver files deleted by hand.
    if (generation == "nt4-leftover")
        for (const char *f : files) winsim::disk::remove(s.sysdir + "\\DRIVERS\\" + f);
}

// --------------------------------------------------------- 98/Me and 95

const char k_token_values_98[] = "\"DevLoader\"=\"*ntkern\"\n\"NTMPDriver\"=\"QVATOKEN.SYS\"\n"
                                 "\"InfPath\"=\"QVATOKEN.INF\"\n\"InfSection\"=\"QvaToken_Install\"\n"
                                 "\"DriverDate\"=\"2-9-2004\"\n";

void seed_98(Seeder &s, const std::string &generation) {
    if (generation == "98-reader") {
        // Another maker's reader, installed by its own setup.
        s.add_9x_device("USB\\VID_0B81&PID_0220", "SmartCardReader", 0, "Halden CR-20 Dual Smart Card Reader",
                        "Halden", "\"DevLoader\"=\"*ntkern\"\n\"NTMPDriver\"=\"hldncr20.sys\"\n");
        std::vector<BYTE> image = winsim::pe::make_image(winsim::pe::VersionInfo{});
        s.write(s.windir + "\\System32\\Drivers\\hldncr20.sys", image);
        return;
    }
    // "98-previous": the older package installed by the flow, the token
    // registered, the INF also once installed from its menu.
    std::vector<BYTE> inf;
    s.run_default_install("98-previous", "QVATOKEN.INF", {"QVATOKEN.INF", "QVATOKEN.SYS", "QUVAVR9X.VXD"});
    if (s.read_package("98-previous", "QVATOKEN.INF", &inf)) s.write(s.windir + "\\INF\\QVATOKEN.INF", inf);
    s.write_text(s.windir + "\\INF\\QVATOKEN.PNF", "PNF stand-in for QVATOKEN.INF\r\n");
    s.set_source_path(k_source_98);
    s.import(std::string(k_hklm) + "System\\CurrentControlSet\\Services\\VxD\\QUVAVR9X]\n\"Start\"=hex:01\n"
             "\"StaticVxD\"=\"QUVAVR9X.VXD\"\n\"Group\"=\"Smart Card Reader\"\n\"NumberOfDevices\"=dword:00000001\n"
             "\"NumberOfReaders\"=dword:00000001\n\n" + k_services + "QvaToken\\Parameters]\n\"UseRM\"=dword:00000001\n");
    s.add_9x_device(k_token_id, "SmartCardReader", 0, "Vornel Quva A1", "Vornel Technologies", k_token_values_98);
    s.add_recent_link("QVATOKEN.INF");
}

void seed_95(Seeder &s) {
    // "95-previous": the older driver, the token in the USB class beside the
    // host controller and root hub, and the INF once installed from its menu.
    s.run_default_install("95-previous", "QVATKN95.INF", {"QVATKN95.INF", "QVATKN95.SYS"});
    s.set_source_path(k_source_95);
    // Windows kept the INF the token was installed from.
    std::vector<BYTE> inf;
    if (s.read_package("95-previous", "QVATKN95.INF", &inf)) s.write(s.windir + "\\INF\\QVATKN95.INF", inf);
    s.write_text(s.windir + "\\INF\\QVATKN95.PNF", "PNF stand-in for QVATKN95.INF\r\n");
    std::string cls = std::string(k_hklm) + "System\\CurrentControlSet\\Services\\Class\\USB\\";
    s.import(cls + "0000]\n\"DriverDesc\"=\"Standard Universal PCI to USB Host Controller\"\n"
                   "\"DevLoader\"=\"*ntkern\"\n\"NTMPDriver\"=\"uhcd.sys\"\n\n" +
             cls + "0001]\n\"DriverDesc\"=\"USB Root Hub\"\n\"DevLoader\"=\"*ntkern\"\n\"NTMPDriver\"=\"usbhub.sys\"\n\n" +
             cls + "0002]\n\"DriverDesc\"=\"USB Composite Device\"\n\"DevLoader\"=\"*ntkern\"\n");
    s.add_9x_device(k_token_id, "USB", 3, "Vornel Quva A1", "Vornel Technologies",
                    "\"DevLoader\"=\"*ntkern\"\n\"NTMPDriver\"=\"QVATKN95.SYS\"\n\"InfPath\"=\"QVATKN95.INF\"\n");
    s.add_recent_link("QVATKN95.INF");
}

// Built on first use: quvactl lists them from its static initialisers.
const std::vector<Generation> &all_generations() {
    static const std::vector<Generation> list = {
    {"usb-class", "2000/XP", "1.12: the token registered in the USB setup class"},
    {"reader-class", "2000/XP", "1.16: tokens as smart-card readers, an older token driver"},
    {"token-class", "2000/XP", "1.17: token, enumerator and virtual reader in the maker's class"},
    {"reader-stack", "2000/XP", "1.18.0.56: the current enumerator and virtual-reader stack"},
    {"nt4-previous", "NT 4.0", "1.18.0.56: the older NT 4.0 package installed and its drivers once started"},
    {"nt4-leftover", "NT 4.0", "nt4-previous with its driver files deleted: services and LEGACY_* keys left"},
    {"98-previous", "98/Me", "1.18.0.56: token driver, reader VxD and its key, a token registered"},
    {"98-reader", "98/Me", "another maker's (non-virtual) smart-card reader installed"},
    {"95-previous", "95", "1.18.0.56: the token driver and a token in the USB class"},
    };
    return list;
}

} // namespace

const std::vector<Generation> &generations() { return all_generations(); }

std::string default_packages_dir() {
    char buf[4096];
    ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
    std::string exe = n > 0 ? std::string(buf, (size_t)n) : std::string("./quvactl");
    std::string bin = exe.substr(0, exe.rfind('/'));
    return bin.substr(0, bin.rfind('/')) + "/packages";
}

bool seed(const std::string &generation, const Options &options, std::string *error) {
    const Generation *g = nullptr;
    for (const Generation &x : all_generations())
        if (generation == x.name) g = &x;
    std::string why;
    if (!g) {
        why = "unknown generation '" + generation + "'";
    } else {
        Os os = current_os();
        std::string want = g->os;
        bool fits = (want == "2000/XP" && os == Os::Nt5) || (want == "NT 4.0" && os == Os::Nt4) ||
                    (want == "98/Me" && os == Os::Win98Me) || (want == "95" && os == Os::Win95);
        const char *names = want == "2000/XP" ? "Windows 2000, XP and 2003"
                            : want == "98/Me" ? "Windows 98 and Me" : want == "NT 4.0" ? "Windows NT 4.0" : "Windows 95";
        if (!fits) why = "the " + generation + " generation is for " + names + " machines";
    }
    if (why.empty()) {
        Seeder s;
        s.packages = options.packages.empty() ? default_packages_dir() : options.packages;
        s.windir = dir_of(GetWindowsDirectoryA);
        s.sysdir = dir_of(GetSystemDirectoryA);
        std::string os = g->os;
        if (os == "2000/XP") seed_nt5(s, generation, options.present);
        else if (os == "NT 4.0") seed_nt4(s, generation);
        else if (os == "98/Me") seed_98(s, generation);
        else seed_95(s);
        why = s.error;
    }
    if (error) *error = why;
    return why.empty();
}

} // namespace seeds
