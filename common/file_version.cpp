// Packed file versions and reading them from a file's version resource.
#include "quva_common.h"

DWORD quva_pack_version(DWORD major, DWORD minor, DWORD fourth) {
    // Each field is kept to its own bits so an oversized one cannot spill
    // into its neighbour.
    return ((major & 0xFF) << 24) | ((minor & 0xFF) << 16) | (fourth & 0xFFFF);
}

DWORD quva_pack_file_version(DWORD ms, DWORD ls) { return quva_pack_version(HIWORD(ms), LOWORD(ms), LOWORD(ls)); }

DWORD quva_read_file_version(LPCSTR path) {
    DWORD handle = 0;
    DWORD size = GetFileVersionInfoSizeA(path, &handle);
    if (size == 0) return 0;
    // One spare zeroed byte, as the block is later read as strings too.
    HLOCAL block = LocalAlloc(LMEM_FIXED | LMEM_ZEROINIT, (SIZE_T)size + 1);
    if (!block) return 0;
    DWORD result = 0;
    VS_FIXEDFILEINFO *fixed = nullptr;
    UINT len = 0;
    if (GetFileVersionInfoA(path, 0, size + 1, block) && VerQueryValueA(block, "\\", (LPVOID *)&fixed, &len) &&
        fixed && len >= sizeof(VS_FIXEDFILEINFO)) {
        result = quva_pack_file_version(fixed->dwFileVersionMS, fixed->dwFileVersionLS);
    }
    LocalFree(block);
    return result;
}
