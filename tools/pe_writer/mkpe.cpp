// mkpe: writes a small PE image carrying a version resource, for driver and
// library fixtures.
//   mkpe OUT --version 1.18.0.57 [--product 1.18.0.57] [--string Key=Value]...
//            [--no-version] [--dll|--driver] [--type N] [--subtype N]
//            [--language 0409] [--codepage 1252] [--table 040904B0]
#include "pe_writer.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

namespace {

int usage(const char *why) {
    std::fprintf(stderr,
                 "mkpe: %s\n"
                 "usage: mkpe OUT --version A.B.C.D [--product A.B.C.D] [--string Key=Value]...\n"
                 "            [--no-version] [--dll|--driver] [--type N] [--subtype N]\n"
                 "            [--language HEX] [--codepage N] [--table KEY]\n",
                 why);
    return 2;
}

bool number(const char *text, int base, unsigned long max, unsigned long *out) {
    if (!text || !*text) return false;
    char *end = nullptr;
    unsigned long v = std::strtoul(text, &end, base);
    if (*end || v > max) return false;
    *out = v;
    return true;
}

} // namespace

int main(int argc, char **argv) {
    pe_writer::ImageOptions o;
    std::string out;
    bool have_version = false, have_product = false, have_type = false, have_subtype = false;
    unsigned long type = 0, subtype = 0;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        const char *next = i + 1 < argc ? argv[i + 1] : nullptr;
        if (a == "--version" || a == "--product") {
            if (!next) return usage("missing version after --version/--product");
            uint16_t *dst = a == "--version" ? o.version.file_version : o.version.product_version;
            if (!pe_writer::parse_version(next, dst)) return usage("bad version number");
            (a == "--version" ? have_version : have_product) = true;
            ++i;
        } else if (a == "--string") {
            if (!next) return usage("missing Key=Value after --string");
            std::string kv = next;
            size_t eq = kv.find('=');
            if (eq == std::string::npos || eq == 0) return usage("--string wants Key=Value");
            o.version.strings.emplace_back(kv.substr(0, eq), kv.substr(eq + 1));
            ++i;
        } else if (a == "--no-version") {
            o.with_version = false;
        } else if (a == "--dll") {
            o.kind = pe_writer::ImageKind::Library;
        } else if (a == "--driver") {
            o.kind = pe_writer::ImageKind::Driver;
        } else if (a == "--type" || a == "--subtype") {
            unsigned long v;
            if (!number(next, 0, 0xFFFFFFFFul, &v)) return usage("bad file type");
            (a == "--type" ? type : subtype) = v;
            (a == "--type" ? have_type : have_subtype) = true;
            ++i;
        } else if (a == "--language") {
            unsigned long v;
            if (!number(next, 16, 0xFFFF, &v)) return usage("bad language (hex, e.g. 0409)");
            o.version.language = (uint16_t)v;
            ++i;
        } else if (a == "--codepage") {
            unsigned long v;
            if (!number(next, 10, 0xFFFF, &v)) return usage("bad code page");
            o.version.codepage = (uint16_t)v;
            ++i;
        } else if (a == "--table") {
            if (!next || !*next) return usage("missing key after --table");
            o.version.string_table = next;
            ++i;
        } else if (!a.empty() && a[0] == '-') {
            return usage(("unknown option " + a).c_str());
        } else if (out.empty()) {
            out = a;
        } else {
            return usage("more than one output file");
        }
    }
    if (out.empty()) return usage("no output file");
    if (o.with_version && !have_version) return usage("--version is required (or --no-version)");
    if (!have_product)
        std::memcpy(o.version.product_version, o.version.file_version, sizeof o.version.file_version);
    uint32_t t, s;
    pe_writer::default_file_type(o.kind, &t, &s);
    o.version.file_type = have_type ? (uint32_t)type : t;
    o.version.file_subtype = have_subtype ? (uint32_t)subtype : s;

    std::vector<uint8_t> image = pe_writer::write_image(o);
    std::ofstream f(out, std::ios::binary | std::ios::trunc);
    f.write(reinterpret_cast<const char *>(image.data()), (std::streamsize)image.size());
    f.close();
    if (!f) {
        std::fprintf(stderr, "mkpe: cannot write %s\n", out.c_str());
        return 1;
    }
    return 0;
}
