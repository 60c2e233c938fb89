// Checks of the PC/SC subsystem and of the token's virtual readers, the
// smart-card service repair, and the two reader operations the install and
// removal flows use.
#include "internal.h"
#include "quva_common.h"
#include "quvadi.h"

#include <winscard.h>

#include <cctype>
#include <cstring>
#include <string>

namespace {

const char k_prefix[] = "Vornel Technologies QuvaVirtualReader";
const size_t k_prefix_len = sizeof(k_prefix) - 1;
const char k_scardsvr_key[] = "System\\CurrentControlSet\\Services\\SCardSvr";
const char k_scarddrv_key[] = "System\\CurrentControlSet\\Services\\SCardDrv";
const char k_calais_readers[] = "Software\\Microsoft\\Cryptography\\Calais\\Readers";
const char k_reader_class[] = "System\\CurrentControlSet\\Services\\Class\\SmartCardReader";

typedef LONG(WINAPI *EstablishFn)(DWORD, LPCVOID, LPCVOID, LPSCARDCONTEXT);
typedef LONG(WINAPI *ReleaseFn)(SCARDCONTEXT);
typedef LONG(WINAPI *ListFn)(SCARDCONTEXT, LPCSTR, LPSTR, LPDWORD);
typedef LONG(WINAPI *StatusFn)(SCARDCONTEXT, DWORD, LPSCARD_READERSTATEA, DWORD);
typedef LONG(WINAPI *ForgetFn)(SCARDCONTEXT, LPCSTR);

// WinSCard bound at first use for the length of one operation; a library or
// function that cannot be bound fails the call like the platform's lazy
// binding does, and the caller moves on to its next step.
class WinSCard {
public:
    ~WinSCard() {
        if (module_) FreeLibrary(module_);
    }
    bool establish(DWORD scope, SCARDCONTEXT *ctx) {
        auto f = (EstablishFn)bind("SCardEstablishContext");
        return f && f(scope, nullptr, nullptr, ctx) == SCARD_S_SUCCESS;
    }
    void release(SCARDCONTEXT ctx) {
        if (auto f = (ReleaseFn)bind("SCardReleaseContext")) f(ctx);
    }
    // The reader list of all groups, or an empty string.
    std::string list(SCARDCONTEXT ctx) {
        auto f = (ListFn)bind("SCardListReadersA");
        if (!f) return std::string();
        DWORD size = 0;
        if (f(ctx, nullptr, nullptr, &size) != SCARD_S_SUCCESS || size == 0) return std::string();
        std::string buf(size, '\0');
        if (f(ctx, nullptr, &buf[0], &size) != SCARD_S_SUCCESS) return std::string();
        if (size < buf.size()) buf.resize(size);
        return buf;
    }
    bool live(SCARDCONTEXT ctx, const char *reader) {
        auto f = (StatusFn)bind("SCardGetStatusChangeA");
        if (!f) return false;
        SCARD_READERSTATEA state;
        memset(&state, 0, sizeof(state));
        state.szReader = reader;
        state.dwCurrentState = SCARD_STATE_UNAWARE;
        if (f(ctx, 1, &state, 1) != SCARD_S_SUCCESS) return false;
        // Asked from the unaware state, the answer always carries the
        // changed bit; the reader's own state is what is compared.
        return (state.dwEventState & ~(DWORD)SCARD_STATE_CHANGED) != SCARD_STATE_UNAVAILABLE;
    }
    bool forget(SCARDCONTEXT ctx, const char *reader) {
        auto f = (ForgetFn)bind("SCardForgetReaderA");
        return f && f(ctx, reader) == SCARD_S_SUCCESS;
    }
    bool failed() const { return failed_; }

private:
    void *bind(const char *name) {
        if (!module_) module_ = LoadLibraryA("WINSCARD.DLL");
        void *f = module_ ? reinterpret_cast<void *>(GetProcAddress(module_, name)) : nullptr;
        if (!f) failed_ = true;
        return f;
    }
    HMODULE module_ = nullptr;
    bool failed_ = false;
};

// Case-insensitive over the prefix's length, as _strnicmp compares.
bool has_prefix_nocase(const char *name) {
    for (size_t i = 0; i < k_prefix_len; i++)
        if (std::tolower((unsigned char)name[i]) != std::tolower((unsigned char)k_prefix[i])) return false;
    return true;
}

// Walks the list of multi-string names.
template <class F> void for_each_name(const std::string &list, F f) {
    for (size_t i = 0; i < list.size() && list[i];) {
        const char *name = list.c_str() + i;
        size_t n = strlen(name);
        f(name);
        i += n + 1;
    }
}

// Live readers whose names do (virtual) or do not begin with the prefix.
DWORD count_live(bool virtual_readers) {
    WinSCard sc;
    SCARDCONTEXT ctx = 0;
    if (!sc.establish(SCARD_SCOPE_USER, &ctx)) return 0;
    DWORD count = 0;
    std::string list = sc.list(ctx);
    for_each_name(list, [&](const char *name) {
        // A function that cannot be bound ends the walk with what was counted.
        if (!sc.failed() && has_prefix_nocase(name) == virtual_readers && sc.live(ctx, name)) count++;
    });
    sc.release(ctx);
    return count;
}

// The checks leave the caller's last error as it was, whatever the calls
// they make put there.
struct KeepLastError {
    DWORD saved = GetLastError();
    ~KeepLastError() { SetLastError(saved); }
};

bool file_exists(const char *path) { return GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES; }

// A directory followed by a suffix, in a 260-byte buffer.
bool dir_path(bool system, const char *suffix, char *out) {
    UINT n = system ? GetSystemDirectoryA(out, MAX_PATH) : GetWindowsDirectoryA(out, MAX_PATH);
    if (n == 0 || n >= MAX_PATH || n + strlen(suffix) >= MAX_PATH) return false;
    strcat(out, suffix);
    return true;
}

bool read_dword(const char *key, const char *value, DWORD *out) {
    HKEY h;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, key, 0, KEY_QUERY_VALUE, &h) != ERROR_SUCCESS) return false;
    DWORD type = 0, size = sizeof(DWORD), v = 0;
    LONG r = RegQueryValueExA(h, value, nullptr, &type, (LPBYTE)&v, &size);
    RegCloseKey(h);
    if (r != ERROR_SUCCESS) return false;
    *out = v;
    return true;
}

bool key_opens(const char *key, REGSAM access) {
    HKEY h;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, key, 0, access, &h) != ERROR_SUCCESS) return false;
    RegCloseKey(h);
    return true;
}

enum class Plat { Nt5, Nt4, Win98, Other };

Plat platform() {
    OSVERSIONINFOA os;
    if (!quva_get_os_version(&os)) return Plat::Other;
    if (os.dwPlatformId == VER_PLATFORM_WIN32_NT) {
        if (os.dwMajorVersion >= 5) return Plat::Nt5;
        if (os.dwMajorVersion == 4) return Plat::Nt4;
        return Plat::Other;
    }
    if (os.dwPlatformId == VER_PLATFORM_WIN32_WINDOWS &&
        (os.dwMajorVersion > 4 || (os.dwMajorVersion == 4 && os.dwMinorVersion > 0)))
        return Plat::Win98;
    return Plat::Other;
}

const char *params_key(Plat p) {
    switch (p) {
    case Plat::Nt5:
    case Plat::Win98: return "System\\CurrentControlSet\\Services\\qvatoken\\Parameters";
    case Plat::Nt4: return "System\\CurrentControlSet\\Services\\usbqvtkn\\Parameters";
    default: return nullptr;
    }
}

bool read_reader_count(Plat p, DWORD *count) {
    switch (p) {
    case Plat::Nt5:
        if (key_opens("System\\CurrentControlSet\\Services\\quvaenum", KEY_QUERY_VALUE))
            return read_dword("System\\CurrentControlSet\\Services\\quvaenum", "NumberOfDevices", count);
        return read_dword("System\\CurrentControlSet\\Services\\qvatoken", "NumberOfDevices", count);
    case Plat::Nt4: return read_dword("System\\CurrentControlSet\\Services\\usbqvtkn\\Parameters", "NumberOfDevices", count);
    case Plat::Win98:
        if (read_dword("System\\CurrentControlSet\\Services\\VXD\\QUVAVR9X", "NumberOfDevices", count)) return true;
        return quvaDI_IsVrReaderInstalled() != 0;
    default: return false;
    }
}

bool read_use_rm(Plat p, DWORD *use) {
    const char *key = params_key(p);
    if (!key) return false;
    if (p == Plat::Win98 && !key_opens(key, KEY_QUERY_VALUE)) {
        DWORD count = 0;
        return read_reader_count(p, &count) && count != 0;
    }
    return read_dword(key, "UseRM", use);
}

void set_dword(HKEY h, const char *name, DWORD v) { RegSetValueExA(h, name, 0, REG_DWORD, (const BYTE *)&v, sizeof(v)); }

// Opens the key and reports whether its "Start" value reads.
bool start_readable(const char *key, bool *opened) {
    HKEY h;
    *opened = RegOpenKeyExA(HKEY_LOCAL_MACHINE, key, 0, KEY_READ, &h) == ERROR_SUCCESS;
    if (!*opened) return false;
    DWORD type = 0, size = sizeof(DWORD), v = 0;
    bool ok = RegQueryValueExA(h, "Start", nullptr, &type, (LPBYTE)&v, &size) == ERROR_SUCCESS;
    RegCloseKey(h);
    return ok;
}

void write_server_start(DWORD start) {
    HKEY h;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, k_scardsvr_key, 0, KEY_ALL_ACCESS, &h) != ERROR_SUCCESS) return;
    set_dword(h, "Start", start);
    RegCloseKey(h);
}

} // namespace

extern "C" BOOL WINAPI quvaDI_IsPcScSupported(void) {
    KeepLastError keep;
    OSVERSIONINFOA os;
    if (!quva_get_os_version(&os)) return FALSE;
    if (os.dwPlatformId == VER_PLATFORM_WIN32_NT) return TRUE;
    return platform() == Plat::Win98;
}

extern "C" BOOL WINAPI quvaDI_IsVrSupported(void) { return quvaDI_IsPcScSupported(); }

extern "C" BOOL WINAPI quvaDI_IsPcScInstalled(void) {
    KeepLastError keep;
    OSVERSIONINFOA os;
    if (!quva_get_os_version(&os)) return FALSE;
    char path[MAX_PATH];
    if (os.dwPlatformId == VER_PLATFORM_WIN32_WINDOWS) {
        if (!key_opens("Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\SmartcardBase", KEY_ALL_ACCESS))
            return FALSE;
        return dir_path(false, "\\System\\WINSCARD.DLL", path) && file_exists(path);
    }
    if (os.dwPlatformId == VER_PLATFORM_WIN32_NT) return dir_path(true, "\\WINSCARD.DLL", path) && file_exists(path);
    return FALSE;
}

extern "C" BOOL WINAPI quvaDI_IsPcScDriverInstalled(void) {
    KeepLastError keep;
    OSVERSIONINFOA os;
    if (!quva_get_os_version(&os)) return FALSE;
    char path[MAX_PATH];
    if (os.dwPlatformId == VER_PLATFORM_WIN32_WINDOWS)
        return dir_path(false, "\\System32\\Drivers\\SMCLIB.SYS", path) && file_exists(path);
    if (os.dwPlatformId == VER_PLATFORM_WIN32_NT)
        return dir_path(true, "\\Drivers\\smclib.sys", path) && file_exists(path);
    return FALSE;
}

extern "C" BOOL WINAPI quvaDI_IsPcScEnabled(void) {
    KeepLastError keep;
    if (!quvaDI_IsPcScInstalled()) return FALSE;
    HMODULE lib = LoadLibraryA("WinScard.dll");
    if (!lib) return FALSE;
    auto establish = (EstablishFn)(void *)GetProcAddress(lib, "SCardEstablishContext");
    auto release = (ReleaseFn)(void *)GetProcAddress(lib, "SCardReleaseContext");
    if (!establish || !release) {
        FreeLibrary(lib);
        return FALSE;
    }
    SCARDCONTEXT ctx = 0;
    LONG r = establish(SCARD_SCOPE_USER, nullptr, nullptr, &ctx);
    if (r == SCARD_S_SUCCESS) release(ctx);
    FreeLibrary(lib);
    if (r == SCARD_S_SUCCESS) return TRUE;
    if (r == (LONG)SCARD_E_NO_SERVICE) return quvaDI_IsServiceInstalledA("ScardSvr");
    return FALSE;
}

extern "C" BOOL WINAPI quvaDI_IsVrEnabled(void) {
    KeepLastError keep;
    if (!quvaDI_IsPcScInstalled() || !quvaDI_IsPcScEnabled()) return FALSE;
    Plat p = platform();
    DWORD use = 0, mode = 0, count = 0;
    if (!read_use_rm(p, &use)) return quvaDI_IsVrReaderInstalled() != 0;
    const char *key = params_key(p);
    if (key && read_dword(key, "RMMode", &mode)) return mode != 0;
    if (!read_reader_count(p, &count)) return quvaDI_IsVrReaderInstalled() != 0;
    return count > 0 && use != 0;
}

extern "C" BOOL WINAPI quvaDI_IsVrReaderA(LPCSTR name) {
    // A null name would fault inside the comparison; the guard's answer is 0.
    if (!name) return FALSE;
    return strncmp(name, k_prefix, k_prefix_len) == 0;
}

extern "C" DWORD WINAPI quvaDI_IsVrReaderInstalled(void) {
    KeepLastError keep;
    return count_live(true);
}

extern "C" DWORD WINAPI quvaDI_IsNonVrReaderInstalled(void) {
    KeepLastError keep;
    DWORD count = count_live(false);
    if (count != 0 || platform() != Plat::Win98) return count;
    HKEY cls;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, k_reader_class, 0, KEY_ALL_ACCESS, &cls) != ERROR_SUCCESS) return count;
    char name[MAX_PATH];
    for (DWORD i = 0; RegEnumKeyA(cls, i, name, sizeof(name)) == ERROR_SUCCESS; i++) {
        HKEY sub;
        if (RegOpenKeyExA(cls, name, 0, KEY_ALL_ACCESS, &sub) != ERROR_SUCCESS) continue;
        char id[MAX_PATH];
        DWORD type = 0, size = sizeof(id);
        LONG r = RegQueryValueExA(sub, "MatchingDeviceId", nullptr, &type, (LPBYTE)id, &size);
        if (r == ERROR_SUCCESS) {
            // A value that fills the buffer without its zero is cut, not overrun.
            id[size < sizeof(id) ? size : sizeof(id) - 1] = '\0';
            if (!MatchTokenHardwareId(id, FALSE)) count++;
        }
        RegCloseKey(sub);
    }
    RegCloseKey(cls);
    return count;
}

extern "C" BOOL WINAPI quvaDI_CheckAndFixPCSC(void) {
    if (platform() != Plat::Nt5) return FALSE;
    bool damaged = false, server_found = false, opened = false;
    if (!start_readable(k_scarddrv_key, &opened)) damaged = true;
    if (!start_readable(k_scardsvr_key, &opened)) damaged = true;
    server_found = opened;
    if (!damaged) return FALSE;
    DWORD stop_flag = 0, start_flag = 0;
    if (server_found) {
        write_server_start(4);
        quvaDI_StopServiceA("SCardSvr", &stop_flag);
    }
    char cmd[MAX_PATH];
    if (dir_path(true, "\\SCardSvr.exe REINSTALL", cmd)) quvaDI_RunProcessA(nullptr, cmd, nullptr, TRUE, 0);
    write_server_start(2);
    quvaDI_StartServiceA("SCardSvr", 0, nullptr, &start_flag);
    return start_flag == 1 || stop_flag == 1;
}

void SetResourceManagerStart(BOOL enable) {
    if (!quvaDI_IsPcScInstalled()) return;
    OSVERSIONINFOA os;
    if (!quva_get_os_version(&os) || os.dwPlatformId != VER_PLATFORM_WIN32_NT) return;
    Plat p = platform();
    if (p != Plat::Nt5 && p != Plat::Nt4) return;
    HKEY h;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, k_scardsvr_key, 0, KEY_ALL_ACCESS, &h) != ERROR_SUCCESS) return;
    if (enable) {
        set_dword(h, "Start", 2);
        if (p == Plat::Nt4) set_dword(h, "ErrorControl", 0);
        RegCloseKey(h);
        DWORD flag = 0;
        quvaDI_StartServiceA("ScardSvr", 0, nullptr, &flag);
        return;
    }
    if (quvaDI_IsNonVrReaderInstalled() == 0) {
        if (p == Plat::Nt5) set_dword(h, "Start", 3);
        else set_dword(h, "ErrorControl", 0);
    }
    RegCloseKey(h);
}

BOOL ForgetVirtualReaders(void) {
    BOOL result = TRUE;
    {
        WinSCard sc;
        SCARDCONTEXT ctx = 0;
        if (sc.establish(SCARD_SCOPE_SYSTEM, &ctx)) {
            std::string list = sc.list(ctx);
            for_each_name(list, [&](const char *name) {
                if (!sc.failed() && has_prefix_nocase(name)) sc.forget(ctx, name);
            });
            sc.release(ctx);
        }
        // A WinSCard function that could not be bound ends this step as a fault.
        if (sc.failed()) result = FALSE;
    }
    HKEY h;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, k_calais_readers, 0, KEY_ALL_ACCESS, &h) != ERROR_SUCCESS) return result;
    char name[MAX_PATH];
    for (DWORD i = 0; RegEnumKeyA(h, i, name, sizeof(name)) == ERROR_SUCCESS;) {
        if (has_prefix_nocase(name)) {
            if (RegDeleteKeyA(h, name) != ERROR_SUCCESS) i++; // a key that stays would be met again for ever
        } else {
            i++;
        }
    }
    RegCloseKey(h);
    return result;
}
