// INF files: purging the maker's earlier OEM INF copies so Windows cannot
// match an old driver again, reading an INF's summary, running an install
// section through the platform's rundll host, deleting the INF behind a
// device's driver key, and the 98/ME copy into the INF directory.
#include "internal.h"
#include "quva_common.h"
#include "quvadi.h"
#include "setupapi_binding.h"

#include <cctype>
#include <cstdio>
#include <cstring>

namespace {

const char k_maker[] = "Vornel Technologies";
const char k_enumerator_id[] = "quva\\quvaenum";
const char k_reader_id[] = "quvaenum\\quvaifd";
const DWORD k_provider_chars = 260;

typedef HINF(WINAPI *OpenInfFn)(PCSTR, PCSTR, DWORD, PUINT);
typedef VOID(WINAPI *CloseInfFn)(HINF);
typedef BOOL(WINAPI *GetInfInformationFn)(LPCVOID, DWORD, PSP_INF_INFORMATION, DWORD, PDWORD);
typedef BOOL(WINAPI *QueryVersionFn)(PSP_INF_INFORMATION, UINT, PCSTR, PSTR, DWORD, PDWORD);
typedef BOOL(WINAPI *FindFirstLineFn)(HINF, PCSTR, PCSTR, PINFCONTEXT);
typedef BOOL(WINAPI *FindNextLineFn)(PINFCONTEXT, PINFCONTEXT);
typedef BOOL(WINAPI *GetStringFieldFn)(PINFCONTEXT, DWORD, PSTR, DWORD, PDWORD);

bool starts_with_maker(const char *provider) {
    for (size_t i = 0; i < sizeof k_maker - 1; i++)
        if (std::tolower((unsigned char)provider[i]) != std::tolower((unsigned char)k_maker[i])) return false;
    return true;
}

bool token_enumerator_or_reader(const char *hwid) {
    return MatchTokenHardwareId(hwid, FALSE) || EqualsNoCase(hwid, k_enumerator_id) || EqualsNoCase(hwid, k_reader_id);
}

// The INF functions of SetupAPI; every operation binds its own.
struct InfApi : SetupApi {
    OpenInfFn open = fn<OpenInfFn>("SetupOpenInfFileA");
    CloseInfFn close = fn<CloseInfFn>("SetupCloseInfFile");
    GetInfInformationFn information = fn<GetInfInformationFn>("SetupGetInfInformationA");
    QueryVersionFn query = fn<QueryVersionFn>("SetupQueryInfVersionInformationA");
    FindFirstLineFn first_line = fn<FindFirstLineFn>("SetupFindFirstLineA");
    FindNextLineFn next_line = fn<FindNextLineFn>("SetupFindNextLine");
    GetStringFieldFn field = fn<GetStringFieldFn>("SetupGetStringFieldA");

    bool complete() const {
        return open && close && information && query && first_line && next_line && field;
    }
    HINF open_inf(const char *path, const char *cls) const {
        HINF h = open(path, cls, INF_STYLE_WIN4, nullptr);
        return h == INVALID_HANDLE_VALUE ? nullptr : h;
    }
};

// The INF information block of an open INF, in local memory; null on any
// failure (the size query, a size of 0, the allocation or the fetch).
PSP_INF_INFORMATION inf_information(const InfApi &api, HINF inf) {
    DWORD size = 0;
    if (!api.information(inf, INFINFO_INF_SPEC_IS_HINF, nullptr, 0, &size) || size == 0) return nullptr;
    auto info = (PSP_INF_INFORMATION)LocalAlloc(LPTR, size);
    if (!info) return nullptr;
    if (!api.information(inf, INFINFO_INF_SPEC_IS_HINF, info, size, nullptr)) {
        DWORD error = GetLastError();
        LocalFree(info);
        SetLastError(error);
        return nullptr;
    }
    return info;
}

// A [Version] key into buf; failures leave it empty.
void version_text(const InfApi &api, PSP_INF_INFORMATION info, const char *key, char *buf, DWORD size) {
    if (!api.query(info, 0, key, buf, size, nullptr)) buf[0] = 0;
    buf[size - 1] = 0;
}

// A field of an INF line into a 64-byte text; a failed read leaves it empty.
BOOL text_field(const InfApi &api, INFCONTEXT *line, DWORD index, char *buf) {
    BOOL ok = api.field(line, index, buf, QUVADI_INF_TEXT, nullptr);
    if (!ok) buf[0] = 0;
    buf[QUVADI_INF_TEXT - 1] = 0;
    return ok;
}

void delete_with_pnf(const char *path) {
    DeleteFileA(path);
    char pnf[MAX_PATH];
    size_t len = std::strlen(path);
    if (len < 3 || len >= sizeof pnf) return;
    std::memcpy(pnf, path, len - 3);
    std::memcpy(pnf + len - 3, "PNF", 4);
    DeleteFileA(pnf);
}

// Class marks of one OEM INF.
enum : unsigned { ClassQuva = 1, ClassQuvaOrUsb = 2, AnyClass = 4 };

// Opens an INF with the purge's class tries, giving the marks it earns.
HINF open_with_marks(const InfApi &api, const char *path, unsigned *marks) {
    *marks = 0;
    if (HINF h = api.open_inf(path, "Quva")) {
        *marks = ClassQuva | ClassQuvaOrUsb | AnyClass;
        return h;
    }
    if (HINF h = api.open_inf(path, "USB")) {
        *marks = ClassQuvaOrUsb | AnyClass;
        return h;
    }
    if (HINF h = api.open_inf(path, "SmartCardReader")) {
        *marks = AnyClass;
        return h;
    }
    return api.open_inf(path, "Quva");
}

HINF open_reader_class(const InfApi &api, const char *path, unsigned *marks) {
    *marks = AnyClass;
    return api.open_inf(path, "SmartCardReader");
}

// The maker test over an open INF, which it closes either way.
bool made_by_maker(const InfApi &api, HINF inf) {
    PSP_INF_INFORMATION info = inf_information(api, inf);
    bool maker = false;
    if (info) {
        char provider[k_provider_chars] = {};
        maker = api.query(info, 0, "Provider", provider, sizeof provider, nullptr) &&
                (provider[sizeof provider - 1] = 0, starts_with_maker(provider));
        LocalFree(info);
    }
    api.close(inf);
    return maker;
}

bool any_stack_id(const InfSummary &s) {
    for (DWORD i = 0; i < s.ModelCount; i++)
        if (token_enumerator_or_reader(s.Models[i].HardwareId)) return true;
    return false;
}

// The reader-class verdict: a token ID says delete, but the enumerator or
// the virtual reader named first keeps the file.
bool tokens_before_stack(const InfSummary &s) {
    bool remove = false;
    for (DWORD i = 0; i < s.ModelCount; i++) {
        const char *id = s.Models[i].HardwareId;
        if (EqualsNoCase(id, k_enumerator_id) || EqualsNoCase(id, k_reader_id)) return false;
        if (MatchTokenHardwareId(id, FALSE)) remove = true;
    }
    return remove;
}

// Walks <windows>\INF\OEM*.INF; for each file of the maker that `open`
// accepts, `doomed` decides from its summary and marks.
template <class Open> void purge(Open open, bool (*doomed)(const InfSummary &, unsigned)) {
    char windows[MAX_PATH], pattern[MAX_PATH], dir[MAX_PATH];
    UINT n = GetWindowsDirectoryA(windows, sizeof windows);
    if (n == 0 || n >= sizeof windows) return;
    int len = std::snprintf(dir, sizeof dir, "%s\\INF", windows);
    if (len <= 0 || len >= (int)sizeof dir) return;
    len = std::snprintf(pattern, sizeof pattern, "%s\\INF\\OEM*.INF", windows);
    if (len <= 0 || len >= (int)sizeof pattern) return;

    InfApi api;
    if (!api.complete()) return;
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA(pattern, &found);
    if (search == INVALID_HANDLE_VALUE) return;
    do {
        char path[MAX_PATH];
        len = std::snprintf(path, sizeof path, "%s\\%s", dir, found.cFileName);
        if (len <= 0 || len >= (int)sizeof path) continue;
        unsigned marks = 0;
        HINF inf = open(api, path, &marks);
        if (!inf || !made_by_maker(api, inf)) continue;
        InfSummary summary;
        ReadInfSummary(path, &summary);
        if (doomed(summary, marks)) delete_with_pnf(path);
    } while (FindNextFileA(search, &found));
    FindClose(search);
}

bool install_side_verdict(const InfSummary &s, unsigned marks) {
    if (marks & ClassQuvaOrUsb) return any_stack_id(s);
    if (marks & AnyClass) return tokens_before_stack(s);
    return false;
}

bool removal_side_verdict(const InfSummary &s, unsigned) { return any_stack_id(s); }

DWORD read_summary(LPCSTR path, InfSummary *s) {
    InfApi api;
    if (!api.complete()) return LastErrorOr(ERROR_PROC_NOT_FOUND);
    HINF inf = api.open_inf(path, nullptr);
    if (!inf) return LastErrorOr(ERROR_INVALID_DATA);
    PSP_INF_INFORMATION info = inf_information(api, inf);
    if (!info) {
        DWORD error = LastErrorOr(ERROR_INVALID_DATA);
        api.close(inf);
        return error;
    }
    version_text(api, info, "Provider", s->Provider, sizeof s->Provider);
    version_text(api, info, "Version", s->Version, sizeof s->Version);
    version_text(api, info, "Class", s->Class, sizeof s->Class);
    version_text(api, info, "ClassGUID", s->ClassGUID, sizeof s->ClassGUID);

    DWORD error = 0;
    INFCONTEXT line;
    if (!api.first_line(inf, "Manufacturer", nullptr, &line)) {
        error = LastErrorOr(ERROR_LINE_NOT_FOUND);
    } else {
        text_field(api, &line, 1, s->ModelsSection);
        if (!api.first_line(inf, s->ModelsSection, nullptr, &line)) error = LastErrorOr(ERROR_LINE_NOT_FOUND);
    }
    while (!error) {
        InfModel &m = s->Models[s->ModelCount];
        if (!text_field(api, &line, 0, m.Description)) {
            error = LastErrorOr(ERROR_INVALID_DATA);
            break;
        }
        text_field(api, &line, 1, m.InstallSection);
        text_field(api, &line, 2, m.HardwareId);
        s->ModelCount++;
        if (!api.next_line(&line, &line) || s->ModelCount >= QUVADI_INF_MODELS) break;
    }
    LocalFree(info);
    api.close(inf);
    return error;
}

} // namespace

DWORD LastErrorOr(DWORD fallback) {
    DWORD e = GetLastError();
    return e ? e : fallback;
}

BOOL EqualsNoCase(LPCSTR a, LPCSTR b) {
    for (;; a++, b++) {
        if (std::tolower((unsigned char)*a) != std::tolower((unsigned char)*b)) return FALSE;
        if (!*a) return TRUE;
    }
}

void PurgeOemInfs(void) { purge(open_with_marks, install_side_verdict); }

void PurgeReaderOemInfs(void) { purge(open_reader_class, removal_side_verdict); }

DWORD ReadInfSummary(LPCSTR path, InfSummary *summary) {
    std::memset(summary, 0, sizeof *summary);
    return read_summary(path, summary);
}

BOOL BuildInstallHinfCommand(LPCSTR infPath, LPCSTR section, LPSTR out, DWORD size, LPDWORD needed) {
    if (!infPath || !out) return FALSE;
    if (size) out[0] = 0;
    if (!section) section = "DefaultInstall";
    DWORD need = 0;
    OSVERSIONINFOA v;
    char windows[MAX_PATH];
    UINT n = GetWindowsDirectoryA(windows, sizeof windows);
    if (quva_get_os_version(&v) && n > 0 && n < sizeof windows) {
        const char *format = nullptr;
        if (v.dwPlatformId == VER_PLATFORM_WIN32_WINDOWS && v.dwMajorVersion >= 4)
            format = "%s\\rundll.exe setupx.dll,InstallHinfSection %s 132 %s";
        else if (v.dwPlatformId == VER_PLATFORM_WIN32_NT)
            format = "%s\\System32\\rundll32.exe setupapi.dll,InstallHinfSection %s 132 %s";
        if (format) {
            need = (DWORD)(std::strlen(section) + std::strlen(infPath) + std::strlen(format) + n + 1);
            if (size >= need) std::snprintf(out, size, format, windows, section, infPath);
        }
    }
    if (needed) *needed = need;
    return size > 0 && out[0] != 0;
}

DWORD RunInfSection(HWND owner, LPCSTR sourceDir, LPCSTR infFile, LPCSTR section) {
    if (!sourceDir || !infFile) return ERROR_INVALID_PARAMETER;
    char saved[MAX_PATH], inf[MAX_PATH], command[MAX_PATH];
    DWORD n = GetCurrentDirectoryA(sizeof saved, saved);
    bool restore = n > 0 && n < sizeof saved;
    int len = std::snprintf(inf, sizeof inf, "%s\\%s", sourceDir, infFile);
    if (len <= 0 || len >= (int)sizeof inf) return ERROR_INVALID_PARAMETER;
    if (!BuildInstallHinfCommand(inf, section, command, sizeof command, nullptr)) return ERROR_INVALID_PARAMETER;
    // Without the source directory as the current one the host would not
    // find the files the section copies: do not run it.
    if (!SetCurrentDirectoryA(sourceDir)) return LastErrorOr(ERROR_PATH_NOT_FOUND);
    DWORD result = quvaDI_RunProcessA(owner, command, sourceDir, TRUE, SW_HIDE);
    if (restore) {
        DWORD error = GetLastError();
        SetCurrentDirectoryA(saved);
        SetLastError(error);
    }
    return result;
}

BOOL DeleteDriverInf(LPCSTR driverKey) {
    char key_path[MAX_PATH], path[MAX_PATH];
    DWORD error = 0;
    int len = driverKey ? std::snprintf(key_path, sizeof key_path, "System\\CurrentControlSet\\Control\\Class\\%s",
                                        driverKey)
                        : -1;
    UINT n = GetWindowsDirectoryA(path, sizeof path);
    if (len <= 0 || len >= (int)sizeof key_path) {
        error = ERROR_INVALID_PARAMETER;
    } else if (n == 0 || n >= sizeof path) {
        error = LastErrorOr(ERROR_INSUFFICIENT_BUFFER);
    } else {
        HKEY key = nullptr;
        LONG rc = RegOpenKeyExA(HKEY_LOCAL_MACHINE, key_path, 0, KEY_ALL_ACCESS, &key);
        if (rc == ERROR_FILE_NOT_FOUND) {
            SetLastError(0);
            return TRUE;
        }
        if (rc != ERROR_SUCCESS) {
            error = (DWORD)rc;
        } else {
            std::strcpy(path + n, "\\INF\\");
            size_t used = n + 5;
            DWORD type = 0, size = (DWORD)(sizeof path - used - 1);
            rc = RegQueryValueExA(key, "InfPath", nullptr, &type, (LPBYTE)(path + used), &size);
            RegCloseKey(key);
            if (rc == ERROR_SUCCESS) {
                // The stored text need not end in a zero.
                path[used + (size < sizeof path - used ? size : sizeof path - used - 1)] = 0;
                delete_with_pnf(path);
            }
        }
    }
    SetLastError(error);
    return error == 0;
}

BOOL CopyInfToWindows(LPCSTR sourceDir, LPCSTR infFile) {
    BOOL result = FALSE;
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\Microsoft\\Windows\\CurrentVersion\\Setup", 0, KEY_ALL_ACCESS,
                      &key) == ERROR_SUCCESS) {
        char value[MAX_PATH];
        int len = std::snprintf(value, sizeof value, "%s\\", sourceDir);
        if (len > 0 && len < (int)sizeof value)
            result = RegSetValueExA(key, "SourcePath", 0, REG_SZ, (const BYTE *)value, (DWORD)len) == ERROR_SUCCESS;
        RegCloseKey(key);
    }
    char windows[MAX_PATH], from[MAX_PATH], to[MAX_PATH];
    UINT n = GetWindowsDirectoryA(windows, sizeof windows);
    if (n > 0 && n < sizeof windows) {
        int a = std::snprintf(from, sizeof from, "%s\\%s", sourceDir, infFile);
        int b = std::snprintf(to, sizeof to, "%s\\INF\\%s", windows, infFile);
        if (a > 0 && a < (int)sizeof from && b > 0 && b < (int)sizeof to) CopyFileA(from, to, FALSE);
    }
    return result;
}
