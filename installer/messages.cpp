// Error texts and the message box with the library's argument order.
#include "quvadi.h"

#include <cstring>

namespace {

struct SetupError {
    DWORD code;
    const char *text;
};

// SetupAPI's error codes have the top three bits set; the system's message
// tables do not know them, so the library carries its own texts.
const SetupError k_setup_errors[] = {
    {0xE0000000, "Expected INF section name."},
    {0xE0000001, "Bad INF section name line."},
    {0xE0000002, "INF Section name too long."},
    {0xE0000003, "General INF syntax error."},
    {0xE0000100, "Wrong INF style."},
    {0xE0000101, "INF Section not found."},
    {0xE0000102, "INF error line not found."},
    {0xE0000103, "No backup INF."},
    {0xE0000200, "No associated class."},
    {0xE0000201, "Class mismatch."},
    {0xE0000202, "Duplicate found."},
    {0xE0000203, "No driver selected."},
    {0xE0000204, "Key does not exist."},
    {0xE0000205, "Invalid device instance name."},
    {0xE0000206, "Invalid class."},
    {0xE0000207, "Device instance already exists."},
    {0xE0000208, "Device information not registered."},
    {0xE0000209, "Invalid registry property."},
    {0xE000020A, "No INF file."},
    {0xE000020B, "No such device instance."},
    {0xE000020C, "Cannot load class icon."},
    {0xE000020D, "Invalid class installer."},
    {0xE000020E, "Do default action."},
    {0xE000020F, "No file copy."},
    {0xE0000210, "Invalid hardware profile."},
    {0xE0000211, "No device selected."},
    {0xE0000212, "Device information list is locked."},
    {0xE0000213, "Device information data is locked."},
    {0xE0000214, "Bad path."},
    {0xE0000215, "No class installer parameters."},
    {0xE0000216, "File queue is locked."},
    {0xE0000217, "Bad service installation section."},
    {0xE0000218, "No class driver list."},
    {0xE0000219, "No associated service."},
    {0xE000021A, "No default device interface."},
    {0xE000021B, "Device interface active."},
    {0xE000021C, "Device interface removed."},
    {0xE000021D, "Bad interface install section."},
    {0xE000021E, "No such interface class."},
    {0xE000021F, "Invalid reference string."},
    {0xE0000220, "Invalid machine name."},
    {0xE0000221, "Remote commuication failure."},
    {0xE0000222, "Machine unavailable."},
    {0xE0000223, "No configuration manager services."},
    {0xE0000224, "Invalid property page provider."},
    {0xE0000225, "No such device interface."},
    {0xE0000226, "Post processing required."},
    {0xE0000227, "Invalid co-installer."},
    {0xE0000228, "No compatible drivers."},
    {0xE0000229, "No device icon."},
    {0xE000022A, "Invalid INF log configuation."},
    {0xE000022B, "Do not install."},
    {0xE000022C, "Invalid filter driver."},
    {0xE000022D, "Not a Windows NT device driver."},
    {0xE000022E, "Not a Windows device driver."},
    {0xE000022F, "No catalog for OEM INF file."},
    {0xE0000230, "Device installation queue non-native."},
    {0xE0000231, "Not disableable."},
    {0xE0000232, "Cannot remove device instance."},
};

const char *setup_error_text(DWORD code) {
    for (const SetupError &e : k_setup_errors)
        if (e.code == code) return e.text;
    return "Unknown error.";
}

} // namespace

extern "C" DWORD WINAPI quvaDI_GetErrorStrA(DWORD code, LPSTR buffer, DWORD size) {
    // A null buffer holds nothing, whatever size comes with it.
    if (!buffer) size = 0;
    if ((code & 0xE0000000) == 0xE0000000) {
        const char *text = setup_error_text(code);
        DWORD len = (DWORD)std::strlen(text);
        if (size >= len + 1) std::memcpy(buffer, text, len + 1);
        return len;
    }
    if (size == 0) return 0;
    buffer[0] = 0;
    return FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0, buffer, size,
                          nullptr);
}

extern "C" int WINAPI quvaDI_DlgMessageBoxA(HWND owner, UINT type, LPCSTR caption, LPCSTR text) {
    return MessageBoxA(owner, text, caption, type);
}
