/* What the dialogs of the library share: the window parameters and the
 * string loader.  Internal, never exported. */
#ifndef QUVAUI_INTERNAL_H
#define QUVAUI_INTERNAL_H

#include <windows.h>

/* Process-wide and unlocked: meant to be set before dialogs are shown. */
struct UiWindowParams {
    HWND parent;   /* owner and centring reference; null: the desktop window */
    DWORD topmost; /* nonzero: dialogs raise themselves to the topmost band */
};
extern UiWindowParams ui_window_params;

/* Empties buffer (when it has room), then copies string `id` of the
 * library's string table, cut to size - 1 characters.  Returns the number of
 * characters copied, 0 when there is no such string. */
int load_ui_string(UINT id, LPSTR buffer, int size);

#endif
