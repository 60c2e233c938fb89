// The placement every dialog of the kit applies to itself when it starts.
#include "quva_common.h"

namespace {
// One axis: centred over the reference, then kept on the screen.
int place(LONG ref_start, LONG ref_size, LONG size, int screen) {
    int p = (int)(ref_start + (ref_size - size) / 2); // C++ division truncates toward zero
    if (p < 0) return 0;
    if (p + size > screen) p = screen - (int)size;
    // A dialog larger than the screen keeps its top-left corner visible.
    return p < 0 ? 0 : p;
}
} // namespace

BOOL centre_dialog(HWND reference, HWND dialog) {
    if (!reference) reference = GetDesktopWindow();
    RECT d, r;
    if (!GetWindowRect(dialog, &d) || !GetWindowRect(reference, &r)) return FALSE;
    HDC dc = GetDC(dialog);
    if (!dc) return FALSE;
    int screen_w = GetDeviceCaps(dc, HORZRES), screen_h = GetDeviceCaps(dc, VERTRES);
    ReleaseDC(dialog, dc);
    int x = place(r.left, r.right - r.left, d.right - d.left, screen_w);
    int y = place(r.top, r.bottom - r.top, d.bottom - d.top, screen_h);
    return SetWindowPos(dialog, nullptr, x, y, 0, 0, SWP_NOSIZE | SWP_NOZORDER);
}
