// File checks shared by the inventory and the install, removal and record
// code: existence, the packed version and description of a file, and
// whether the installed token driver is the current one.
#include "internal.h"
#include "quva_common.h"
#include "quvadi.h"

#include <cstdio>
#include <cstring>

namespace {

// The token driver generation from which the enumerator stack is current.
const DWORD k_current_token_driver = 0x01120039;

// Restores the current directory saved on entry, if it could be saved.
class CurrentDirectory {
public:
    CurrentDirectory() {
        DWORD n = GetCurrentDirectoryA(sizeof saved_, saved_);
        saved_ok_ = n > 0 && n < sizeof saved_;
    }
    void restore() {
        if (saved_ok_) SetCurrentDirectoryA(saved_);
    }

private:
    char saved_[MAX_PATH];
    bool saved_ok_ = false;
};

// The packed form of VS_FIXEDFILEINFO's file version; each field keeps to
// its own bits, so a minor version above 255 cannot pass for a newer major.
DWORD pack(const VS_FIXEDFILEINFO *fixed) { return quva_pack_file_version(fixed->dwFileVersionMS, fixed->dwFileVersionLS); }

// Copies the FileDescription of the block's first translation, at most 63
// characters, into desc (64 bytes, zeroed here).
void read_description(const void *block, LPSTR desc) {
    std::memset(desc, 0, 64);
    WORD *pair = nullptr;
    UINT len = 0;
    if (!VerQueryValueA(block, "\\VarFileInfo\\Translation", (LPVOID *)&pair, &len) || !pair || len < 4) return;
    DWORD lang = pair[0] ? pair[0] : 0x0409;
    char query[64];
    std::snprintf(query, sizeof query, "\\StringFileInfo\\%08X\\FileDescription", (unsigned)((lang << 16) | pair[1]));
    char *text = nullptr;
    if (!VerQueryValueA(block, query, (LPVOID *)&text, &len) || !text) return;
    size_t n = 0;
    while (n < 63 && n < len && text[n]) n++; // the value need not end within its length
    std::memcpy(desc, text, n);
}

} // namespace

BOOL FileExists(LPCSTR path) {
    if (!path || !path[0]) return FALSE;
    WIN32_FIND_DATAA data;
    HANDLE h = FindFirstFileA(path, &data);
    if (h == INVALID_HANDLE_VALUE) return FALSE;
    FindClose(h);
    return TRUE;
}

extern "C" DWORD WINAPI quvaDI_GetFileVersionA(LPCSTR pszPath, LPSTR pszDescription) {
    if (pszDescription) pszDescription[0] = 0;
    if (!pszPath) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    const char *slash = std::strrchr(pszPath, '\\');
    if (!slash) {
        SetLastError(ERROR_DIRECTORY);
        return 0;
    }
    size_t dir_len = (size_t)(slash - pszPath);
    if (dir_len >= MAX_PATH) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    CurrentDirectory saved;
    SetLastError(0);
    char dir[MAX_PATH];
    std::memcpy(dir, pszPath, dir_len);
    dir[dir_len] = 0;
    if (!SetCurrentDirectoryA(dir)) return 0;

    DWORD packed = 0;
    DWORD handle = 0;
    DWORD size = GetFileVersionInfoSizeA(pszPath, &handle);
    if (size > 0) {
        // One spare zeroed byte beyond the block.
        void *block = LocalAlloc(LPTR, (SIZE_T)size + 1);
        if (block) {
            if (GetFileVersionInfoA(pszPath, 0, size, block)) {
                VS_FIXEDFILEINFO *fixed = nullptr;
                UINT len = 0;
                if (VerQueryValueA(block, "\\", (LPVOID *)&fixed, &len) && fixed && len >= sizeof *fixed)
                    packed = pack(fixed);
                if (pszDescription) read_description(block, pszDescription);
            }
            LocalFree(block);
        }
    }
    saved.restore();
    return packed;
}

BOOL IsCurrentTokenDriverFile(void) {
    char dir[MAX_PATH], path[MAX_PATH];
    UINT n = GetSystemDirectoryA(dir, sizeof dir);
    if (n == 0 || n >= sizeof dir) return FALSE;
    int len = std::snprintf(path, sizeof path, "%s\\Drivers\\qvatoken.sys", dir);
    if (len < 0 || len >= (int)sizeof path || !FileExists(path)) return FALSE;
    return quvaDI_GetFileVersionA(path, nullptr) >= k_current_token_driver;
}
