// The simulator's INF parser on arbitrary text: it must end, stay within its
// limits and hand out a consistent model, or refuse with a line number.
#include "inf.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>

// The few helpers of the simulator's core the parser uses, without a machine.
namespace winsim {
std::string upper(std::string s) {
    for (auto &c : s) c = (char)((c >= 'a' && c <= 'z') ? c - 32 : c);
    return s;
}
bool iequals(const std::string &a, const std::string &b) { return upper(a) == upper(b); }
std::string dir_part(const std::string &path) {
    size_t at = path.find_last_of("\\/");
    return at == std::string::npos ? "" : path.substr(0, at);
}
Machine::Impl *M_or_null() { return nullptr; }
namespace inf {
std::string dirid_path(long) { return ""; }
} // namespace inf
} // namespace winsim

namespace {
[[noreturn]] void fail(const char *what) {
    std::fprintf(stderr, "invariant: %s\n", what);
    std::abort();
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    using namespace winsim::inf;
    std::string text(reinterpret_cast<const char *>(data), size);
    File f;
    unsigned line = 0;
    DWORD e = parse(text, &f, &line);
    if (e) {
        if (!f.sections.empty()) fail("a refused file kept sections");
        if (line == 0 && e != ERROR_NOT_ENOUGH_MEMORY) fail("an error without its line");
        return 0;
    }
    size_t lines = 1;
    for (size_t i = 0; i < text.size(); i++) // CR, LF and CR LF each end a line
        lines += text[i] == '\n' || (text[i] == '\r' && (i + 1 == text.size() || text[i + 1] != '\n'));
    for (auto &s : f.sections) {
        if (s.name.size() > kMaxSectionName) fail("a section name over the limit");
        if (f.section(s.name) != &s) fail("a section not found by its own name");
        for (auto &l : s.lines) {
            if (l.number == 0 || l.number > lines + 1) fail("a line number outside the file");
            if (l.fields.size() != l.raw.size()) fail("values and raw values differ in count");
            for (auto &v : l.fields)
                if (v.size() > kMaxField) fail("a value over the limit");
            std::string v;
            if (l.field(l.fields.size() + 1, &v)) fail("a field past the end");
            if ((l.has_key || !l.fields.empty()) && !l.field(0, &v)) fail("no field 0");
        }
    }
    f.version("Signature");
    f.style();
    f.substitute(text.substr(0, 256));
    return 0;
}
