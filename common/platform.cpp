// Platform-class tests: asked afresh at every call, never cached, because a
// caller may run under a compatibility layer that changes the answer.
#include "quva_common.h"

#include <cstring>

BOOL quva_get_os_version(OSVERSIONINFOA *info) {
    std::memset(info, 0, sizeof *info);
    info->dwOSVersionInfoSize = sizeof(OSVERSIONINFOA);
    return GetVersionExA(info);
}

namespace {
bool platform(DWORD id, OSVERSIONINFOA *v) { return quva_get_os_version(v) && v->dwPlatformId == id; }
} // namespace

BOOL quva_is_9x(void) {
    OSVERSIONINFOA v;
    return platform(VER_PLATFORM_WIN32_WINDOWS, &v);
}

BOOL quva_is_win98me(void) {
    OSVERSIONINFOA v;
    return platform(VER_PLATFORM_WIN32_WINDOWS, &v) &&
           (v.dwMajorVersion > 4 || (v.dwMajorVersion == 4 && v.dwMinorVersion > 0));
}

BOOL quva_is_win95(void) {
    OSVERSIONINFOA v;
    return platform(VER_PLATFORM_WIN32_WINDOWS, &v) &&
           (v.dwMajorVersion < 4 || (v.dwMajorVersion == 4 && v.dwMinorVersion == 0));
}

BOOL quva_is_nt4(void) {
    OSVERSIONINFOA v;
    return platform(VER_PLATFORM_WIN32_NT, &v) && v.dwMajorVersion == 4;
}

BOOL quva_is_nt5(void) {
    OSVERSIONINFOA v;
    return platform(VER_PLATFORM_WIN32_NT, &v) && v.dwMajorVersion >= 5;
}

BOOL quva_is_nt_family(void) {
    OSVERSIONINFOA v;
    return platform(VER_PLATFORM_WIN32_NT, &v);
}
