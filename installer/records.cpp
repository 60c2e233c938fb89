// Component records: one key per installed driver file under the maker's
// components key, so other software can see which driver files are in place,
// where and in which version.  Nothing here reports failure: the install and
// removal flows go on regardless.
#include "internal.h"
#include "quvadi.h"

#include <cstdio>
#include <cstring>

namespace {

const char k_records[] = "Software\\Vornel Technologies\\Quva\\Quva Components\\Quva Device Drivers";
const char k_vxd_record[] = "Vornel Technologies Quva Smart Card Reader";
// Emptied parents are pruned innermost first.
const char *const k_prune[] = {
    k_records,
    "Software\\Vornel Technologies\\Quva\\Quva Components",
    "Software\\Vornel Technologies\\Quva",
    "Software\\Vornel Technologies",
};

struct FileList {
    char paths[3][MAX_PATH];
    int count = 0;
    // 98/ME: the second entry is the reader VxD, which has no version
    // resource and is recorded under a fixed name.
    bool vxd_second = false;
};

// A path that does not fit the 260-byte buffer is left empty (and so never
// found) rather than cut into another file's name.
void add_path(FileList *list, const char *dir, const char *suffix) {
    char *out = list->paths[list->count++];
    int n = std::snprintf(out, MAX_PATH, "%s%s", dir, suffix);
    if (n < 0 || n >= MAX_PATH) out[0] = 0;
}

// The platform's driver files; false when the platform has none or its
// directory cannot be had.
bool driver_files(FileList *list) {
    OSVERSIONINFOA os;
    std::memset(&os, 0, sizeof os);
    os.dwOSVersionInfoSize = sizeof os;
    if (!GetVersionExA(&os)) return false;
    char dir[MAX_PATH];
    UINT n;
    if (os.dwPlatformId == VER_PLATFORM_WIN32_WINDOWS)
        n = GetWindowsDirectoryA(dir, sizeof dir);
    else if (os.dwPlatformId == VER_PLATFORM_WIN32_NT && os.dwMajorVersion >= 4)
        n = GetSystemDirectoryA(dir, sizeof dir);
    else
        return false;
    if (n == 0 || n >= sizeof dir) return false;

    if (os.dwPlatformId == VER_PLATFORM_WIN32_WINDOWS) {
        if (os.dwMajorVersion > 4 || (os.dwMajorVersion == 4 && os.dwMinorVersion > 0)) {
            add_path(list, dir, "\\System32\\Drivers\\qvatoken.sys");
            add_path(list, dir, "\\System\\quvavr9x.vxd");
            list->vxd_second = true;
        } else {
            add_path(list, dir, "\\System\\qvatkn95.sys");
        }
    } else if (os.dwMajorVersion == 4) {
        add_path(list, dir, "\\Drivers\\usbqvtkn.sys");
        add_path(list, dir, "\\Drivers\\usbdrv.sys");
        add_path(list, dir, "\\Drivers\\usbhub.sys");
    } else {
        add_path(list, dir, "\\Drivers\\qvatoken.sys");
        add_path(list, dir, "\\Drivers\\quvaenum.sys");
        add_path(list, dir, "\\Drivers\\quvaifd.sys");
    }
    return true;
}

// Record key path of one description; false when it does not fit.
bool record_key(const char *name, char out[MAX_PATH]) {
    int n = std::snprintf(out, MAX_PATH, "%s\\%s", k_records, name);
    return n > 0 && n < MAX_PATH;
}

void write_record(const char *name, DWORD version, const char *path) {
    char key_path[MAX_PATH];
    if (!record_key(name, key_path)) return;
    HKEY key = nullptr;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, key_path, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr,
                        &key, nullptr) != ERROR_SUCCESS)
        return;
    RegSetValueExA(key, "Version", 0, REG_DWORD, (const BYTE *)&version, sizeof version);
    RegSetValueExA(key, "Path", 0, REG_SZ, (const BYTE *)path, (DWORD)std::strlen(path) + 1);
    RegCloseKey(key);
}

void delete_record(const char *name) {
    char key_path[MAX_PATH];
    if (record_key(name, key_path)) RegDeleteKeyA(HKEY_LOCAL_MACHINE, key_path);
}

// Deletes the key when it has no subkeys left; a key that does not open is
// left alone.
void prune(const char *path) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, KEY_ALL_ACCESS, &key) != ERROR_SUCCESS) return;
    char name[MAX_PATH];
    bool empty = RegEnumKeyA(key, 0, name, sizeof name) != ERROR_SUCCESS;
    RegCloseKey(key);
    if (empty) RegDeleteKeyA(HKEY_LOCAL_MACHINE, path);
}

} // namespace

void WriteComponentRecords(void) {
    FileList list;
    if (!driver_files(&list)) return;
    DWORD version = 0; // the VxD takes the version read last
    for (int i = 0; i < list.count; i++) {
        const char *path = list.paths[i];
        if (list.vxd_second && i == 1) {
            if (!FileExists(path)) return;
            write_record(k_vxd_record, version, path);
            continue;
        }
        if (!FileExists(path)) continue;
        char desc[64];
        version = quvaDI_GetFileVersionA(path, desc);
        if (desc[0]) write_record(desc, version, path);
    }
}

void RemoveComponentRecords(void) {
    FileList list;
    if (!driver_files(&list)) {
        // Only a platform without driver files still gets its emptied
        // parents pruned; a directory that cannot be had ends it here.
        OSVERSIONINFOA os;
        std::memset(&os, 0, sizeof os);
        os.dwOSVersionInfoSize = sizeof os;
        if (!GetVersionExA(&os)) return;
        if (os.dwPlatformId == VER_PLATFORM_WIN32_WINDOWS ||
            (os.dwPlatformId == VER_PLATFORM_WIN32_NT && os.dwMajorVersion >= 4))
            return;
    }
    for (int i = 0; i < list.count; i++) {
        const char *path = list.paths[i];
        if (list.vxd_second && i == 1) continue;
        if (!FileExists(path)) continue;
        char desc[64];
        quvaDI_GetFileVersionA(path, desc);
        if (desc[0]) delete_record(desc);
    }
    if (list.vxd_second) delete_record(k_vxd_record);
    for (const char *key : k_prune) prune(key);
}
