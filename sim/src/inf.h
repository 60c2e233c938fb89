// The INF engine: parsed INF text and the install-section runner, for the
// SetupAPI INF functions (infapi.cpp), the rundll InstallHinfSection hosts
// and the Plug and Play installer.
#ifndef WINSIM_INF_H
#define WINSIM_INF_H

#include "core.h"

#include <map>
#include <memory>
#include <string>
#include <vector>

namespace winsim {
namespace inf {

// Guards against hostile files: bigger files are refused, longer fields are
// a syntax error (Windows' own string limit is 4096 characters).
constexpr size_t kMaxFileBytes = 4u << 20;
constexpr size_t kMaxLines = 200000;
constexpr size_t kMaxField = 4096;
constexpr size_t kMaxSectionName = 255;

struct Line {
    bool has_key = false;
    std::string key;                 // substituted, quotes removed ("" without '=')
    std::vector<std::string> fields; // the values after '=' (or the whole line), substituted
    std::vector<std::string> raw;    // the same before %key% substitution
    unsigned number = 0;             // 1-based line of the file where it starts
    // SetupGetStringField's numbering: 0 is the key (the first field when
    // the line has none), 1.. the values.  False when out of range.
    bool field(size_t index, std::string *out) const;
};

struct Section {
    std::string name; // as first written
    unsigned number = 0;
    std::vector<Line> lines; // sections named twice are merged in file order
};

struct File {
    std::string path;    // Windows path it came from ("" for text)
    std::string text;    // the bytes as read
    std::vector<Section> sections;
    std::map<std::string, std::string> strings; // [Strings], upper-cased keys

    // Case-insensitive; nullptr when absent.
    const Section *section(const std::string &name) const;
    // A [Version] value, substituted ("" when absent).
    std::string version(const std::string &key) const;
    bool has_version(const std::string &key) const;
    // INF_STYLE_WIN4 when [Version] has a known Signature, else INF_STYLE_OLDNT.
    DWORD style() const;
    // The directory the INF was read from ("" for text).
    std::string dir() const;
    // %key% substitution against [Strings] and, when a machine is current,
    // the directory ids (%10%, %11%, ...); an undefined key stays as
    // written, "%%" is one '%'.
    std::string substitute(const std::string &s) const;
};

// Parses INF text.  0, or an error (ERROR_EXPECTED_SECTION_NAME,
// ERROR_BAD_SECTION_NAME_LINE, ERROR_SECTION_NAME_TOO_LONG,
// ERROR_GENERAL_SYNTAX, ERROR_NOT_ENOUGH_MEMORY for an oversized file) with
// the 1-based line of the fault in *error_line.
DWORD parse(const std::string &text, File *out, unsigned *error_line = nullptr);
// An INF number: "0x1F" or decimal, optionally signed, within 32 bits.
bool parse_number(const std::string &s, long long *v);
// Reads and parses a file of the simulated disk.  A name without a path is
// looked for in the Windows INF directory.  ERROR_FILE_NOT_FOUND,
// ERROR_PATH_NOT_FOUND or a parse error.
DWORD load(const std::string &win_path, File *out, unsigned *error_line = nullptr);
// Where load() looks for a name.
std::string locate(const std::string &name);

// The [Version] fields most users want.
struct VersionInfo {
    std::string signature, class_name, class_guid, provider, driver_ver, catalog_file;
};
VersionInfo version_info(const File &f);

// One model line of a [Manufacturer]'s models section.
struct Model {
    std::string manufacturer;   // the [Manufacturer] line's key, substituted
    std::string models_section; // actual section read ("Models.NTx86", ...)
    std::string description;    // field 0
    std::string install_section;
    std::string hardware_id;
    std::vector<std::string> compatible_ids;
};
// Every model in file order.  A manufacturer line "Mfg = Models, NTx86, NT"
// reads "Models.NTx86", else "Models.NT", else "Models" (on NT), 9x plain.
std::vector<Model> models(const File &f, bool nt);

// The decorated install section Windows would run: "<s>.NTx86", "<s>.NT"
// then "<s>" on NT; "<s>" on 9x.  "" when none exists.
std::string actual_section(const File &f, const std::string &section, bool nt);

// Directory of a DIRID on the current machine ("" when unknown).
std::string dirid_path(long dirid);

struct InstallOptions {
    // Where the section's files come from: this directory when given, else the INF's.
    std::string source_dir;
    // The key "HKR" names ("HKLM\\SYSTEM\\...\\Class\\{guid}\\0000"); AddReg
    // or DelReg lines with HKR fail the install when empty.
    std::string hkr;
    // Run "<section>.Services" as well (AddService / DelService; NT only).
    bool services = true;
    // Decorate the name as actual_section() does.
    bool decorate = true;
    // A Plug and Play install after the package's own: a file whose source
    // is gone but that is already in place is kept.
    bool keep_installed_files = false;
};

struct InstallResult {
    DWORD error = 0;                         // 0 or the first Win32 error
    std::string section;                     // actual section run
    std::vector<std::string> files_copied;   // destination paths
    std::vector<std::string> files_deleted;
    std::vector<std::string> services_added; // in order
    std::string associated_service;          // AddService with SPSVCINST_ASSOCSERVICE
    bool reboot = false;                     // a "Reboot"/"Restart" directive was seen
};

// Runs an install section: CopyFiles, DelFiles, AddReg, DelReg and the
// section's .Services.  Call without big_lock() held.
InstallResult install_section(const File &f, const std::string &section, const InstallOptions &options = {});

// Sets up the rundll hosts on the current machine (done for new machines).
void install_hosts();

} // namespace inf
} // namespace winsim

#endif
