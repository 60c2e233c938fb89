// Resources of our own libraries, read from the .rc text that the build puts
// next to each shared object (the same text windres compiles on Windows).
#ifndef WINSIM_RCFILE_H
#define WINSIM_RCFILE_H

#include "core.h"

#include <map>
#include <memory>
#include <string>
#include <vector>

namespace winsim {
namespace rc {

// One control of a dialog template, as the resource compiler would store it.
struct DialogItem {
    std::string statement;   // "LTEXT", "CONTROL", ...
    std::string text;        // its text; for an ordinal text "#n"
    long id = 0;
    std::string class_name;  // "Button", "Edit", "Static", "ListBox", or as CONTROL names it
    DWORD style = 0, ex_style = 0;
    int x = 0, y = 0, cx = 0, cy = 0; // dialog units
};

struct DialogTemplate {
    bool ex = false;         // DIALOGEX
    int x = 0, y = 0, cx = 0, cy = 0;
    DWORD style = 0, ex_style = 0;
    std::string caption;
    std::string font_face;   // "" without FONT
    int font_size = 0;
    std::vector<DialogItem> items;
};

struct File {
    std::map<unsigned, std::string> strings; // STRINGTABLE entries by id
    // Named resources by key: "#123" for a number, the upper-cased name otherwise.
    std::map<std::string, DialogTemplate> dialogs;
    std::map<std::string, std::string> icons; // ICON resources: the file named
};

// The key under which a resource name (MAKEINTRESOURCE or text) is filed.
std::string resource_key(LPCSTR name);

// The value of a style or id constant the resource files may use
// (WS_CHILD, ES_PASSWORD, IDOK, ...); false when unknown.
bool constant(const std::string &name, long *value);

// Parses .rc text.  Only what the kit's resource files use is understood;
// statements the reader does not know are skipped with their BEGIN/END block.
File parse(const std::string &text);

// The resources of a loaded module (nullptr: no .rc beside it).  Cached per
// file; the result lives as long as the process.
const File *of_module(HMODULE module);

// Gives a module the resources of `text` instead of the .rc beside its image
// (nullptr: back to that file).  For tests of the program's own resources.
void set_module_text(HMODULE module, const std::string *text);

} // namespace rc
} // namespace winsim

#endif
