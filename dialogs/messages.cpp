// Texts of the string table, status-code messages and the window parameters.
#include "quva_common.h"
#include "quvaui.h"
#include "ui_internal.h"

#include <climits>

UiWindowParams ui_window_params = {nullptr, 0};

namespace {
const DWORD k_first_status_message = 2000;
const DWORD k_last_status_code = 255;
} // namespace

int load_ui_string(UINT id, LPSTR buffer, int size) {
    // A zero-sized buffer has no room even for the terminator.
    if (!buffer || size <= 0) return 0;
    buffer[0] = '\0';
    return LoadStringA((HINSTANCE)quva_module(), id, buffer, size);
}

extern "C" DWORD WINAPI quvaUI_GetErrorMsgA(DWORD code, LPSTR buffer, DWORD size) {
    int room = size > (DWORD)INT_MAX ? INT_MAX : (int)size;
    // String ids are 16-bit: a larger code would wrap onto an unrelated text.
    if (code > k_last_status_code) {
        if (buffer && room > 0) buffer[0] = '\0';
        return 0;
    }
    return (DWORD)load_ui_string((UINT)(k_first_status_message + code), buffer, room);
}

extern "C" DWORD WINAPI quvaUI_SetWindowParams(HWND parent, DWORD topmost) {
    ui_window_params.parent = parent ? parent : GetDesktopWindow();
    ui_window_params.topmost = topmost;
    return topmost;
}

extern "C" void WINAPI quvaUI_GetWindowParams(HWND *parent, DWORD *topmost) {
    // Each output is written only where the caller can take it.
    if (!IsBadWritePtr(parent, sizeof *parent)) *parent = ui_window_params.parent;
    if (!IsBadWritePtr(topmost, sizeof *topmost)) *topmost = ui_window_params.topmost;
}
