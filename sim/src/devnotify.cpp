// Device notifications: windows registered with RegisterDeviceNotificationA
// for a device-interface class get WM_DEVICECHANGE when an interface of it
// arrives or leaves.
//
// The message is posted to the window's thread, so it is handled there in
// that thread's own message loop.  Windows sends it instead; posting keeps
// the Plug and Play side (which runs on scheduler timers) from blocking.  The
// broadcast structure the lParam points to lives until the machine ends.
#include <dbt.h>
#include <setupapi.h>

#include "pnp.h"
#include "user.h"

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <deque>

namespace winsim {
namespace {

struct Registration : Object {
    Registration() : Object(HandleKind::Other) {}
    HWND window = nullptr;
    bool all_classes = false;
    GUID class_guid{};
};

struct NotifyState {
    std::vector<std::weak_ptr<Registration>> registrations; // in registration order
    std::deque<std::vector<BYTE>> broadcasts;               // what posted messages point to
};

NotifyState &N() {
    static NotifyState *n = new NotifyState;
    return *n;
}

void machine_ended() {
    WINSIM_LOCK();
    N() = NotifyState();
}

const bool registered = add_life_cycle({nullptr, machine_ended});

} // namespace

namespace pnp {

void broadcast_interface(DWORD event, const std::string &class_guid, const std::string &symbolic_link) {
    GUID guid{};
    if (!pnp::parse_guid(class_guid, &guid)) return;
    std::vector<HWND> targets;
    {
        WINSIM_LOCK();
        auto &regs = N().registrations;
        for (auto it = regs.begin(); it != regs.end();) {
            auto r = it->lock();
            if (!r) {
                it = regs.erase(it);
                continue;
            }
            if (r->all_classes || std::memcmp(&r->class_guid, &guid, sizeof guid) == 0) targets.push_back(r->window);
            ++it;
        }
    }
    for (HWND h : targets) {
        BYTE *data;
        {
            WINSIM_LOCK();
            size_t size = offsetof(DEV_BROADCAST_DEVICEINTERFACE_A, dbcc_name) + symbolic_link.size() + 1;
            N().broadcasts.emplace_back(std::max(size, sizeof(DEV_BROADCAST_DEVICEINTERFACE_A)));
            data = N().broadcasts.back().data();
            auto *b = (DEV_BROADCAST_DEVICEINTERFACE_A *)data;
            b->dbcc_size = (DWORD)size;
            b->dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
            b->dbcc_classguid = guid;
            std::memcpy(b->dbcc_name, symbolic_link.c_str(), symbolic_link.size() + 1);
        }
        post_message(h, WM_DEVICECHANGE, event, (LPARAM)data); // a window gone meanwhile gets nothing
    }
}

} // namespace pnp

namespace devices {
int notification_count() {
    WINSIM_LOCK();
    int n = 0;
    for (auto &w : N().registrations) n += !w.expired();
    return n;
}
void interface_arrived(const std::string &class_guid, const std::string &symbolic_link) {
    pnp::broadcast_interface(DBT_DEVICEARRIVAL, class_guid, symbolic_link);
}
} // namespace devices

} // namespace winsim

using namespace winsim;

extern "C" HDEVNOTIFY WINAPI RegisterDeviceNotificationA(HANDLE hRecipient, LPVOID NotificationFilter, DWORD Flags) {
    if (DWORD e = fault("RegisterDeviceNotificationA")) {
        SetLastError(e);
        return nullptr;
    }
    WINSIM_LOCK();
    const Profile &p = *M().profile;
    // Windows 95 and NT 4.0 have no such call.
    if (p.os == Os::Win95 || (p.nt() && p.major < 5)) {
        SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
        return nullptr;
    }
    if (Flags & ~(DWORD)(DEVICE_NOTIFY_SERVICE_HANDLE | DEVICE_NOTIFY_ALL_INTERFACE_CLASSES)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    if (Flags & DEVICE_NOTIFY_SERVICE_HANDLE) { // no simulated service takes these
        SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
        return nullptr;
    }
    if (!IsWindow((HWND)hRecipient)) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return nullptr;
    }
    const auto *hdr = (const DEV_BROADCAST_HDR *)NotificationFilter;
    if (!hdr || hdr->dbch_size < sizeof(DEV_BROADCAST_HDR)) {
        SetLastError(ERROR_INVALID_DATA);
        return nullptr;
    }
    if (hdr->dbch_devicetype != DBT_DEVTYP_DEVICEINTERFACE) {
        // Handle notifications (DBT_DEVTYP_HANDLE) are not modelled; other types are not filters.
        SetLastError(hdr->dbch_devicetype == DBT_DEVTYP_HANDLE ? ERROR_CALL_NOT_IMPLEMENTED : ERROR_INVALID_DATA);
        return nullptr;
    }
    if (hdr->dbch_size < sizeof(DEV_BROADCAST_DEVICEINTERFACE_A)) {
        SetLastError(ERROR_INVALID_DATA);
        return nullptr;
    }
    auto r = std::make_shared<Registration>();
    r->window = (HWND)hRecipient;
    r->all_classes = (Flags & DEVICE_NOTIFY_ALL_INTERFACE_CLASSES) != 0;
    r->class_guid = ((const DEV_BROADCAST_DEVICEINTERFACE_A *)NotificationFilter)->dbcc_classguid;
    N().registrations.push_back(r);
    SetLastError(ERROR_SUCCESS);
    return (HDEVNOTIFY)handle_table::add(r);
}

extern "C" BOOL WINAPI UnregisterDeviceNotification(HDEVNOTIFY Handle) {
    WINSIM_FAULT_BOOL("UnregisterDeviceNotification");
    WINSIM_LOCK();
    if (!std::dynamic_pointer_cast<Registration>(handle_table::get((HANDLE)Handle)) ||
        !handle_table::remove((HANDLE)Handle)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return TRUE;
}
