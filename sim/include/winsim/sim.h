// Control side of the simulated Windows machine: what tests and tools use to
// build a machine, look inside it, inject faults and check for leaked handles.
// The kit's own code never includes this header; it sees only the Win32 API.
#ifndef WINSIM_SIM_H
#define WINSIM_SIM_H

#include <windows.h>

#include <cstdint>
#include <functional>
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
    Timer,
    InfFile,
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

// ---------------------------------------------------------------- services

// The service control manager (services.cpp).  A service is a key under
// HKLM\SYSTEM\CurrentControlSet\Services with a valid "Type": the registry
// is the service database, so services seeded or removed through the
// registry exist or vanish at once.  What the registry does not hold (state,
// open handles, scripted behaviour) lives in the manager and starts afresh
// with each machine: a loaded machine is one that has just booted, so
// services marked for deletion are gone and boot, system and automatic
// services are running.  No service manager on Windows 9x.
namespace services {
// What a service does when it is controlled, for scenarios.
struct Behaviour {
    DWORD start_pending_ms = 0;   // start-pending this long after StartServiceA (INFINITE: for ever)
    DWORD stop_pending_ms = 0;    // stop-pending this long after a stop control (INFINITE: for ever)
    bool stoppable = true;        // false: the stop control is refused (ERROR_INVALID_SERVICE_CONTROL)
    DWORD start_error = 0;        // StartServiceA fails with this
    DWORD exit_code = 0;          // dwWin32ExitCode once it has stopped
};
void set_behaviour(const std::string &name, const Behaviour &behaviour);
// Puts a service into `state` now, whatever it was doing.  A pending state
// lasts `ms` of virtual time (INFINITE: until released) and then completes
// (start-pending to running, stop-pending to stopped).
void hold(const std::string &name, DWORD state, DWORD ms = INFINITE);
// Completes a pending state now.
void release(const std::string &name);
// The current state (0 when the service does not exist).
DWORD state(const std::string &name);
// The arguments of the last StartServiceA.
std::vector<std::string> start_arguments(const std::string &name);
// Open handles on a service.
int open_handles(const std::string &name);
struct Info {
    std::string name;          // as the key spells it
    std::string display_name;
    DWORD type = 0, start = 0, error_control = 0;
    std::string image_path, group;
    DWORD state = 0;
    bool marked_for_delete = false;
};
// Every service, in the registry's order.
std::vector<Info> list();
} // namespace services

// --------------------------------------------------------------- processes

// Simulated processes (processes.cpp).  An image file on the simulated disk
// names the program to run; see install_program.
namespace processes {
// A program written for the simulator: runs on the new process's main thread
// with its command line; the result is the exit code (or it calls ExitProcess).
using Program = std::function<DWORD(const std::string &command_line)>;
// Programs are registered for the life of the host process, by name.
void register_program(const std::string &name, Program program);
void unregister_program(const std::string &name);
// Writes an image file at a Windows path that runs program `name`: a
// registered one, or else our shared object NAME.so (next to libwinsim)
// exporting WinMain.  `imports` names the DLLs the image binds at load time:
// the new process looks for each one (its own directory first) before the
// program starts, and ends with STATUS_DLL_NOT_FOUND when one is missing.
bool install_program(const std::string &win_path, const std::string &name,
                     const std::vector<std::string> &imports = {});
// Every process started on this machine, in start order.
struct Run {
    DWORD process_id = 0;
    std::string image, program, command_line;
    uint64_t started_ms = 0, ended_ms = 0;
    bool ended = false;
    DWORD exit_code = STILL_ACTIVE;
};
std::vector<Run> history();
// Starts a command line, waits for the process and closes its handles: the
// exit code, or (DWORD)-1 with the CreateProcessA error in *error.
DWORD run(const std::string &command_line, DWORD *error = nullptr);
} // namespace processes

// -------------------------------------------------------------------- user

// USER (user.cpp): windows and message boxes.  Message boxes are answered at
// once by a scripted user and recorded.
namespace user {
struct ShownBox {
    HWND owner = nullptr;
    std::string caption, text;
    UINT type = 0;
    int answer = 0; // IDOK, IDYES, ...
    DWORD process_id = 0, thread_id = 0;
    uint64_t time_ms = 0;
};
// The answer to boxes whose caption and text contain these parts ("" matches
// anything); the first matching rule wins.  Without one, the default answer;
// without that (0), the box's default button.  An answer the box has no
// button for stops the simulation with a message.
void on_message_box(const std::string &caption_part, const std::string &text_part, int answer);
void set_default_answer(int answer);
// Called on the thread showing each box, before the rules, while the box is
// up (the machine can be looked at); a nonzero result is the answer.
void on_message_box_shown(std::function<int(const ShownBox &box)> hook);
// Drops the rules, the hook and the default answer.
void clear_message_box_rules();
// Every box shown on this machine, oldest first.
std::vector<ShownBox> message_boxes();
void clear_message_boxes();
// A box drawn as text, the pressed button starred.
std::string render(const ShownBox &box);
struct WindowInfo {
    HWND hwnd = nullptr;
    std::string class_name, title;
    bool visible = false;
    HWND parent = nullptr;
    DWORD process_id = 0, thread_id = 0;
    RECT rect{};          // screen coordinates
    bool topmost = false; // in the topmost band
};
// Every window that exists, in creation order.
std::vector<WindowInfo> windows();
// The screen (desktop window, GetDeviceCaps, GetSystemMetrics); 1024x768
// until set, and again on every new machine.
void set_screen_size(int width, int height);
// A visible top-level window with the given screen rectangle, owned by the
// calling thread, for placing dialogs over; destroy it with DestroyWindow.
HWND create_window(const RECT &rect, const std::string &title = "");

// ---- dialogs and the scripted user (dialogs.cpp)
// Dialogs are built from the DIALOG/DIALOGEX templates of the .rc text beside
// a library's image, the same text windres compiles for Windows.
struct ControlInfo {
    int id = 0;
    std::string class_name; // "Button", "Edit", "Static", "ListBox"; an ICON is a "Static"
    DWORD style = 0;
    std::string text;        // as stored (an edit's real characters, not the mask)
    std::string shown;       // as the user sees it (password characters masked)
    bool enabled = true, visible = true, focused = false, is_default = false;
    char password_char = 0;  // 0: plain text
    int limit = 0;           // an edit's text limit (0: the default 30000)
    std::vector<std::string> rows; // a list box's rows, in display order
    int selected = -1;       // a list box's current row
    int range_min = 0, range_max = 0, position = 0; // a progress bar ("msctls_progress32")
    RECT rect{};             // screen coordinates
};
struct DialogInfo {
    HWND hwnd = nullptr;
    int template_id = 0;     // the resource id it was created from
    std::string module;      // the library whose .rc held the template ("QUVAUI")
    std::string caption;
    HWND owner = nullptr;
    RECT rect{};             // screen coordinates
    bool topmost = false;
    std::vector<ControlInfo> controls; // in template order
    const ControlInfo *control(int id) const;
};

// What the person at the screen does with one dialog.  A script runs on a
// simulated thread of its own, started once the dialog has been initialised
// and shown; each action is delivered to the dialog's thread as real input
// would be (characters to the edit, clicks as button notifications) and
// returns after the dialog has handled it.  An action on a dialog that has
// ended, or on a control that is missing, hidden or disabled, does nothing
// and returns false.
class DialogUser {
public:
    explicit DialogUser(HWND dialog) : dialog_(dialog) {}
    HWND hwnd() const { return dialog_; }
    bool alive() const;       // the dialog still exists
    DialogInfo info() const;  // what is on the screen now
    std::string render() const; // info() drawn as text
    // Focuses the edit and types the characters one by one (the edit's
    // limit holds); "\b" is a backspace.
    bool type(int edit_id, const std::string &chars);
    bool clear(int edit_id);  // selects all and deletes it
    bool click(int button_id);
    bool select_row(int list_id, int row);                 // a single click on a row
    bool select_row(int list_id, const std::string &text_part); // the first row containing it
    bool double_click_row(int list_id, int row);
    bool close();             // the caption's close box (IDCANCEL)
    // Waits on the virtual clock; returns early (false) if the dialog ends.
    bool wait_ms(DWORD ms);
    // Waits until `pred(info())` holds or the dialog ends; false on the latter.
    bool wait_until(const std::function<bool(const DialogInfo &)> &pred, DWORD timeout_ms = INFINITE);

private:
    HWND dialog_;
};
using DialogScript = std::function<void(DialogUser &)>;
// The script for dialogs created from this template id (0: any dialog);
// the latest rule for an id wins; a rule is used for every such dialog until
// cleared.  A dialog without a script is left alone (it may end by itself,
// e.g. on a timer).
void on_dialog(int template_id, DialogScript script);
void clear_dialog_rules();
// Every dialog shown on this machine, oldest first: as it was when shown and
// as it was when it ended (result: the EndDialog value; -1 while open).
struct ShownDialog {
    DialogInfo shown, ended;
    INT_PTR result = -1;
};
std::vector<ShownDialog> dialogs();
void clear_dialogs();
// A dialog drawn as text for a person to read.
std::string render(const DialogInfo &dialog);
} // namespace user

// ------------------------------------------------------------------ tokens

// The token driver behind "\\\\.\\QUVADRVR" and the tokens plugged into the
// machine (tokens.cpp).  Plugged tokens, the driver's presence and its version
// answer are kept in the machine directory (tokens.ini) by Machine::save().
} // namespace winsim
namespace tokenmodel {
class Token;
}
namespace winsim {
namespace tokens {
struct TokenSpec {
    std::vector<BYTE> serial;     // 8 bytes; empty: 51 56 00 00 and the token id big-endian
    std::string name;             // up to 32 characters; "" answers 32 zero bytes
    bool short_atr = false;       // the 9-byte ATR instead of the 25-byte one
    std::vector<BYTE> atr;        // any other ATR (1 to 32 bytes); overrides short_atr
    std::vector<BYTE> descriptor; // raw descriptor bytes (up to 64, valid or not); empty: the default
    bool smart_card = true;       // false: no smart-card function (card commands answer 0x03)
    int slot = -1;                // virtual reader index; -1: the lowest one no token occupies
    // The USB device it shows as (2000/XP, 9x): node <hardware_id>, a backslash, the serial in hex;
    // plugged with devices::plug (Plug and Play installs its driver); "" for none.
    std::string hardware_id = "USB\\VID_1F3C&PID_1000";
};
// Plugs a token in and returns the token id the driver gave it (1, 2, ...;
// ids are never reused on a machine).
DWORD plug(const TokenSpec &spec = {});
// Pulls a token out: open handles on it fail from now on; false when unknown.
bool unplug(DWORD id);
std::vector<DWORD> plugged();
// The token itself, for looking inside and injecting errors; nullptr when not plugged.
tokenmodel::Token *token(DWORD id);
// The virtual reader index of a plugged token (-1 when not plugged).
int slot(DWORD id);
// Whether the driver is loaded: without it "\\\\.\\QUVADRVR" does not open
// and there are no virtual readers.  On by default.
void set_driver_present(bool present);
bool driver_present();
// The answer to the version control, any size and value (default 02 01 00 00,
// that is 0x102).  An answer longer than the caller's buffer fails with
// ERROR_MORE_DATA after copying what fits.
void set_version_answer(const std::vector<BYTE> &answer);
// Makes a control code (driver code 0x2204xx or reader code 0x3120xx; either
// names the same control on both paths) fail with `error` after `skip` calls,
// for `times` calls (-1: always).  The error is returned as it is: a Win32
// code from DeviceIoControl, or from SCardControl a Win32 or SCARD_* code.
void fail_control(DWORD code, DWORD error, int times = 1, int skip = 0);
// A token opened by another process: every open answers status 1.
void hold_elsewhere(DWORD id, bool held = true);
// The token is pulled out while it works on the next exchange.
void remove_during_next_exchange(DWORD id);
// Virtual milliseconds each exchange takes (0 by default); the exchange waits
// without any lock, so a timer or another thread may unplug the token meanwhile.
void set_exchange_time(DWORD ms);
// Every control that reached the driver, on either path (the last 4096).
struct Control {
    bool smartcard = false;     // through SCardControl
    DWORD code = 0;             // the driver code (0x220400...), also for reader codes
    std::vector<BYTE> request;  // the request bytes as given
    DWORD answer_size = 0;      // the caller's answer buffer size
    DWORD error = 0;            // 0, or the error returned
    std::vector<BYTE> answer;   // the bytes returned
};
std::vector<Control> log();
void clear_log();
} // namespace tokens

// ---------------------------------------------------------------- smart cards

// The smart-card resource manager (scard.cpp): WINSCARD.DLL, the service,
// the driver's virtual readers and physical readers with foreign cards.
namespace scard {
// Places or removes the WINSCARD.DLL image (system directory on NT, Windows\System
// on 9x).  Present on a new 2000/XP/2003/Vista machine, absent on 95/98/ME/NT 4.0.
void install_library(bool present);
bool library_installed();
// A stopped or absent service: SCardEstablishContext answers SCARD_E_NO_SERVICE,
// calls on existing contexts SCARD_E_SERVICE_STOPPED.  Running by default.
void set_service_running(bool running);
bool service_running();
// Number of virtual readers the driver presents ("Vornel Technologies
// QuvaVirtualReader 0" up).  -1 (the default): as the driver parameters say,
// "NumberOfDevices" (NT, quvaenum key then qvatoken; NT 4.0 usbqvtkn\Parameters)
// or "NumberOfReaders" (98/ME, VXD\QUVAVR9X); 0 when absent or on Windows 95.
// A plugged token shows as a card in the reader of its slot.
void set_virtual_readers(int count);
int virtual_readers();
// A physical reader, optionally holding a foreign card (a small ISO card that
// answers SCardTransmit).  `introduce` also writes its Calais key.
struct ReaderSpec {
    std::string name;
    std::vector<BYTE> atr;  // empty: no card
    DWORD protocols = 1;    // SCARD_PROTOCOL_T0 1, T1 2
    bool introduce = false;
};
bool add_reader(const ReaderSpec &spec); // false when the name is taken
bool remove_reader(const std::string &name);
bool insert_card(const std::string &reader, const std::vector<BYTE> &atr);
bool remove_card(const std::string &reader);
// A reader the resource manager cannot use (SCARD_STATE_UNAVAILABLE), and a
// card that does not answer (SCARD_STATE_MUTE; connects fail with
// SCARD_W_UNRESPONSIVE_CARD).  Both work for virtual readers too.
bool set_unavailable(const std::string &reader, bool unavailable = true);
bool set_mute(const std::string &reader, bool mute = true);
// The names SCardListReadersA would give now, in its order.
std::vector<std::string> reader_names();
// Buffers handed out with SCARD_AUTOALLOCATE and not yet freed.
long outstanding_memory();
} // namespace scard

// The smart-card subsystem's system side (pcsc_system.cpp).
namespace pcsc {
// Writes "<system dir>\SCardSvr.exe", a program that on "REINSTALL" writes
// back the "SCardDrv" and "SCardSvr" service keys (with "Start").
void install_repair_program();
// The two service keys as a healthy NT 5 machine holds them.
void install_service_keys();
// Deletes a service key's "Start" value (a damaged smart-card service).
void remove_start_value(const std::string &service);
// A 98/ME smart-card reader class entry (Class\SmartCardReader\NNNN) with
// this "MatchingDeviceId"; returns its subkey name.
std::string add_class_reader(const std::string &matching_device_id);
} // namespace pcsc

// ---------------------------------------------------------------- devices

// The Plug and Play device database behind SetupAPI (setupapi.cpp).  Devices
// live in the registry where Windows keeps them, so registry walks and the
// SetupAPI view agree:
//   NT: HKLM\SYSTEM\CurrentControlSet\Enum\<enumerator>\<device>\<instance>,
//       setup classes under ...\Control\Class\{guid} (driver subkeys NNNN);
//   9x: HKLM\Enum\<enumerator>\<device>\<instance>, setup classes under
//       HKLM\System\CurrentControlSet\Services\Class\<class name> (NNNN).
// Each instance key holds "HardwareID", "CompatibleIDs" (REG_MULTI_SZ; 9x:
// one REG_SZ list separated by commas), "ClassGUID", "Class", "Service",
// "Driver" ("{guid}\NNNN"; 9x "<class name>\NNNN"), "Mfg", "DeviceDesc" and
// "ConfigFlags".  A device that is plugged in also has a "Control" subkey
// (NT keeps such a key for started devices); without it the device is only
// registered.  Hardware profiles: "CSConfigFlags" under
// ...\Hardware Profiles\NNNN\System\CurrentControlSet\Enum\<instance> (9x:
// HKLM\Config\NNNN\Enum\<instance>), the current profile being
// Control\IDConfigDB "CurrentConfig" (1 by default).  A new machine has no setup class
// keys (not even USB's): a class key comes with the first device of its class.
// The token itself (tokens::plug) and the device node are separate: a tool
// that plugs a token usually does both.
// Side effects kept in step with the rest of the machine:
//   - a device of the SmartCardReader class whose first hardware ID is not
//     the token's ("USB\VID_1F3C&...") nor the enumerator's ("quva\quvaenum",
//     "quvaenum\quvaifd") is a physical reader: plugging it adds an
//     introduced scard reader named by its description, unplugging removes
//     it (its Calais key stays, so the resource manager lists it unavailable);
//   - the "SCardSvr" service entering the running or stopped state sets
//     scard::set_service_running; the token driver service ("qvatoken" on NT
//     5, "usbqvtkn" on NT 4.0) sets tokens::set_driver_present.
namespace devices {
extern const char *const kUsbClass;          // "{36FC9E60-C465-11CF-8056-444553540000}", class "USB"
extern const char *const kSmartCardReaderClass; // "{50DD5230-BA8A-11D1-BF5D-0000F805F530}", "SmartCardReader"
extern const char *const kTokenClass;        // "{4C9A2E71-5B3D-4F80-A6C2-1E7D9B3F5A08}", "Quva"
extern const char *const kOtherClass;        // "{4D36E97E-E325-11CE-BFC1-08002BE10318}", "Unknown"

struct DeviceSpec {
    std::vector<std::string> hardware_ids;   // at least one
    std::vector<std::string> compatible_ids;
    // Full instance ID ("USB\VID_1F3C&PID_1000\5&1F3C1000&0&1"); "" makes
    // one from the first hardware ID (a USB "&REV_xxxx" suffix dropped) and
    // the next free instance number.
    std::string instance_id;
    std::string class_name = "USB";  // a known class name, or any with class_guid
    std::string class_guid;          // "" for the known class of class_name
    std::string service;             // "" writes no "Service"
    bool driver = false;             // true: makes a driver subkey in the class and points "Driver" at it
    std::string mfg, description;    // "" writes no value
    DWORD config_flags = 0;
    bool present = true;
};
struct Device {
    std::string instance_id;
    std::vector<std::string> hardware_ids, compatible_ids;
    std::string class_name, class_guid, service, driver, mfg, description;
    DWORD config_flags = 0;
    bool present = false;
    DWORD profile_flags = 0; // CSConfigFlags in the current hardware profile
};
// Writes a device node (and its class key); returns its instance ID, "" when
// the description is unusable (no hardware ID, unknown class without a GUID).  An
// existing node of that instance ID is rewritten.
std::string add(const DeviceSpec &spec);
// Plugs a USB device in by hardware ID: the node `instance_id` names, else
// the first registered node whose first hardware ID equals it and that is not
// present, becomes present; else a new node without a driver is added, in
// the "Unknown" class ("Other devices"), where Windows keeps a device it has
// no driver for.  On 2000/XP and 9x, Plug and Play then installs a node
// without a driver from the INFs in the INF directory (oem*.inf and the
// others; 9x also INF\OTHER) as UpdateDriverForPlugAndPlayDevicesA does,
// files from where the INF was copied from, or kept when already in place;
// with no INF for it the node stays under "Other devices".  Returns the
// instance ID ("" when `instance_id` is present already).
std::string plug(const std::string &hardware_id, const std::string &instance_id = "");
// Unplugs by instance ID, or by hardware ID (the first present node whose
// first hardware ID equals it); the node stays registered.  False when none.
bool unplug(const std::string &id);
// "Scan for hardware changes": a device still plugged in whose node was
// removed gets a new one, and every present node without a driver gets
// what Plug and Play finds for it, as plug() does.  Returns the nodes that
// got a driver.
std::vector<std::string> rescan();
// Deletes a node (by instance ID) with its driver subkey and profile entries.
bool remove(const std::string &instance_id);
// Every node, in enumeration order (enumerator, device, instance).
std::vector<Device> list();
bool find(const std::string &instance_id, Device *device);
// Moves a node to another setup class ("" GUID: the known one of the name).
bool set_class(const std::string &instance_id, const std::string &class_name, const std::string &class_guid = "");
bool set_service(const std::string &instance_id, const std::string &service);
// Points "Driver" at a key name as given ("" deletes the value).
bool set_driver(const std::string &instance_id, const std::string &driver);
// CSConfigFlags of a node in a hardware profile (0: the current one);
// CSCONFIGFLAG_DO_NOT_CREATE (2) keeps it out of DIGCF_PROFILE lists.
bool set_profile_flags(const std::string &instance_id, DWORD flags, int profile = 0);
void set_current_profile(int profile);
// ---- Plug and Play installs and device notifications (setupapi.cpp, newdev.cpp, devnotify.cpp)
// What a change to a device asks for: DI_NEEDRESTART (0x80) and/or
// DI_NEEDREBOOT (0x100), shown in the device's install parameters after a
// state change, removal or driver install, and folded into the reboot answer
// of UpdateDriverForPlugAndPlayDevicesA.  `id` is an instance ID, or a
// hardware ID naming every node whose first hardware ID it is, now or later.
void set_restart_bits(const std::string &id, DWORD bits);
// The bus enumerator "quva\quvaEnum", once started with UseRM set, makes
// NumberOfDevices virtual readers "quvaenum\quvaifd", the first `interval_ms`
// of virtual time after the start and each further one `interval_ms` later
// (500 by default).  `arrive` false: the enumerator starts but makes none.
void set_reader_arrivals(bool arrive, DWORD interval_ms = 500);
// Started: present, enabled globally and in the current profile, not
// stopped there, with a driver service.
bool running(const std::string &instance_id);
// Device notifications registered now (RegisterDeviceNotificationA).
int notification_count();
// An interface of any class arrives, as when a device exposing it starts:
// WM_DEVICECHANGE DBT_DEVICEARRIVAL is posted to the windows registered for
// the class ("{XXXXXXXX-...}").
void interface_arrived(const std::string &class_guid, const std::string &symbolic_link = "");
} // namespace devices

// --------------------------------------------------------------- snapshots

// What an operation changed on the machine: registry, files of drive C:,
// services and the device tree, captured before and after and compared
// (snapshot.cpp).
namespace snapshots {
// Case-insensitive ordering, as Windows names keys, files and services.
struct NameLess {
    bool operator()(const std::string &a, const std::string &b) const;
};
struct State {
    // Registry: key path ("HKLM\\...") to its values (name to rendered value;
    // "@" is the default value).  Every key is listed, also those without values.
    std::map<std::string, std::map<std::string, std::string, NameLess>, NameLess> keys;
    struct File {
        uint64_t size = 0;
        uint64_t hash = 0; // FNV-1a of the contents
    };
    std::map<std::string, File, NameLess> files; // "C:\\WINDOWS\\..."
    // Service name and device instance ID to their fields ("state", "start",
    // "image"; "class", "hardware id", "service", "driver", "status", "disabled").
    std::map<std::string, std::map<std::string, std::string>, NameLess> services;
    std::map<std::string, std::map<std::string, std::string>, NameLess> devices;
};
State take();
// Readable lines, registry first, then files, services and devices, each
// sorted by name:
//   "+ key K", "- key K", "+ value K\\name = V", "- value K\\name",
//   "~ value K\\name: OLD -> NEW", "+ file P (N bytes)", "- file P",
//   "~ file P: N bytes -> M bytes", "+ service S stopped", "~ service S: stopped -> running",
//   "+ device ID", "~ device ID: disabled", "~ device ID: class A -> B", ...
std::vector<std::string> diff(const State &before, const State &after);
// A snapshot kept in a host file (text), for a diff across runs of a tool.
bool save(const State &state, const std::string &host_file);
bool load(const std::string &host_file, State *state);
} // namespace snapshots

} // namespace winsim

#endif
