// The service control manager, for other pieces of the simulator (the INF
// engine's .Services sections, Plug and Play, the smart-card service).
#ifndef WINSIM_SERVICES_H
#define WINSIM_SERVICES_H

#include "core.h"

#include <functional>
#include <string>

namespace winsim {
namespace scm {

// HKLM\SYSTEM\CurrentControlSet\Services
extern const char *const kServicesKey;

// What happens when a service reaches the running or the stopped state (a
// simulated driver loads or unloads, say).  Called with big_lock() held, on
// whichever thread made the change; must not block.
struct Hooks {
    std::function<void(const std::string &name)> started;
    std::function<void(const std::string &name)> stopped;
};
void set_hooks(const std::string &name, Hooks hooks);

// The current state of a service (0 when there is none), pending states
// completed as virtual time says.
DWORD state_of(const std::string &name);

// The file an ImagePath names on the simulated disk ("%SystemRoot%\\...",
// "\\SystemRoot\\...", "System32\\..." relative to the Windows directory,
// "\\??\\C:\\...").
std::string image_file(const std::string &image_path);

} // namespace scm
} // namespace winsim

#endif
