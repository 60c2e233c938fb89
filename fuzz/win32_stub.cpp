// The Win32 calls the fuzzed token code links against, answered without a
// simulated machine: memory is plain and valid, and the registry, disk and
// module loader have nothing to offer (the harnesses never create contexts
// through them).
#include <windows.h>

#include <cstdlib>
#include <cstring>

extern "C" {

BOOL WINAPI IsBadWritePtr(LPVOID p, UINT_PTR size) { return size && !p; }
BOOL WINAPI IsBadReadPtr(const void *p, UINT_PTR size) { return size && !p; }

LPVOID WINAPI VirtualAlloc(LPVOID, SIZE_T size, DWORD, DWORD) {
    const SIZE_T page = 4096;
    void *p = std::aligned_alloc(page, (size + page - 1) / page * page);
    if (p) std::memset(p, 0, size);
    return p;
}
BOOL WINAPI VirtualFree(LPVOID p, SIZE_T, DWORD) {
    std::free(p);
    return TRUE;
}

BOOL WINAPI GetVersionExA(LPOSVERSIONINFOA) { return FALSE; }
UINT WINAPI GetWindowsDirectoryA(LPSTR, UINT) { return 0; }
UINT WINAPI GetSystemDirectoryA(LPSTR, UINT) { return 0; }
HANDLE WINAPI FindFirstFileA(LPCSTR, LPWIN32_FIND_DATAA) { return INVALID_HANDLE_VALUE; }
BOOL WINAPI FindClose(HANDLE) { return TRUE; }
LONG WINAPI RegOpenKeyExA(HKEY, LPCSTR, DWORD, REGSAM, PHKEY) { return ERROR_FILE_NOT_FOUND; }
LONG WINAPI RegQueryValueExA(HKEY, LPCSTR, LPDWORD, LPDWORD, LPBYTE, LPDWORD) { return ERROR_FILE_NOT_FOUND; }
LONG WINAPI RegCloseKey(HKEY) { return ERROR_SUCCESS; }
HMODULE WINAPI LoadLibraryA(LPCSTR) { return nullptr; }
FARPROC WINAPI GetProcAddress(HMODULE, LPCSTR) { return nullptr; }
BOOL WINAPI FreeLibrary(HMODULE) { return TRUE; }

} // extern "C"
