// Device nodes of the token stack: disabling, enabling and stopping them,
// removing the nodes that no longer belong to a plugged-in token, creating
// the root-enumerated bus enumerator, pointing devices at a new INF, and
// deleting empty setup-class keys.  Every operation builds and frees its own
// device information list.
#include "internal.h"
#include "quva_common.h"
#include "quvadi.h"
#include "setupapi_binding.h"

#include <cstdio>
#include <cstring>

namespace {

const char k_enum_hwid[] = "quva\\quvaenum";
const char k_reader_hwid[] = "quvaenum\\quvaifd";
const char k_reader_class_text[] = "{50DD5230-BA8A-11D1-BF5D-0000F805F530}";
const DWORD k_hwid_buffer = 4096;
const DWORD k_restart_bits = DI_NEEDRESTART | DI_NEEDREBOOT;
const int k_remembered_present = 32;
const DWORD k_id_chars = MAX_PATH;

typedef BOOL(WINAPI *UpdateDriverFn)(HWND, LPCSTR, LPCSTR, DWORD, PBOOL);
typedef BOOL(WINAPI *ClassGuidsFromNameFn)(PCSTR, LPGUID, DWORD, PDWORD);
typedef BOOL(WINAPI *GetInfClassFn)(PCSTR, LPGUID, PSTR, DWORD, PDWORD);

enum class Match { Enumerator, Token, Reader, Service };

// Whether the current member is one of those sought: by the first string of
// its hardware IDs, or by its service name.
bool member_matches(DeviceList &list, Match match, const char *service) {
    char text[k_hwid_buffer + 2];
    if (match == Match::Service) {
        if (list.property(SPDRP_SERVICE, text, k_hwid_buffer) < 0) return false;
        return service && EqualsNoCase(text, service);
    }
    if (list.property(SPDRP_HARDWAREID, text, k_hwid_buffer) < 0) return false;
    switch (match) {
    case Match::Enumerator: return EqualsNoCase(text, k_enum_hwid);
    case Match::Reader: return EqualsNoCase(text, k_reader_hwid);
    case Match::Token: return MatchTokenHardwareId(text, FALSE) != FALSE;
    case Match::Service: break;
    }
    return false;
}

// Any string of the current member's hardware IDs is a token's.
bool any_token_id(DeviceList &list) {
    char ids[k_hwid_buffer + 2];
    long size = list.property(SPDRP_HARDWAREID, ids, k_hwid_buffer);
    for (long at = 0; at < size && ids[at]; at += (long)std::strlen(ids + at) + 1)
        if (MatchTokenHardwareId(ids + at, FALSE)) return true;
    return false;
}

struct StateChange {
    Match match;
    DWORD state;      // DICS_ENABLE, DICS_DISABLE or DICS_STOP
    bool global;      // a global parameter set before the config-specific one
    bool every_match; // else only the first match, with its raw restart bits
};

// DIF_PROPERTYCHANGE on the current member; its restart bits, or false.
bool change_member(DeviceList &list, const StateChange &c, DWORD *bits) {
    SP_PROPCHANGE_PARAMS params;
    std::memset(&params, 0, sizeof params);
    params.ClassInstallHeader.cbSize = sizeof(SP_CLASSINSTALL_HEADER);
    params.ClassInstallHeader.InstallFunction = DIF_PROPERTYCHANGE;
    params.StateChange = c.state;
    params.HwProfile = 0;
    if (c.global) {
        params.Scope = DICS_FLAG_GLOBAL;
        if (!list.set_class_install_params(&params.ClassInstallHeader, sizeof params)) return false;
    }
    params.Scope = DICS_FLAG_CONFIGSPECIFIC;
    if (!list.set_class_install_params(&params.ClassInstallHeader, sizeof params)) return false;
    if (!list.call_class_installer(DIF_PROPERTYCHANGE)) return false;
    SP_DEVINSTALL_PARAMS_A install;
    std::memset(&install, 0, sizeof install);
    install.cbSize = sizeof install;
    if (!list.install_params(&install)) return false;
    *bits = install.Flags & k_restart_bits;
    return true;
}

BOOL change_state(const GUID *cls, const StateChange &c, const char *service, LPDWORD restart) {
    DWORD ignored = 0;
    if (!restart) restart = &ignored;
    *restart = 0;
    DeviceList list(cls, cls ? DIGCF_PRESENT : DIGCF_PRESENT | DIGCF_ALLCLASSES);
    if (!list.opened()) return FALSE;
    for (DWORD i = 0; list.member(i); i++) {
        if (!member_matches(list, c.match, service)) continue;
        DWORD bits = 0;
        if (!change_member(list, c, &bits)) return FALSE;
        if (!c.every_match) {
            *restart = bits;
            return TRUE;
        }
        if (bits) *restart = 1;
    }
    return c.every_match ? TRUE : FALSE;
}

// Removes the node behind the current member with its class installer.
BOOL remove_member(DeviceList &list) { return list.call_class_installer(DIF_REMOVE); }

// The removal pass of RemoveAllTokenNodes and RemoveQuvaNodes.
void remove_registered(bool with_stack) {
    DeviceList list(nullptr, DIGCF_ALLCLASSES | DIGCF_PROFILE);
    if (!list.opened()) return;
    for (DWORD i = 0; list.member(i); i++) {
        bool match = member_matches(list, Match::Token, nullptr) ||
                     (with_stack && (member_matches(list, Match::Enumerator, nullptr) ||
                                     member_matches(list, Match::Reader, nullptr)));
        if (!match) continue;
        char driver[MAX_PATH + 2];
        if (list.property(SPDRP_DRIVER, driver, MAX_PATH) >= 0) DeleteDriverInf(driver);
        remove_member(list);
    }
}

// One pass of RemoveServiceDevices; the last failing call's error, or 0.
DWORD remove_service_pass(const GUID *cls, DWORD flags, const char *service, bool profile_pass) {
    DWORD error = 0;
    DeviceList list(cls, flags);
    if (!list.opened()) return LastErrorOr(ERROR_INVALID_HANDLE);
    for (DWORD i = 0; list.member(i);) {
        if (!member_matches(list, Match::Service, service)) {
            i++;
            continue;
        }
        if (!list.remove_device()) error = LastErrorOr(ERROR_NO_SUCH_DEVINST);
        if (profile_pass && !list.delete_dev_reg_key(DICS_FLAG_GLOBAL, 0xFFFFFFFF, DIREG_DEV))
            error = LastErrorOr(ERROR_NO_SUCH_DEVINST);
        // Deleting the member moves the next one to this index.
        if (list.delete_device_info())
            continue;
        error = LastErrorOr(ERROR_NO_SUCH_DEVINST);
        i++;
    }
    return error;
}

// UpdateDriverForPlugAndPlayDevicesA from the new-device installer.
BOOL update_driver(LPCSTR hardwareId, LPCSTR infPath, DWORD flags, BOOL *restart) {
    BoundLibrary newdev("newdev");
    auto update = newdev.fn<UpdateDriverFn>("UpdateDriverForPlugAndPlayDevicesA");
    if (!update) {
        SetLastError(LastErrorOr(ERROR_PROC_NOT_FOUND));
        return FALSE;
    }
    return update(nullptr, hardwareId, infPath, flags, restart);
}

BOOL create_enumerator_node(LPCSTR hardwareId, LPCSTR infPath, DWORD updateFlags, LPDWORD restart) {
    if (!hardwareId || !infPath) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (!FileExists(infPath)) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return FALSE;
    }
    GUID cls;
    char class_name[32];
    {
        SetupApi api;
        if (!api.call<GetInfClassFn>("SetupDiGetINFClassA", infPath, &cls, class_name, (DWORD)sizeof class_name,
                                     (PDWORD) nullptr))
            return FALSE;
    }
    DeviceList list(&cls, DeviceList::Empty{});
    if (!list.opened()) return FALSE;

    DWORD error = 0;
    char ids[MAX_PATH + 2] = {};
    size_t len = std::strlen(hardwareId);
    if (len >= MAX_PATH) {
        error = ERROR_INVALID_PARAMETER;
    } else if (!list.create_device(class_name, &cls, DICD_GENERATE_ID)) {
        error = LastErrorOr(ERROR_NO_SUCH_DEVINST);
    } else {
        std::memcpy(ids, hardwareId, len); // one string and the list's closing zero
        if (!list.set_property(SPDRP_HARDWAREID, (const BYTE *)ids, (DWORD)(len + 2)) ||
            !list.call_class_installer(DIF_REGISTERDEVICE)) {
            // The member was never registered: freeing the list drops it.
            error = LastErrorOr(ERROR_NO_SUCH_DEVINST);
        } else {
            *restart = 0;
            BOOL reboot = FALSE;
            if (update_driver(hardwareId, infPath, updateFlags, &reboot)) {
                *restart = (DWORD)reboot;
            } else {
                error = LastErrorOr(ERROR_NO_SUCH_DEVINST);
                remove_member(list);
            }
        }
    }
    SetLastError(error);
    return error == 0;
}

} // namespace

BOOL DisableEnumeratorDevice(const GUID *classGuid, LPDWORD restart) {
    return change_state(classGuid, {Match::Enumerator, DICS_DISABLE, true, false}, nullptr, restart);
}

BOOL EnableEnumeratorDevice(const GUID *classGuid, LPDWORD restart) {
    return change_state(classGuid, {Match::Enumerator, DICS_ENABLE, true, false}, nullptr, restart);
}

BOOL StopEnumeratorDevice(const GUID *classGuid, LPDWORD restart) {
    return change_state(classGuid, {Match::Enumerator, DICS_STOP, false, false}, nullptr, restart);
}

BOOL DisableTokenDevices(const GUID *classGuid, LPDWORD restart) {
    return change_state(classGuid, {Match::Token, DICS_DISABLE, true, true}, nullptr, restart);
}

BOOL EnableTokenDevices(const GUID *classGuid, LPDWORD restart) {
    return change_state(classGuid, {Match::Token, DICS_ENABLE, true, true}, nullptr, restart);
}

BOOL DisableReaderDevices(const GUID *classGuid, LPDWORD restart) {
    return change_state(classGuid, {Match::Reader, DICS_DISABLE, true, true}, nullptr, restart);
}

BOOL EnableReaderDevices(const GUID *classGuid, LPDWORD restart) {
    return change_state(classGuid, {Match::Reader, DICS_ENABLE, true, true}, nullptr, restart);
}

BOOL DisableServiceDevices(const GUID *classGuid, LPCSTR service, LPDWORD restart) {
    return change_state(classGuid, {Match::Service, DICS_DISABLE, true, true}, service, restart);
}

void RemoveServiceDevices(const GUID *classGuid, LPCSTR service) {
    DWORD error = remove_service_pass(classGuid, DIGCF_PRESENT, service, false);
    DWORD second = remove_service_pass(classGuid, DIGCF_PROFILE, service, true);
    if (second) error = second;
    SetLastError(error);
}

void RemoveStaleTokenNodes(BOOL spareReaderClass, LPDWORD indication) {
    DWORD ignored = 0;
    if (!indication) indication = &ignored;
    *indication = 0;

    char present[k_remembered_present][k_id_chars];
    int remembered = 0;
    {
        DeviceList list(nullptr, DIGCF_PRESENT | DIGCF_ALLCLASSES);
        if (!list.opened()) return;
        for (DWORD i = 0; list.member(i) && remembered < k_remembered_present; i++) {
            if (!any_token_id(list)) continue;
            if (list.instance_id(present[remembered], k_id_chars)) {
                present[remembered][k_id_chars - 1] = 0;
                remembered++;
            }
        }
    }

    DeviceList list(nullptr, DIGCF_ALLCLASSES | DIGCF_PROFILE);
    if (!list.opened()) return;
    for (DWORD i = 0; list.member(i); i++) {
        if (!any_token_id(list)) continue;
        char id[k_id_chars], guid[MAX_PATH + 2];
        // A node whose identity cannot be read might be a present one.
        if (!list.instance_id(id, sizeof id)) continue;
        id[sizeof id - 1] = 0;
        if (list.property(SPDRP_CLASSGUID, guid, MAX_PATH) < 0) guid[0] = 0;
        bool is_present = false;
        for (int p = 0; p < remembered && !is_present; p++) is_present = EqualsNoCase(id, present[p]);
        if (is_present) continue;
        if (!spareReaderClass || !EqualsNoCase(guid, k_reader_class_text)) {
            *indication = 1;
            remove_member(list);
        }
    }
}

void RemoveAllTokenNodes(void) {
    remove_registered(false);
    SetLastError(0);
}

void RemoveQuvaNodes(LPDWORD restart) {
    DWORD ignored = 0;
    if (!restart) restart = &ignored;
    *restart = 0;
    remove_registered(true);
    static const char *const services[] = {"qvatoken", "quvaifd", "quvaenum"};
    for (const char *service : services) {
        DWORD reboot = 0;
        quvaDI_DeleteServiceA(service, &reboot);
        if (reboot) *restart = 1;
    }
    SetLastError(0);
}

BOOL CreateEnumeratorNode(LPCSTR hardwareId, LPCSTR infPath, DWORD updateFlags, LPDWORD restart) {
    DWORD ignored = 0;
    return create_enumerator_node(hardwareId, infPath, updateFlags, restart ? restart : &ignored);
}

BOOL UpdateDriverForHardwareId(LPCSTR hardwareId, LPCSTR infPath, DWORD updateFlags, LPDWORD restart) {
    DWORD ignored = 0;
    if (!restart) restart = &ignored;
    if (!infPath || !FileExists(infPath)) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return FALSE;
    }
    *restart = 0;
    BOOL reboot = FALSE;
    if (!update_driver(hardwareId, infPath, updateFlags, &reboot)) return FALSE;
    *restart = (DWORD)reboot;
    SetLastError(0);
    return TRUE;
}

BOOL DeleteClassKeys(LPCSTR className) {
    SetupApi api;
    auto guids_from_name = api.fn<ClassGuidsFromNameFn>("SetupDiClassGuidsFromNameA");
    if (!guids_from_name) return FALSE;
    DWORD count = 0;
    guids_from_name(className, nullptr, 0, &count);
    if (count == 0) return TRUE;
    auto guids = (LPGUID)LocalAlloc(LPTR, 16 * (SIZE_T)count);
    if (!guids) return GetLastError() == 0;
    DWORD fetched = 0;
    if (!guids_from_name(className, guids, count, &fetched)) {
        LocalFree(guids);
        return FALSE;
    }
    if (fetched < count) count = fetched;
    bool deleted = true;
    for (DWORD i = 0; i < count && deleted; i++) {
        char name[40];
        FormatGuidString(&guids[i], name, sizeof name);
        HKEY key = nullptr;
        LONG rc = RegOpenKeyExA(HKEY_LOCAL_MACHINE, "System\\CurrentControlSet\\Control\\Class", 0, KEY_ALL_ACCESS,
                                &key);
        if (rc == ERROR_SUCCESS) {
            rc = RegDeleteKeyA(key, name);
            RegCloseKey(key);
        }
        deleted = rc == ERROR_SUCCESS;
    }
    LocalFree(guids);
    return deleted ? TRUE : FALSE;
}

void FormatGuidString(const GUID *guid, char *out, size_t size) {
    std::snprintf(out, size, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", (unsigned)guid->Data1,
                  (unsigned)guid->Data2, (unsigned)guid->Data3, guid->Data4[0], guid->Data4[1], guid->Data4[2],
                  guid->Data4[3], guid->Data4[4], guid->Data4[5], guid->Data4[6], guid->Data4[7]);
}
