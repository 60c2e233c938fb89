// Resources of our own libraries, read from the .rc text that the build puts
// next to each shared object (the same text windres compiles on Windows).
#ifndef WINSIM_RCFILE_H
#define WINSIM_RCFILE_H

#include "core.h"

#include <map>
#include <memory>
#include <string>

namespace winsim {
namespace rc {

struct File {
    std::map<unsigned, std::string> strings; // STRINGTABLE entries by id
};

// Parses .rc text.  Only what the kit's resource files use is understood;
// statements the reader does not know are skipped with their BEGIN/END block.
File parse(const std::string &text);

// The resources of a loaded module (nullptr: no .rc beside it).  Cached per
// file; the result lives as long as the process.
const File *of_module(HMODULE module);

} // namespace rc
} // namespace winsim

#endif
