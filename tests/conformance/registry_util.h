// Registry helpers the conformance checks share: they run on the simulator
// and under Wine, so they use only the Win32 registry calls.
#ifndef QUVA_CONFORMANCE_REGISTRY_UTIL_H
#define QUVA_CONFORMANCE_REGISTRY_UTIL_H

#include <windows.h>

#include <string>
#include <vector>

namespace conformance {

inline bool key_exists(const std::string &path) {
    HKEY k;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &k) != ERROR_SUCCESS) return false;
    RegCloseKey(k);
    return true;
}

// Deletes a key of HKEY_LOCAL_MACHINE and what lies below it, leaves first
// (NT deletes leaves only).
inline void delete_tree(const std::string &path) {
    HKEY k;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_ALL_ACCESS, &k) != ERROR_SUCCESS) return;
    std::vector<std::string> children;
    char name[MAX_PATH];
    for (DWORD i = 0;; i++) {
        DWORD size = sizeof name;
        if (RegEnumKeyExA(k, i, name, &size, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
        children.push_back(name);
    }
    RegCloseKey(k);
    for (const std::string &c : children) delete_tree(path + "\\" + c);
    RegDeleteKeyA(HKEY_LOCAL_MACHINE, path.c_str());
}

} // namespace conformance

#endif
