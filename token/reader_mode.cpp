// How tokens are reached on this machine: the smart-card library file, the
// driver parameters behind the resource-manager decision and the reader
// scan limit, the PC/SC gate, and the two token ATRs.  Nothing is cached:
// each answer reads the platform, the disk and the registry afresh.
#include "internal.h"
#include "quva_common.h"

#include <cstring>

namespace quvab2 {
namespace {

const char k_qvatoken_parameters[] = "System\\CurrentControlSet\\Services\\qvatoken\\Parameters";
const char k_usbqvtkn_parameters[] = "System\\CurrentControlSet\\Services\\usbqvtkn\\Parameters";
const char k_quvaenum[] = "System\\CurrentControlSet\\Services\\quvaenum";
const char k_qvatoken[] = "System\\CurrentControlSet\\Services\\qvatoken";
const char k_quvavr9x[] = "System\\CurrentControlSet\\Services\\VXD\\QUVAVR9X";
const char k_component[] = QUVA_COMPONENTS_PARENT "\\Quva B2 Token Library";

enum class Platform { Win95, Win98Me, Nt4, Nt5, OtherNt, Other };

Platform platform() {
    OSVERSIONINFOA v;
    if (!quva_get_os_version(&v)) return Platform::Other;
    if (v.dwPlatformId == VER_PLATFORM_WIN32_WINDOWS)
        return v.dwMajorVersion > 4 || (v.dwMajorVersion == 4 && v.dwMinorVersion > 0) ? Platform::Win98Me
                                                                                         : Platform::Win95;
    if (v.dwPlatformId == VER_PLATFORM_WIN32_NT) {
        if (v.dwMajorVersion == 4) return Platform::Nt4;
        if (v.dwMajorVersion >= 5) return Platform::Nt5;
        return Platform::OtherNt;
    }
    return Platform::Other;
}

enum class Read { Ok, NoKey, NoValue };

// One 32-bit value; the stored type is not looked at.
Read read_dword(const char *key_name, const char *value_name, DWORD *out) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, key_name, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) return Read::NoKey;
    DWORD value = 0, size = sizeof value;
    LONG rc = RegQueryValueExA(key, value_name, nullptr, nullptr, reinterpret_cast<BYTE *>(&value), &size);
    RegCloseKey(key);
    if (rc != ERROR_SUCCESS) return Read::NoValue;
    *out = value;
    return Read::Ok;
}

bool device_count(Platform p, DWORD *count) {
    switch (p) {
    case Platform::Nt5: {
        Read r = read_dword(k_quvaenum, "NumberOfDevices", count);
        if (r == Read::NoKey) r = read_dword(k_qvatoken, "NumberOfDevices", count);
        return r == Read::Ok;
    }
    case Platform::Nt4: return read_dword(k_usbqvtkn_parameters, "NumberOfDevices", count) == Read::Ok;
    case Platform::Win98Me: return read_dword(k_quvavr9x, "NumberOfReaders", count) == Read::Ok;
    default: return false;
    }
}

bool use_rm(Platform p, DWORD *value) {
    *value = 0;
    switch (p) {
    case Platform::Nt5: return read_dword(k_qvatoken_parameters, "UseRM", value) == Read::Ok;
    case Platform::Nt4: return read_dword(k_usbqvtkn_parameters, "UseRM", value) == Read::Ok;
    case Platform::Win98Me: {
        Read r = read_dword(k_qvatoken_parameters, "UseRM", value);
        if (r != Read::NoKey) return r == Read::Ok;
        // No driver parameters at all: the reader VxD's count stands in.
        DWORD count = 0;
        *value = 0;
        return device_count(p, &count) && count != 0;
    }
    default: return false;
    }
}

bool rm_mode(Platform p, DWORD *value) {
    switch (p) {
    case Platform::Nt5:
    case Platform::Win98Me: return read_dword(k_qvatoken_parameters, "RMMode", value) == Read::Ok;
    case Platform::Nt4: return read_dword(k_usbqvtkn_parameters, "RMMode", value) == Read::Ok;
    default: return false;
    }
}

bool file_present(Platform p) {
    char path[MAX_PATH];
    const char *suffix;
    UINT n;
    if (p == Platform::Win95 || p == Platform::Win98Me) {
        n = GetWindowsDirectoryA(path, sizeof path);
        suffix = "\\System\\WINSCARD.DLL";
    } else if (p == Platform::Nt4 || p == Platform::Nt5 || p == Platform::OtherNt) {
        n = GetSystemDirectoryA(path, sizeof path);
        suffix = "\\WINSCARD.DLL";
    } else {
        return false;
    }
    if (n == 0 || n >= sizeof path || n + std::strlen(suffix) >= sizeof path) return false;
    std::strcpy(path + n, suffix);
    WIN32_FIND_DATAA found;
    HANDLE h = FindFirstFileA(path, &found);
    if (h == INVALID_HANDLE_VALUE) return false;
    FindClose(h);
    return true;
}

const BYTE k_atr_reference[2][25] = {
    {0x3B, 0xFF, 0x13, 0x00, 0xFF, 0x81, 0x31, 0xFE, 0x5D, 0x80, 0x25, 0xA0, 0x00,
     0x00, 0x00, 0x56, 0x57, 0x44, 0x4B, 0x33, 0x32, 0x30, 0x05, 0x00, 0x3F},
    {0x3B, 0xFF, 0x11, 0x00, 0x00, 0x81, 0x31, 0xFE, 0x4D, 0x80, 0x25, 0xA0, 0x00,
     0x00, 0x00, 0x56, 0x57, 0x44, 0x4B, 0x33, 0x33, 0x30, 0x06, 0x00, 0xD0},
};
const BYTE k_atr_mask[2][25] = {
    {0xFF, 0xFF, 0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
     0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x00},
    {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
     0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x00, 0xFF, 0x00},
};

} // namespace

bool smartcard_file_present() { return file_present(platform()); }

ReaderMode reader_mode() {
    Platform p = platform();
    ReaderMode mode = {file_present(p), false, 32};
    DWORD use = 0, rm = 0, count = 0;
    if (!mode.file_present || !use_rm(p, &use)) return mode;
    if (rm_mode(p, &rm)) {
        mode.rm = rm != 0;
        if (!mode.rm) return mode;
        mode.scan_limit = device_count(p, &count) ? count : 4;
        return mode;
    }
    bool have_count = device_count(p, &count);
    mode.rm = have_count ? count > 0 && use != 0 : use != 0;
    if (mode.rm) mode.scan_limit = have_count ? count : 4;
    return mode;
}

bool pcsc_gate_open() {
    Platform p = platform();
    if (p != Platform::Nt4 && p != Platform::Nt5 && p != Platform::OtherNt && p != Platform::Win98Me) return false;
    DWORD enabled = 0;
    return read_dword(k_component, "EnablePCSC", &enabled) == Read::Ok && enabled != 0;
}

bool is_token_atr(const BYTE *atr, DWORD length) {
    if (length != 25) return false;
    for (int r = 0; r < 2; ++r) {
        bool match = true;
        for (int i = 0; i < 25 && match; ++i)
            match = (atr[i] & k_atr_mask[r][i]) == (k_atr_reference[r][i] & k_atr_mask[r][i]);
        if (match) return true;
    }
    return false;
}

} // namespace quvab2
