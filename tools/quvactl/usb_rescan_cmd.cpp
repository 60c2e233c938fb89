// quvactl usb rescan: Windows' "scan for hardware changes", for devices
// plugged in before a driver for them was on the machine.
#include "installer_lib.h"

using namespace quvactl;

namespace {

int usb_rescan(const Args &args) {
    if (args.size() != 1) return usage_error("usb rescan needs a machine directory");
    auto m = load_machine(args[0]);
    if (!m) return 1;
    std::vector<std::string> installed = winsim::devices::rescan();
    if (installed.empty()) std::printf("no device got a driver\n");
    for (const auto &id : installed) {
        winsim::devices::Device d;
        winsim::devices::find(id, &d);
        std::printf("driver installed: %s (class %s%s)\n", id.c_str(), d.class_name.c_str(),
                    d.service.empty() ? "" : (", service " + d.service).c_str());
    }
    m->save();
    return 0;
}

Register r({"usb rescan", "usb rescan DIR", "scan for hardware changes: drivers for devices that have none",
            "Every present device without a driver gets the best one the INF folder offers\n"
            "(on 2000/XP oem*.inf, as after the kit's install), as when it is plugged in.\n"
            "A node the install flows removed while its token stayed plugged in is not\n"
            "found again across runs: plug the token in again with 'quvactl usb plug'.\n",
            usb_rescan});

} // namespace
