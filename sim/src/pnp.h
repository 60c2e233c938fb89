// Plug and Play between the device database (setupapi.cpp), the new-device
// installer (newdev.cpp) and device notifications (devnotify.cpp).
#ifndef WINSIM_PNP_H
#define WINSIM_PNP_H

#include "core.h"
#include "inf.h"

#include <setupapi.h>

#include <string>

namespace winsim {
namespace pnp {
// "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}" to a GUID; false when malformed.
bool parse_guid(const std::string &s, GUID *g);

// ---- setupapi.cpp (call with big_lock() held unless said otherwise)

// Started: present, enabled globally and in the current profile, not
// stopped there, and (for the kit's own devices) with a driver service.
bool running(const std::string &instance_id);
// Says that a node may have started or stopped: arrivals, departures and
// the bus enumerator's children follow.  `was` is running() from before.
void state_changed(const std::string &instance_id, bool was);
// DI_NEEDRESTART / DI_NEEDREBOOT a change to the node asks for (scenario).
DWORD restart_bits(const std::string &instance_id);
// The known class name of a class GUID ("" when unknown).
std::string class_name_of(const std::string &guid);
// The known GUID of a class name ("" when unknown).
std::string class_guid_of(const std::string &name);
// Makes the class key of a class if missing.
void ensure_class(const std::string &name, const std::string &guid);
// The registry paths of a node and of its driver key ("" when none).
std::string node_path(const std::string &instance_id);
std::string driver_path(const std::string &instance_id);
// A new driver subkey "NNNN" of a class: "{guid}\NNNN" (NT) or "Name\NNNN".
std::string new_driver_key(const std::string &class_name, const std::string &guid);

// ---- newdev.cpp

// Installs the driver of one model for one node: runs its install section,
// writes the driver key and the node's values, starts a running device's
// service.  0 or an error; *restart gets the node's restart bits.  Call
// without big_lock() held.  `keep_installed_files`: see inf::InstallOptions.
DWORD install_driver(const std::string &instance_id, const inf::File &f, const std::string &inf_name,
                     const inf::Model &model, DWORD *restart, bool keep_installed_files = false);
// What Plug and Play does for a present node without a driver (2000 and
// later, 9x): the best model of the INFs in the INF directory (and 9x's
// INF\OTHER) is installed through install_driver(), files already in
// place kept when their source is gone.  0 when installed or when the node
// has a driver already; ERROR_NO_MORE_ITEMS when no INF has a driver for
// it (it stays where it is); ERROR_NOT_SUPPORTED on NT 4.0.  Call without
// big_lock() held.
DWORD install_from_store(const std::string &instance_id, DWORD *restart);

// ---- devnotify.cpp

// Posts WM_DEVICECHANGE `event` with a DEV_BROADCAST_DEVICEINTERFACE_A to
// every window registered for the interface class (or for all classes).
void broadcast_interface(DWORD event, const std::string &class_guid, const std::string &symbolic_link);

} // namespace pnp
} // namespace winsim

#endif
