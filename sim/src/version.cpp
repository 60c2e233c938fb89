// Version.dll: RT_VERSION resources read from the .rsrc section of PE files
// on the simulated disk.  The files may be anything, so every offset read
// from them is checked against what is there.
#include "disk.h"

#include <pe_writer.h>

#include <algorithm>
#include <cctype>
#include <cstring>

namespace winsim {

namespace {

WORD rd16(const BYTE *b) { return (WORD)(b[0] | (b[1] << 8)); }
DWORD rd32(const BYTE *b) { return (DWORD)b[0] | ((DWORD)b[1] << 8) | ((DWORD)b[2] << 16) | ((DWORD)b[3] << 24); }

// A byte range of the file, reads refused outside it.
struct Span {
    const BYTE *data = nullptr;
    size_t size = 0;
    bool u16(size_t at, WORD *v) const {
        if (at > size || size - at < 2) return false;
        *v = rd16(data + at);
        return true;
    }
    bool u32(size_t at, DWORD *v) const {
        if (at > size || size - at < 4) return false;
        *v = rd32(data + at);
        return true;
    }
};

struct Section {
    DWORD va, vsize, raw_size, raw_ptr;
};

// File range behind an RVA, cut to the section's raw data and the file end.
bool map_rva(const std::vector<Section> &sections, size_t file_size, DWORD rva, size_t *offset, size_t *avail) {
    for (auto &s : sections) {
        if (rva < s.va) continue;
        DWORD delta = rva - s.va;
        if (delta >= s.raw_size || delta >= (s.vsize ? s.vsize : s.raw_size)) continue;
        uint64_t off = (uint64_t)s.raw_ptr + delta;
        if (off >= file_size) return false;
        uint64_t end = std::min<uint64_t>((uint64_t)s.raw_ptr + s.raw_size, file_size);
        *offset = (size_t)off;
        *avail = (size_t)(end - off);
        return true;
    }
    return false;
}

// Entry `index` of a resource directory: false when the table is not there.
struct DirEntryRef {
    DWORD name, target;
};
bool directory_entries(const Span &rsrc, size_t at, std::vector<DirEntryRef> *out) {
    WORD named, ids;
    if (!rsrc.u16(at + 12, &named) || !rsrc.u16(at + 14, &ids)) return false;
    size_t count = (size_t)named + ids;
    for (size_t i = 0; i < count; ++i) {
        DirEntryRef e;
        if (!rsrc.u32(at + 16 + 8 * i, &e.name) || !rsrc.u32(at + 20 + 8 * i, &e.target)) return false;
        out->push_back(e);
    }
    return true;
}

// Finds the version resource: type 16, its first name, that name's first
// language.  0 and the resource bytes, or the error Windows gives.
DWORD find_version(const std::vector<BYTE> &file, size_t *at, size_t *size) {
    Span f{file.data(), file.size()};
    WORD mz;
    if (!f.u16(0, &mz) || mz != 0x5A4D) return ERROR_RESOURCE_DATA_NOT_FOUND; // not an image at all
    DWORD lfanew, sig;
    if (!f.u32(0x3C, &lfanew) || !f.u32(lfanew, &sig) || sig != 0x00004550) return ERROR_BAD_FORMAT;
    size_t fh = (size_t)lfanew + 4;
    WORD nsec, opt_size, magic;
    if (!f.u16(fh + 2, &nsec) || !f.u16(fh + 16, &opt_size)) return ERROR_BAD_FORMAT;
    size_t opt = fh + 20;
    if (opt + opt_size > file.size() || !f.u16(opt, &magic)) return ERROR_BAD_FORMAT;
    size_t count_at, dirs_at;
    if (magic == 0x10B) {
        count_at = 92;
        dirs_at = 96;
    } else if (magic == 0x20B) {
        count_at = 108;
        dirs_at = 112;
    } else {
        return ERROR_BAD_FORMAT;
    }
    if (opt_size < dirs_at) return ERROR_BAD_FORMAT;
    std::vector<Section> sections;
    size_t sec_at = opt + opt_size;
    for (size_t i = 0; i < nsec; ++i) {
        Section s;
        size_t b = sec_at + 40 * i;
        if (!f.u32(b + 8, &s.vsize) || !f.u32(b + 12, &s.va) || !f.u32(b + 16, &s.raw_size) ||
            !f.u32(b + 20, &s.raw_ptr))
            return ERROR_BAD_FORMAT;
        sections.push_back(s);
    }
    DWORD ndirs, rsrc_rva = 0, rsrc_size = 0;
    f.u32(opt + count_at, &ndirs);
    if (ndirs > 2 && dirs_at + 24 <= opt_size) {
        rsrc_rva = rd32(file.data() + opt + dirs_at + 16);
        rsrc_size = rd32(file.data() + opt + dirs_at + 20);
    }
    if (!rsrc_rva || !rsrc_size) return ERROR_RESOURCE_DATA_NOT_FOUND;
    size_t base, avail;
    if (!map_rva(sections, file.size(), rsrc_rva, &base, &avail)) return ERROR_BAD_FORMAT;
    Span rsrc{file.data() + base, std::min<size_t>(avail, rsrc_size)};

    std::vector<DirEntryRef> types, names, langs;
    if (!directory_entries(rsrc, 0, &types)) return ERROR_BAD_FORMAT;
    const DirEntryRef *type = nullptr;
    for (auto &e : types)
        if (!(e.name & 0x80000000u) && e.name == 16) {
            type = &e;
            break;
        }
    if (!type) return ERROR_RESOURCE_TYPE_NOT_FOUND;
    if (!(type->target & 0x80000000u)) return ERROR_BAD_FORMAT;
    if (!directory_entries(rsrc, type->target & 0x7FFFFFFFu, &names)) return ERROR_BAD_FORMAT;
    if (names.empty()) return ERROR_RESOURCE_NAME_NOT_FOUND;
    if (!(names[0].target & 0x80000000u)) return ERROR_BAD_FORMAT;
    if (!directory_entries(rsrc, names[0].target & 0x7FFFFFFFu, &langs)) return ERROR_BAD_FORMAT;
    if (langs.empty()) return ERROR_RESOURCE_LANG_NOT_FOUND;
    if (langs[0].target & 0x80000000u) return ERROR_BAD_FORMAT;
    DWORD data_rva, data_size;
    if (!rsrc.u32(langs[0].target, &data_rva) || !rsrc.u32(langs[0].target + 4, &data_size))
        return ERROR_BAD_FORMAT;
    size_t data_at, data_avail;
    if (!map_rva(sections, file.size(), data_rva, &data_at, &data_avail) || data_size > data_avail)
        return ERROR_BAD_FORMAT;
    if (data_size < 6) return ERROR_BAD_FORMAT;
    *at = data_at;
    *size = data_size;
    return 0;
}

// ---- the VS_VERSIONINFO tree

size_t align4(size_t v) { return (v + 3) & ~(size_t)3; }

struct Node {
    size_t start = 0, end = 0;
    WORD value_length = 0, type = 0;
    size_t key_at = 0, key_units = 0;
    size_t value_at = 0, value_bytes = 0;
    size_t children_at = 0;
};

// Reads the node at `at`, inside [0, limit) of the block.
bool read_node(const BYTE *b, size_t limit, size_t at, Node *n) {
    if (at > limit || limit - at < 6) return false;
    WORD len = rd16(b + at);
    if (len < 6) return false;
    n->start = at;
    n->end = std::min(limit, at + len);
    n->value_length = rd16(b + at + 2);
    n->type = rd16(b + at + 4);
    n->key_at = at + 6;
    size_t p = n->key_at;
    while (true) {
        if (p + 2 > n->end) return false;
        if (rd16(b + p) == 0) break;
        p += 2;
    }
    n->key_units = (p - n->key_at) / 2;
    n->value_at = align4(p + 2);
    size_t want = n->type == 1 ? (size_t)n->value_length * 2 : n->value_length;
    n->value_bytes = n->value_at >= n->end ? 0 : std::min(want, n->end - n->value_at);
    n->children_at = align4(n->value_at + n->value_bytes);
    return true;
}

bool key_is(const BYTE *b, const Node &n, const std::string &want) {
    if (n.key_units != want.size()) return false;
    for (size_t i = 0; i < want.size(); ++i) {
        WORD c = rd16(b + n.key_at + 2 * i);
        if (c >= 0x80 || std::tolower((int)c) != std::tolower((unsigned char)want[i])) return false;
    }
    return true;
}

// Children of a node, stopping at the first one that does not parse.
template <class F> void each_child(const BYTE *b, const Node &n, F &&f) {
    size_t c = n.children_at;
    while (c < n.end) {
        Node child;
        if (!read_node(b, n.end, c, &child)) break;
        if (!f(child)) return;
        c = align4(c + rd16(b + c));
    }
}

BYTE to_ansi(WORD u) {
    static const struct {
        WORD u;
        BYTE a;
    } k_1252[] = {{0x20AC, 0x80}, {0x201A, 0x82}, {0x0192, 0x83}, {0x201E, 0x84}, {0x2026, 0x85}, {0x2020, 0x86},
                  {0x2021, 0x87}, {0x02C6, 0x88}, {0x2030, 0x89}, {0x0160, 0x8A}, {0x2039, 0x8B}, {0x0152, 0x8C},
                  {0x017D, 0x8E}, {0x2018, 0x91}, {0x2019, 0x92}, {0x201C, 0x93}, {0x201D, 0x94}, {0x2022, 0x95},
                  {0x2013, 0x96}, {0x2014, 0x97}, {0x02DC, 0x98}, {0x2122, 0x99}, {0x0161, 0x9A}, {0x203A, 0x9B},
                  {0x0153, 0x9C}, {0x017E, 0x9E}, {0x0178, 0x9F}};
    if (u < 0x80 || (u >= 0xA0 && u <= 0xFF)) return (BYTE)u;
    for (auto &m : k_1252)
        if (m.u == u) return m.a;
    return '?';
}

// The block handed out by GetFileVersionInfoA: the resource, a marker, then
// one ANSI byte for every UTF-16 unit of the text values (at half their
// offset), so that VerQueryValueA can return ANSI strings from inside it.
const char k_marker[4] = {'F', 'E', '2', 'X'};

void mirror_texts(const BYTE *b, const Node &n, BYTE *mirror, size_t mirror_size, int depth) {
    if (depth > 16) return;
    if (n.type == 1 && n.value_bytes) {
        size_t units = n.value_bytes / 2;
        for (size_t i = 0; i < units && n.value_at / 2 + i + 1 < mirror_size; ++i)
            mirror[n.value_at / 2 + i] = to_ansi(rd16(b + n.value_at + 2 * i));
    }
    each_child(b, n, [&](const Node &c) {
        mirror_texts(b, c, mirror, mirror_size, depth + 1);
        return true;
    });
}

struct Block {
    std::vector<BYTE> bytes;
    size_t resource_length = 0;
};

DWORD load_block(LPCSTR name, Block *out) {
    if (!name) return ERROR_INVALID_PARAMETER;
    std::vector<BYTE> file;
    if (DWORD e = D().read_all(name, &file)) return e;
    size_t at = 0, size = 0;
    if (DWORD e = find_version(file, &at, &size)) return e;
    size_t len = size;
    WORD stated = rd16(file.data() + at);
    if (stated >= 6 && stated < len) len = stated;
    if (len > 0xFFFF) len = 0xFFFF;
    size_t mirror_size = (len + 1) / 2 + 1;
    out->resource_length = len;
    out->bytes.assign(align4(len + sizeof k_marker + mirror_size), 0);
    std::memcpy(out->bytes.data(), file.data() + at, len);
    // The root's length must not promise more than the block holds.
    out->bytes[0] = (BYTE)(len & 0xFF);
    out->bytes[1] = (BYTE)(len >> 8);
    std::memcpy(out->bytes.data() + len, k_marker, sizeof k_marker);
    Node root;
    if (read_node(out->bytes.data(), len, 0, &root))
        mirror_texts(out->bytes.data(), root, out->bytes.data() + len + sizeof k_marker, mirror_size, 0);
    return 0;
}

} // namespace

namespace pe {
std::vector<BYTE> make_image(const VersionInfo &info, bool with_version, bool dll) {
    pe_writer::ImageOptions o;
    o.kind = dll ? pe_writer::ImageKind::Library
             : info.file_type == VFT_DRV ? pe_writer::ImageKind::Driver
                                         : pe_writer::ImageKind::Application;
    o.with_version = with_version;
    for (int i = 0; i < 4; ++i) {
        o.version.file_version[i] = info.file_version[i];
        o.version.product_version[i] = info.product_version[i];
    }
    o.version.file_os = VOS_NT_WINDOWS32;
    o.version.file_type = info.file_type;
    o.version.file_subtype = info.file_subtype;
    o.version.strings = info.strings;
    o.version.language = info.language;
    o.version.codepage = info.codepage;
    o.version.string_table = info.string_table;
    return pe_writer::write_image(o);
}
} // namespace pe

} // namespace winsim

using namespace winsim;

extern "C" DWORD WINAPI GetFileVersionInfoSizeA(LPCSTR name, LPDWORD handle) {
    if (DWORD e = fault("GetFileVersionInfoSizeA")) {
        SetLastError(e);
        return 0;
    }
    if (handle) *handle = 0;
    WINSIM_LOCK();
    Block b;
    if (DWORD e = load_block(name, &b)) {
        SetLastError(e);
        return 0;
    }
    return (DWORD)b.bytes.size();
}

extern "C" BOOL WINAPI GetFileVersionInfoA(LPCSTR name, DWORD, DWORD len, LPVOID data) {
    WINSIM_FAULT_BOOL("GetFileVersionInfoA");
    if (!data) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    WINSIM_LOCK();
    Block b;
    if (DWORD e = load_block(name, &b)) {
        SetLastError(e);
        return FALSE;
    }
    BYTE *out = static_cast<BYTE *>(data);
    if (len >= b.bytes.size()) {
        std::memcpy(out, b.bytes.data(), b.bytes.size());
        return TRUE;
    }
    // A short buffer gets the start of the resource, with the root length
    // cut to what was copied and no ANSI strings, so that VerQueryValueA
    // stays inside it.
    if (len < 6) {
        std::memset(out, 0, len);
        return TRUE;
    }
    size_t copied = std::min<size_t>(b.resource_length, len - 4);
    std::memcpy(out, b.bytes.data(), copied);
    std::memset(out + copied, 0, std::min<size_t>(4, len - copied));
    out[0] = (BYTE)(copied & 0xFF);
    out[1] = (BYTE)(copied >> 8);
    return TRUE;
}

extern "C" BOOL WINAPI VerQueryValueA(LPCVOID block, LPCSTR sub_block, LPVOID *buffer, PUINT length) {
    WINSIM_FAULT_BOOL("VerQueryValueA");
    if (!block || !sub_block || !buffer) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const BYTE *b = static_cast<const BYTE *>(block);
    size_t total = rd16(b);
    Node node;
    if (!read_node(b, total, 0, &node)) {
        SetLastError(ERROR_RESOURCE_TYPE_NOT_FOUND);
        return FALSE;
    }
    std::string path = sub_block;
    size_t i = 0;
    bool root = true;
    while (i < path.size()) {
        if (path[i] == '\\') {
            ++i;
            continue;
        }
        size_t j = path.find('\\', i);
        if (j == std::string::npos) j = path.size();
        std::string part = path.substr(i, j - i);
        i = j;
        bool found = false;
        each_child(b, node, [&](const Node &c) {
            if (!key_is(b, c, part)) return true;
            node = c;
            found = true;
            return false;
        });
        if (!found) {
            SetLastError(ERROR_RESOURCE_TYPE_NOT_FOUND);
            return FALSE;
        }
        root = false;
    }
    if (root) {
        // Callers read a whole VS_FIXEDFILEINFO from here.
        if (node.value_bytes < sizeof(VS_FIXEDFILEINFO)) {
            SetLastError(ERROR_RESOURCE_TYPE_NOT_FOUND);
            return FALSE;
        }
        *buffer = const_cast<BYTE *>(b + node.value_at);
        if (length) *length = (UINT)node.value_bytes;
        return TRUE;
    }
    if (node.type != 1) {
        *buffer = const_cast<BYTE *>(b + node.value_at);
        if (length) *length = (UINT)node.value_bytes;
        return TRUE;
    }
    // Text: the ANSI copy after the resource.
    if (std::memcmp(b + total, k_marker, sizeof k_marker) != 0) {
        SetLastError(ERROR_RESOURCE_TYPE_NOT_FOUND);
        return FALSE;
    }
    const BYTE *mirror = b + total + sizeof k_marker;
    size_t mirror_size = (total + 1) / 2 + 1;
    *buffer = const_cast<BYTE *>(node.value_bytes ? mirror + node.value_at / 2 : mirror + mirror_size - 1);
    if (length) *length = (UINT)(node.value_bytes / 2);
    return TRUE;
}
