// Internals shared by the pieces of the simulated platform.
#ifndef WINSIM_CORE_H
#define WINSIM_CORE_H

#include <windows.h>
#include <winsim/sim.h>

#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

namespace winsim {

class Registry;
class Disk;
struct TokenStack;

// Prints a message and aborts: used for misuse of the simulator itself
// (no current machine, a deadlock of simulated threads), never for Win32 errors.
[[noreturn]] void fatal(const std::string &message);

// ------------------------------------------------------------ the machine

struct Machine::Impl {
    const Profile *profile = nullptr;
    std::filesystem::path dir;    // machine directory
    std::string dir_string;       // the same, as text
    bool temporary = false;       // remove dir when destroyed
    bool admin = true;
    std::string process_image = "C:\\APP\\APP.EXE";
    std::string command_line = "APP.EXE";
    std::map<std::string, std::string> environment; // upper-cased names
    std::unique_ptr<Registry> registry;
    std::unique_ptr<Disk> disk;
    std::shared_ptr<TokenStack> tokens; // token driver and smart-card readers, made on first use (tokens.cpp)
};

// Writes the token stack's state to the machine directory (tokens.cpp).
void save_token_stack(Machine::Impl &m);

// The current machine's state; aborts with a clear message when there is none.
Machine::Impl &M();
Machine::Impl *M_or_null();

// One lock serialises the simulator's shared state.  Simulated threads run one
// at a time anyway (see threads.cpp); the lock also guards host threads that
// call in from outside the scheduler, such as a test's main thread.
std::recursive_mutex &big_lock();
#define WINSIM_LOCK() std::lock_guard<std::recursive_mutex> winsim_guard_(::winsim::big_lock())

// ----------------------------------------------------------- kernel objects

// Anything a HANDLE (or HKEY, HMODULE, ...) can name.
struct Object {
    explicit Object(HandleKind k) : kind(k) {}
    virtual ~Object() = default;
    HandleKind kind;
};

// Objects that WaitForSingleObject can wait on.
struct Waitable : Object {
    using Object::Object;
    virtual bool signaled() const = 0;
    // Called when a wait is satisfied by this object (auto-reset events reset).
    virtual void acquired() {}
};

namespace handle_table {
// Enters an object and returns its new handle value (never 0 or -1).
HANDLE add(std::shared_ptr<Object> object);
// The object behind a handle, if it is of the given kind (any kind when Other).
std::shared_ptr<Object> get(HANDLE h);
template <class T> std::shared_ptr<T> get_as(HANDLE h, HandleKind kind) {
    auto o = get(h);
    if (!o || o->kind != kind) return nullptr;
    return std::static_pointer_cast<T>(o);
}
// Removes a handle; false when it was not open.
bool remove(HANDLE h);
// Drops every handle (machine teardown).
void clear();
} // namespace handle_table

// Open things that live outside the handle table (loaded module references,
// windows), counted by the piece that owns them; guarded by big_lock().
std::map<HandleKind, long> &extra_counts();

// ------------------------------------------------------ machine life cycle

// Pieces with state of their own beyond the registry and the disk (services,
// processes, windows) follow the machine's life: `started` runs once a machine
// has been created or loaded, registry and disk in place (`loaded` says
// which); `ended` runs when it is destroyed, after its threads have ended.
struct LifeCycle {
    void (*started)(bool loaded);
    void (*ended)();
};
// Registers hooks, normally from a static initialiser; returns true.
bool add_life_cycle(LifeCycle hooks);
// Called by machine.cpp: `started` hooks in registration order, `ended` in reverse.
void run_started_hooks(bool loaded);
void run_ended_hooks();

// ------------------------------------------------------------------ faults

// The error armed for this call of `api`, or 0 when it should run normally.
DWORD fault(const char *api);

// Convenience for BOOL-returning APIs: on an injected fault set the last
// error and return FALSE from the calling function.
#define WINSIM_FAULT_BOOL(api)                                                                                  \
    do {                                                                                                        \
        if (DWORD e_ = ::winsim::fault(api)) {                                                                  \
            SetLastError(e_);                                                                                   \
            return FALSE;                                                                                       \
        }                                                                                                       \
    } while (0)

// ------------------------------------------------------------ path helpers

std::string upper(std::string s);
std::string lower(std::string s);
bool iequals(const std::string &a, const std::string &b);

// The last element of a Windows path, and everything before its separator.
std::string file_part(const std::string &path);
std::string dir_part(const std::string &path);

// Copies `s` into a caller buffer with the usual Win32 "size in characters"
// contract: returns the length copied (without terminator) when it fits,
// else the size needed including the terminator and copies nothing.
UINT copy_out(const std::string &s, LPSTR buffer, UINT size);

} // namespace winsim

#endif
