// The predefined control classes ("Edit", "Static", "Button", "ListBox") and
// what the dialog manager and the scripted user need of them.
#ifndef WINSIM_CONTROLS_H
#define WINSIM_CONTROLS_H

#include "user.h"

namespace winsim {
namespace controls {

// Registers the classes for the machine that has just started.
void register_classes();
// Forgets every control's state (the machine has ended).
void forget_all();
// Fills in what a control holds and shows: text, mask, limit, rows, default.
void describe(HWND h, const WindowView &view, user::ControlInfo *info);
// A person's click (or double click) on a row of a list box; on its thread.
bool click_row(HWND list, int row, bool double_click);
// Puts an edit's caret after its text, as a click behind the last character would.
void caret_to_end(HWND edit);
// Compares two list box rows the way a sorted list box orders them.
int compare_rows(const std::string &a, const std::string &b);

} // namespace controls
} // namespace winsim

#endif
