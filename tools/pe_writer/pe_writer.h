// Writes small PE32 images (i386) whose only content is a .rsrc section with
// an RT_VERSION resource.  They stand in for driver and library files: the
// simulator reads their versions, and real Windows or Wine can read the same
// files with GetFileVersionInfoA.  Plain C++17, no platform headers, so the
// Windows build can use it too.
#ifndef QUVA_PE_WRITER_H
#define QUVA_PE_WRITER_H

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace pe_writer {

enum class ImageKind {
    Application, // GUI subsystem .exe
    Library,     // DLL
    Driver       // native subsystem kernel driver (.sys)
};

struct VersionResource {
    uint16_t file_version[4] = {1, 0, 0, 0};
    uint16_t product_version[4] = {1, 0, 0, 0};
    uint32_t file_flags = 0;
    uint32_t file_os = 0x00040004; // VOS_NT_WINDOWS32
    uint32_t file_type = 1;        // VFT_APP
    uint32_t file_subtype = 0;
    // StringFileInfo entries in order, UTF-8 (bytes that are not valid
    // UTF-8 are taken as Latin-1).
    std::vector<std::pair<std::string, std::string>> strings;
    // VarFileInfo\Translation: language and code page.
    uint16_t language = 0x0409;
    uint16_t codepage = 1252;
    // Key of the string table; "" means the language with code page 1200
    // ("040904B0"), since the table holds UTF-16 text whatever Translation says.
    std::string string_table;
};

struct ImageOptions {
    ImageKind kind = ImageKind::Application;
    bool with_version = true;
    VersionResource version;
};

// The VS_VERSIONINFO block alone, as it sits in the resource section.
std::vector<uint8_t> version_block(const VersionResource &v);

// A complete image file.
std::vector<uint8_t> write_image(const ImageOptions &options);

// Parses "1.18.0.57" (dots or commas, missing parts are 0) into four words;
// false on anything else.
bool parse_version(const std::string &text, uint16_t out[4]);

// The usual file type and subtype for an image kind (VFT_APP, VFT_DLL,
// VFT_DRV/VFT2_DRV_SYSTEM).
void default_file_type(ImageKind kind, uint32_t *type, uint32_t *subtype);

} // namespace pe_writer

#endif
