// quvactl usb plug|unplug|list: USB device nodes of the machine's Plug and
// Play database, as the installer library's device counts and probes see them.
#include "installer_lib.h"

using namespace quvactl;

namespace {

int usb_plug(const Args &args) {
    if (args.size() != 2) return usage_error("usb plug needs a machine directory and a hardware ID");
    auto m = load_machine(args[0]);
    if (!m) return 1;
    std::string instance = winsim::devices::plug(args[1]);
    if (instance.empty()) {
        std::cerr << "quvactl: no device could be made of \"" << args[1] << "\"\n";
        return 1;
    }
    std::printf("plugged %s\n", instance.c_str());
    m->save();
    return 0;
}

int usb_unplug(const Args &args) {
    if (args.size() != 2) return usage_error("usb unplug needs a machine directory and a hardware or instance ID");
    auto m = load_machine(args[0]);
    if (!m) return 1;
    if (!winsim::devices::unplug(args[1])) {
        std::cerr << "quvactl: no present device \"" << args[1] << "\"\n";
        return 1;
    }
    std::printf("unplugged %s (it stays registered)\n", args[1].c_str());
    m->save();
    return 0;
}

int usb_list(const Args &args) {
    if (args.size() != 1) return usage_error("usb list needs a machine directory");
    auto m = load_machine(args[0]);
    if (!m) return 1;
    auto list = winsim::devices::list();
    if (list.empty()) std::printf("no device nodes\n");
    for (const auto &d : list)
        std::printf("%-10s %-16s %s  [%s]%s\n", d.present ? "present" : "registered", d.class_name.c_str(),
                    d.instance_id.c_str(), d.hardware_ids.empty() ? "" : d.hardware_ids[0].c_str(),
                    d.service.empty() ? "" : (" service " + d.service).c_str());
    return 0;
}

Register r1({"usb plug", "usb plug DIR HWID", "plug a USB device in by hardware ID",
             "A registered node of that first hardware ID that is not present becomes present;\n"
             "otherwise a new USB node appears.  Plug and Play then gives a node without a\n"
             "driver the one the INF folder offers, if any.  The token behind the\n"
             "driver is separate: see 'quvactl token plug'.  Token hardware IDs look like\n"
             "USB\\VID_1F3C&PID_1000.\n",
             usb_plug});
Register r2({"usb unplug", "usb unplug DIR HWID|INSTANCE", "unplug a USB device; its node stays registered", "",
             usb_unplug});
Register r3({"usb list", "usb list DIR", "list the machine's device nodes, present or registered", "", usb_list});

} // namespace
