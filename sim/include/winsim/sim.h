// Control side of the simulated Windows machine: what tests and tools use to
// build a machine, look inside it, inject faults and check for leaked handles.
// The kit's own code never includes this header; it sees only the Win32 API.
#ifndef WINSIM_SIM_H
#define WINSIM_SIM_H

#include <windows.h>

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace winsim {

// ---------------------------------------------------------------- profiles

enum class Os { Win95, Win98, WinMe, Nt4, Win2000, WinXp, Win2003, Vista };

struct Profile {
    Os os;
    const char *name;        // short name used on the command line: "95", "98", "me", "nt4", "2000", "xp", "2003", "vista"
    const char *title;       // "Windows XP"
    DWORD platform_id;       // VER_PLATFORM_WIN32_WINDOWS or VER_PLATFORM_WIN32_NT
    DWORD major, minor;
    DWORD build_number;      // dwBuildNumber as GetVersionExA reports it (9x: version in the high word)
    const char *csd_version; // szCSDVersion
    const char *windows_dir; // "C:\\WINDOWS"
    const char *system_dir;  // "C:\\WINDOWS\\SYSTEM32"
    bool nt() const { return platform_id == VER_PLATFORM_WIN32_NT; }
};

const Profile &profile_of(Os os);
// Looks a profile up by its short name or title ("xp", "Windows XP"); nullptr if none.
const Profile *find_profile(const std::string &name);
const std::vector<Os> &all_oses();

// ----------------------------------------------------------------- machine

// One simulated Windows machine.  Creating or loading one makes it the
// current machine, which every Win32 call of the process works on; destroying
// it leaves the process without a machine (Win32 calls then abort).
class Machine {
public:
    // A new machine of the given Windows version in `dir` (created if absent;
    // must not already hold a machine).  Lays out drive C: and seeds the registry.
    static std::unique_ptr<Machine> create(const std::string &dir, Os os);
    // A machine saved earlier with save().
    static std::unique_ptr<Machine> load(const std::string &dir);
    // A new machine in a fresh temporary directory, removed again on destruction.
    static std::unique_ptr<Machine> temporary(Os os);
    ~Machine();
    Machine(const Machine &) = delete;
    Machine &operator=(const Machine &) = delete;

    // Writes machine.ini and registry.reg into the machine directory.
    void save();

    const Profile &profile() const;
    const std::string &dir() const;
    // Host path where a Windows path of drive C: lives ("" when it is not on C:).
    std::string host_path(const std::string &win_path) const;

    // The logged-on user: administrators may write HKLM and control services.
    void set_admin(bool admin);
    bool admin() const;

    // Process image ("C:\\APP\\APP.EXE" by default) and command line.
    void set_process_image(const std::string &win_path);
    void set_command_line(const std::string &cmdline);
    void set_environment(const std::string &name, const std::string *value);

    struct Impl;
    Impl *impl() const { return impl_.get(); }

private:
    explicit Machine(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> impl_;
};

// The current machine (nullptr when none).
Machine *current_machine();

// ---------------------------------------------------------------- registry

namespace reg {
// REGEDIT4 text of a key and everything below it ("" or "HKEY_LOCAL_MACHINE\\..."
// for a subtree; "" exports every hive, HKEY_CLASSES_ROOT only as part of
// HKEY_LOCAL_MACHINE).  Keys in enumeration order; just the header when the
// key does not exist.
std::string export_text(const std::string &key = "");
// Applies REGEDIT4 text ([key], [-key], "name"=..., "name"=-); false with a
// message naming the line on a syntax error (nothing is applied then).
// Writes as the system would: access rights and deny_write do not apply.
bool import_text(const std::string &text, std::string *error = nullptr);
// Direct inspection helpers for tests (paths like "HKLM\\Software\\X"; the
// hive in full or as HKLM, HKCU, HKU, HKCR, HKCC).  Name "" is the default value.
bool key_exists(const std::string &path);
bool value(const std::string &path, const std::string &name, DWORD *type, std::vector<BYTE> *data);
// Denies write access (create subkey, set and delete values, delete) on a key
// and everything below it, as an ACL would; false to lift it again.
void deny_write(const std::string &path, bool deny = true);
} // namespace reg

// -------------------------------------------------------------------- disk

namespace disk {
// Writes a file (creating the directories) at a Windows path of drive C:.
bool write_file(const std::string &win_path, const std::vector<BYTE> &bytes);
bool write_text(const std::string &win_path, const std::string &text);
bool read_file(const std::string &win_path, std::vector<BYTE> *bytes);
bool exists(const std::string &win_path);
bool make_dirs(const std::string &win_path);
bool remove(const std::string &win_path);
// Places an image of one of our shared libraries (QUVAB2, QUVADI, QUVAUI, ...)
// at a Windows path, so that LoadLibraryA finds it there.
bool install_library(const std::string &win_path, const std::string &library);
// Makes the disk report a full disk for every write from now on (or not).
void set_disk_full(bool full);
// File attributes as GetFileAttributesA reports them (INVALID_FILE_ATTRIBUTES
// when missing), and setting them behind the program's back.
DWORD attributes(const std::string &win_path);
bool set_attributes(const std::string &win_path, DWORD attributes);
} // namespace disk

// -------------------------------------------------------------- PE images

namespace pe {
struct VersionInfo {
    WORD file_version[4] = {1, 0, 0, 0};
    WORD product_version[4] = {1, 0, 0, 0};
    DWORD file_type = VFT_DRV;
    DWORD file_subtype = VFT2_DRV_SYSTEM;
    // StringFileInfo entries (CompanyName, FileDescription, FileVersion, ...)
    std::vector<std::pair<std::string, std::string>> strings;
    WORD language = 0x0409, codepage = 1252; // VarFileInfo\Translation
    // Key of the string table; "" gives the language with code page 1200
    // ("040904B0"), the usual key whatever Translation names.
    std::string string_table;
};
// A small but well-formed PE image (i386, one .rsrc section) carrying an
// RT_VERSION resource.  `with_version` false gives an image with no version.
// Not a DLL and file_type VFT_DRV: a native-subsystem driver image.
std::vector<BYTE> make_image(const VersionInfo &info, bool with_version = true, bool dll = false);
} // namespace pe

// ----------------------------------------------------------------- modules

namespace modules {
// Makes GetModuleFileNameA answer `win_path` for a loaded module, e.g. a name
// without a directory or one longer than MAX_PATH, as odd loaders can give.
bool set_file_name(HMODULE module, const std::string &win_path);
// LoadLibraryA references currently held on a module (0 when not loaded).
int references(HMODULE module);
} // namespace modules

// ------------------------------------------------------------------ faults

namespace faults {
// Makes `api` (a Win32 function name such as "RegCreateKeyExA") fail with
// `error`: after `skip` successful calls, for `times` calls (-1: always).
void fail(const std::string &api, DWORD error, int times = 1, int skip = 0);
void clear();
// How many times an armed fault has fired so far.
int fired(const std::string &api);
} // namespace faults

// ----------------------------------------------------------------- handles

enum class HandleKind {
    RegistryKey,
    File,
    FindSearch,
    Module,
    Thread,
    Event,
    Process,
    ServiceManager,
    Service,
    DeviceInfoSet,
    ScardContext,
    ScardHandle,
    Window,
    Other,
    Count_
};
const char *handle_kind_name(HandleKind kind);

namespace handles {
using Counts = std::map<HandleKind, long>;
// Open handles of each kind right now.
Counts open();
// Human-readable list of what is open now beyond `before` ("" when nothing).
std::string leaks_since(const Counts &before);
} // namespace handles

// ------------------------------------------------------------------- clock

namespace clock {
// Virtual milliseconds since the machine started (what GetTickCount shows).
uint64_t now_ms();
// Lets virtual time pass for the calling thread, like Sleep.
void advance(DWORD ms);
// Number of simulated threads alive (the calling thread included).
int live_threads();
} // namespace clock

} // namespace winsim

#endif
