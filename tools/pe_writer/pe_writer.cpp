// PE32 image writer: headers, one .rsrc section, and the VS_VERSIONINFO tree
// laid out the way the resource compiler lays it out (UTF-16 keys, 32-bit
// alignment relative to the start of the block).
#include "pe_writer.h"

#include <cstddef>

namespace pe_writer {

namespace {

using Bytes = std::vector<uint8_t>;

void put16(Bytes &b, uint16_t v) {
    b.push_back((uint8_t)(v & 0xFF));
    b.push_back((uint8_t)(v >> 8));
}
void put32(Bytes &b, uint32_t v) {
    for (int i = 0; i < 4; ++i) b.push_back((uint8_t)((v >> (8 * i)) & 0xFF));
}
void set16(Bytes &b, size_t at, uint16_t v) {
    b[at] = (uint8_t)(v & 0xFF);
    b[at + 1] = (uint8_t)(v >> 8);
}
void set32(Bytes &b, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) b[at + i] = (uint8_t)((v >> (8 * i)) & 0xFF);
}
void pad_to(Bytes &b, size_t alignment) {
    while (b.size() % alignment) b.push_back(0);
}
uint32_t align_up(uint32_t v, uint32_t a) { return (v + a - 1) / a * a; }

// UTF-8 to UTF-16; a byte that does not start a valid sequence stands for
// itself (Latin-1), so ANSI text passed by mistake still comes out readable.
std::u16string widen(const std::string &s) {
    std::u16string out;
    size_t i = 0, n = s.size();
    while (i < n) {
        unsigned char c = (unsigned char)s[i];
        uint32_t cp = c;
        size_t len = 1;
        if (c >= 0xC2 && c <= 0xF4) {
            size_t need = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : 2;
            if (i + need <= n) {
                uint32_t v = c & (need == 2 ? 0x1F : need == 3 ? 0x0F : 0x07);
                bool ok = true;
                for (size_t k = 1; k < need; ++k) {
                    unsigned char d = (unsigned char)s[i + k];
                    if ((d & 0xC0) != 0x80) {
                        ok = false;
                        break;
                    }
                    v = (v << 6) | (d & 0x3F);
                }
                const uint32_t least[5] = {0, 0, 0x80, 0x800, 0x10000};
                if (ok && v >= least[need] && v <= 0x10FFFF && !(v >= 0xD800 && v <= 0xDFFF)) {
                    cp = v;
                    len = need;
                }
            }
        }
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out.push_back((char16_t)(0xD800 + (cp >> 10)));
            out.push_back((char16_t)(0xDC00 + (cp & 0x3FF)));
        } else {
            out.push_back((char16_t)cp);
        }
        i += len;
    }
    return out;
}

struct Node {
    std::u16string key;
    Bytes value;
    uint16_t value_length = 0; // bytes for binary values, characters for text
    uint16_t type = 0;         // 1 text, 0 binary
    std::vector<Node> children;
};

// Each node starts on a 32-bit boundary of the block; wLength covers the
// header, key, value and children but not padding after the last of them.
void emit(const Node &n, Bytes &out) {
    pad_to(out, 4);
    size_t start = out.size();
    put16(out, 0);
    put16(out, n.value_length);
    put16(out, n.type);
    for (char16_t c : n.key) put16(out, (uint16_t)c);
    put16(out, 0);
    pad_to(out, 4);
    out.insert(out.end(), n.value.begin(), n.value.end());
    for (const Node &c : n.children) emit(c, out);
    set16(out, start, (uint16_t)(out.size() - start));
}

Node text_node(const std::string &key, const std::string &value) {
    Node n;
    n.key = widen(key);
    n.type = 1;
    std::u16string v = widen(value);
    v.push_back(0);
    n.value_length = (uint16_t)v.size();
    for (char16_t c : v) put16(n.value, (uint16_t)c);
    return n;
}

Node block_node(const std::u16string &key) {
    Node n;
    n.key = key;
    n.type = 1;
    return n;
}

std::string hex4(uint16_t v) {
    static const char digits[] = "0123456789ABCDEF";
    std::string s(4, '0');
    for (int i = 3; i >= 0; --i, v >>= 4) s[i] = digits[v & 0xF];
    return s;
}

// Standard image checksum: 16-bit one's-complement style sum of the file
// with the checksum field skipped, plus the file length.
uint32_t image_checksum(const Bytes &b, size_t checksum_at) {
    uint64_t sum = 0;
    for (size_t i = 0; i < b.size(); i += 2) {
        if (i == checksum_at || i == checksum_at + 2) continue;
        uint32_t w = b[i] | (i + 1 < b.size() ? (uint32_t)b[i + 1] << 8 : 0);
        sum += w;
        sum = (sum & 0xFFFF) + (sum >> 16);
    }
    sum = (sum & 0xFFFF) + (sum >> 16);
    return (uint32_t)(sum + b.size());
}

const uint32_t k_file_align = 0x200;
const uint32_t k_section_align = 0x1000;
const uint32_t k_rsrc_rva = 0x1000;
const size_t k_pe_offset = 0x80;
const size_t k_optional_offset = k_pe_offset + 4 + 20;
const size_t k_optional_size = 224;
const size_t k_sections_offset = k_optional_offset + k_optional_size;

void put_directory_table(Bytes &b, uint16_t id_entries) {
    put32(b, 0); // Characteristics
    put32(b, 0); // TimeDateStamp
    put16(b, 0); // MajorVersion
    put16(b, 0); // MinorVersion
    put16(b, 0); // NumberOfNamedEntries
    put16(b, id_entries);
}

Bytes resource_section(const ImageOptions &o) {
    Bytes r;
    if (!o.with_version) {
        put_directory_table(r, 0);
        return r;
    }
    // root -> RT_VERSION -> VS_VERSION_INFO (1) -> language -> data entry
    put_directory_table(r, 1);
    put32(r, 16);
    put32(r, 0x80000000u | 0x18);
    put_directory_table(r, 1);
    put32(r, 1);
    put32(r, 0x80000000u | 0x30);
    put_directory_table(r, 1);
    put32(r, o.version.language);
    put32(r, 0x48);
    Bytes block = version_block(o.version);
    const uint32_t data_at = 0x58;
    put32(r, k_rsrc_rva + data_at);
    put32(r, (uint32_t)block.size());
    put32(r, 0); // CodePage
    put32(r, 0); // Reserved
    r.resize(data_at, 0);
    r.insert(r.end(), block.begin(), block.end());
    pad_to(r, 4);
    return r;
}

} // namespace

std::vector<uint8_t> version_block(const VersionResource &v) {
    Node root;
    root.key = u"VS_VERSION_INFO";
    root.type = 0;
    root.value_length = 52;
    auto ms = [](const uint16_t w[4]) { return ((uint32_t)w[0] << 16) | w[1]; };
    auto ls = [](const uint16_t w[4]) { return ((uint32_t)w[2] << 16) | w[3]; };
    put32(root.value, 0xFEEF04BDu); // dwSignature
    put32(root.value, 0x00010000u); // dwStrucVersion
    put32(root.value, ms(v.file_version));
    put32(root.value, ls(v.file_version));
    put32(root.value, ms(v.product_version));
    put32(root.value, ls(v.product_version));
    put32(root.value, 0x3F); // dwFileFlagsMask
    put32(root.value, v.file_flags);
    put32(root.value, v.file_os);
    put32(root.value, v.file_type);
    put32(root.value, v.file_subtype);
    put32(root.value, 0); // dwFileDateMS
    put32(root.value, 0); // dwFileDateLS

    if (!v.strings.empty()) {
        Node sfi = block_node(u"StringFileInfo");
        Node table = block_node(widen(v.string_table.empty() ? hex4(v.language) + "04B0" : v.string_table));
        for (auto &kv : v.strings) table.children.push_back(text_node(kv.first, kv.second));
        sfi.children.push_back(std::move(table));
        root.children.push_back(std::move(sfi));
    }
    Node vfi = block_node(u"VarFileInfo");
    Node translation;
    translation.key = u"Translation";
    translation.type = 0;
    translation.value_length = 4;
    put16(translation.value, v.language);
    put16(translation.value, v.codepage);
    vfi.children.push_back(std::move(translation));
    root.children.push_back(std::move(vfi));

    Bytes out;
    emit(root, out);
    return out;
}

std::vector<uint8_t> write_image(const ImageOptions &o) {
    Bytes rsrc = resource_section(o);
    uint32_t raw_size = align_up((uint32_t)rsrc.size(), k_file_align);
    uint32_t headers_size = k_file_align;

    Bytes b;
    // DOS header and a stub that just exits.
    put16(b, 0x5A4D); // "MZ"
    put16(b, 0x90);   // e_cblp
    put16(b, 3);      // e_cp
    put16(b, 0);      // e_crlc
    put16(b, 4);      // e_cparhdr
    put16(b, 0);      // e_minalloc
    put16(b, 0xFFFF); // e_maxalloc
    put16(b, 0);      // e_ss
    put16(b, 0xB8);   // e_sp
    put16(b, 0);      // e_csum
    put16(b, 0);      // e_ip
    put16(b, 0);      // e_cs
    put16(b, 0x40);   // e_lfarlc
    put16(b, 0);      // e_ovno
    b.resize(0x3C, 0);
    put32(b, (uint32_t)k_pe_offset); // e_lfanew
    const uint8_t stub[] = {0xB8, 0x01, 0x4C, 0xCD, 0x21}; // mov ax,4C01h; int 21h
    b.insert(b.end(), stub, stub + sizeof stub);
    b.resize(k_pe_offset, 0);

    // PE signature and file header.
    put32(b, 0x00004550); // "PE\0\0"
    uint16_t characteristics = 0x0002 | 0x0004 | 0x0008 | 0x0100; // executable, no line numbers/symbols, 32-bit
    if (o.kind == ImageKind::Library) characteristics |= 0x2000;
    if (o.kind == ImageKind::Application) characteristics |= 0x0001; // no relocations
    put16(b, 0x014C);                     // Machine: i386
    put16(b, 1);                          // NumberOfSections
    put32(b, 0);                          // TimeDateStamp
    put32(b, 0);                          // PointerToSymbolTable
    put32(b, 0);                          // NumberOfSymbols
    put16(b, (uint16_t)k_optional_size);  // SizeOfOptionalHeader
    put16(b, characteristics);

    // Optional header (PE32).
    uint32_t image_base = o.kind == ImageKind::Library ? 0x10000000u
                          : o.kind == ImageKind::Driver ? 0x00010000u
                                                        : 0x00400000u;
    put16(b, 0x010B);
    b.push_back(6); // linker version 6.0
    b.push_back(0);
    put32(b, 0);          // SizeOfCode
    put32(b, raw_size);   // SizeOfInitializedData
    put32(b, 0);          // SizeOfUninitializedData
    put32(b, 0);          // AddressOfEntryPoint
    put32(b, k_rsrc_rva); // BaseOfCode
    put32(b, k_rsrc_rva); // BaseOfData
    put32(b, image_base);
    put32(b, k_section_align);
    put32(b, k_file_align);
    put16(b, 4); // OS version 4.0
    put16(b, 0);
    put16(b, 0); // image version
    put16(b, 0);
    put16(b, 4); // subsystem version 4.0
    put16(b, 0);
    put32(b, 0); // Win32VersionValue
    put32(b, k_rsrc_rva + align_up(rsrc.empty() ? 1 : (uint32_t)rsrc.size(), k_section_align)); // SizeOfImage
    put32(b, headers_size);
    size_t checksum_at = b.size();
    put32(b, 0);                                             // CheckSum, filled in below
    put16(b, o.kind == ImageKind::Driver ? 1 : 2);           // native / Windows GUI
    put16(b, 0);                                             // DllCharacteristics
    put32(b, o.kind == ImageKind::Driver ? 0x40000 : 0x100000); // stack reserve
    put32(b, 0x1000);
    put32(b, 0x100000); // heap reserve
    put32(b, 0x1000);
    put32(b, 0);  // LoaderFlags
    put32(b, 16); // NumberOfRvaAndSizes
    for (int i = 0; i < 16; ++i) {
        if (i == 2) {
            put32(b, k_rsrc_rva);
            put32(b, (uint32_t)rsrc.size());
        } else {
            put32(b, 0);
            put32(b, 0);
        }
    }

    // Section table: .rsrc only.
    const char name[8] = {'.', 'r', 's', 'r', 'c', 0, 0, 0};
    b.insert(b.end(), name, name + 8);
    put32(b, (uint32_t)rsrc.size()); // VirtualSize
    put32(b, k_rsrc_rva);
    put32(b, raw_size);
    put32(b, headers_size); // PointerToRawData
    put32(b, 0);
    put32(b, 0);
    put16(b, 0);
    put16(b, 0);
    put32(b, 0x40000040u); // initialized data, readable
    b.resize(headers_size, 0);

    b.insert(b.end(), rsrc.begin(), rsrc.end());
    b.resize(headers_size + raw_size, 0);
    set32(b, checksum_at, image_checksum(b, checksum_at));
    return b;
}

bool parse_version(const std::string &text, uint16_t out[4]) {
    uint16_t v[4] = {0, 0, 0, 0};
    size_t part = 0, i = 0;
    if (text.empty()) return false;
    while (true) {
        if (i >= text.size() || text[i] < '0' || text[i] > '9') return false;
        uint32_t n = 0;
        while (i < text.size() && text[i] >= '0' && text[i] <= '9') {
            n = n * 10 + (uint32_t)(text[i] - '0');
            if (n > 0xFFFF) return false;
            ++i;
        }
        v[part++] = (uint16_t)n;
        if (i == text.size()) break;
        if ((text[i] != '.' && text[i] != ',') || part == 4) return false;
        ++i;
    }
    for (int k = 0; k < 4; ++k) out[k] = v[k];
    return true;
}

void default_file_type(ImageKind kind, uint32_t *type, uint32_t *subtype) {
    switch (kind) {
    case ImageKind::Library:
        *type = 2; // VFT_DLL
        *subtype = 0;
        break;
    case ImageKind::Driver:
        *type = 3;    // VFT_DRV
        *subtype = 7; // VFT2_DRV_SYSTEM
        break;
    default:
        *type = 1; // VFT_APP
        *subtype = 0;
        break;
    }
}

} // namespace pe_writer
