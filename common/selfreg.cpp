// Component self-registration, shared by the three libraries: one subkey per
// library under a common tree, pruned again as components go away.
#include "quva_common.h"

#include <cstring>

namespace {

const char *const k_parents[] = {
    QUVA_COMPONENTS_PARENT,
    "Software\\Vornel Technologies\\Quva\\Quva Components",
    "Software\\Vornel Technologies\\Quva",
    "Software\\Vornel Technologies",
};

BOOL fail_with(DWORD error) {
    SetLastError(error);
    return FALSE;
}

} // namespace

BOOL quva_register_component(HMODULE module, const QuvaComponent *c) {
    char path[MAX_PATH];
    DWORD n = GetModuleFileNameA(module, path, MAX_PATH);
    if (n == 0) return FALSE;
    // A full buffer means the name was cut (and, before Vista, left
    // unterminated): registering a wrong path is worse than failing.
    if (n >= MAX_PATH) return fail_with(ERROR_INSUFFICIENT_BUFFER);
    path[n] = '\0';

    char *slash = std::strrchr(path, '\\');
    if (!slash) return fail_with(ERROR_BAD_PATHNAME);
    size_t dir_len = (size_t)(slash - path);
    size_t file_len = std::strlen(c->file_name);
    if (dir_len + 1 + file_len + 1 > sizeof path) return fail_with(ERROR_FILENAME_EXCED_RANGE);
    std::memcpy(slash + 1, c->file_name, file_len + 1);

    char key_name[MAX_PATH];
    size_t parent_len = std::strlen(QUVA_COMPONENTS_PARENT);
    size_t name_len = std::strlen(c->name);
    if (parent_len + 1 + name_len + 1 > sizeof key_name) return fail_with(ERROR_FILENAME_EXCED_RANGE);
    std::memcpy(key_name, QUVA_COMPONENTS_PARENT, parent_len);
    key_name[parent_len] = '\\';
    std::memcpy(key_name + parent_len + 1, c->name, name_len + 1);

    HKEY key = nullptr;
    DWORD disposition = 0;
    LONG rc = RegCreateKeyExA(HKEY_LOCAL_MACHINE, key_name, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS,
                              nullptr, &key, &disposition);
    // Registry calls report through their result, not the last error.
    if (rc != ERROR_SUCCESS) return fail_with((DWORD)rc);

    DWORD version = c->version;
    rc = RegSetValueExA(key, "Path", 0, REG_SZ, (const BYTE *)path, (DWORD)std::strlen(path) + 1);
    if (rc == ERROR_SUCCESS) rc = RegSetValueExA(key, "Version", 0, REG_DWORD, (const BYTE *)&version, sizeof version);
    if (rc == ERROR_SUCCESS && c->enable_pcsc && disposition == REG_CREATED_NEW_KEY) {
        // The PC/SC gate starts closed; a later registration keeps what is there.
        DWORD zero = 0;
        rc = RegSetValueExA(key, "EnablePCSC", 0, REG_DWORD, (const BYTE *)&zero, sizeof zero);
    }
    RegCloseKey(key);
    if (rc != ERROR_SUCCESS) return fail_with((DWORD)rc);
    return TRUE;
}

void quva_unregister_component(const QuvaComponent *c) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, QUVA_COMPONENTS_PARENT, 0, KEY_ALL_ACCESS, &key) == ERROR_SUCCESS) {
        RegDeleteKeyA(key, c->name);
        RegCloseKey(key);
    }
    for (const char *parent : k_parents) {
        if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, parent, 0, KEY_ALL_ACCESS, &key) != ERROR_SUCCESS) continue;
        char name[MAX_PATH];
        DWORD len = sizeof name;
        LONG rc = RegEnumKeyExA(key, 0, name, &len, nullptr, nullptr, nullptr, nullptr);
        RegCloseKey(key);
        // Only a key known to be empty goes: on Windows 9x RegDeleteKeyA takes
        // the whole subtree, so an enumeration that merely failed must not count.
        if (rc == ERROR_NO_MORE_ITEMS) RegDeleteKeyA(HKEY_LOCAL_MACHINE, parent);
    }
}

HRESULT quva_dll_install(HMODULE module, const QuvaComponent *c, BOOL install) {
    BOOL ok = TRUE;
    if (install)
        ok = quva_register_component(module, c);
    else
        quva_unregister_component(c);
    if (ok) SetLastError(0);
    DWORD v = GetLastError();
    // A failure must never read as S_OK, whatever the failing call left behind.
    if (!ok && v == 0) return E_FAIL;
    if (v > 0) return (HRESULT)(0x80070000u | (v & 0xFFFF));
    return (HRESULT)v;
}
