// Simulated processes.  CreateProcessA finds the image file on the simulated
// disk as Windows would, and the image names the program to run:
//
//   WINSIM-IMAGE\r\nprogram=NAME\r\n[imports=A.DLL,B.DLL\r\n]
//
// NAME is either a C++ entry point registered with the simulator
// (winsim::processes::register_program) or one of our programs built as a
// shared object, NAME.so next to libwinsim.so, exporting WinMain.  The DLLs
// listed under "imports" are what the program binds at load time: the loader
// looks for each one from the new process (its own directory first) before the
// program starts, and a missing one ends the process with STATUS_DLL_NOT_FOUND.
//
// A process is one more simulated thread on the virtual clock with a process
// id, command line, image path and environment of its own.  Handles it leaves
// open stay open (the handle table is the machine's), so tests see its leaks.
#include "processes.h"

#include "disk.h"
#include "threads.h"
#include "user.h"

#include <dlfcn.h>

#include <atomic>
#include <cstring>
#include <sstream>

namespace winsim {

namespace {

constexpr DWORD kFirstChildId = 0x258;

struct ProcessState {
    DWORD pid = 0;
    std::string image;         // full Windows path of the image file
    std::string program;       // NAME from the image
    std::vector<char> command; // what GetCommandLineA answers, terminated
    std::map<std::string, std::string> env;
    DWORD main_thread = 0;
    uint64_t started_ms = 0, ended_ms = 0;
    std::atomic<bool> ended{false};
    std::atomic<DWORD> exit_code{STILL_ACTIVE};
    bool exiting = false;      // ExitProcess is unwinding the main thread
    void *dl = nullptr;        // a shared-object program, closed once the process has ended
};

struct ProcessObject : Waitable {
    explicit ProcessObject(std::shared_ptr<ProcessState> s) : Waitable(HandleKind::Process), state(std::move(s)) {}
    std::shared_ptr<ProcessState> state;
    bool signaled() const override { return state->ended.load(); }
};

struct Table {
    std::map<std::string, processes::Program> programs; // by upper-cased name; outlive machines
    std::map<DWORD, std::shared_ptr<ProcessState>> all;   // this machine's processes by id
    DWORD next_pid = kFirstChildId;
};

Table &T() {
    static Table *t = new Table; // parked threads may outlive static destruction
    return *t;
}

std::shared_ptr<ProcessState> current_state() {
    DWORD pid = sched::current_process_id();
    if (pid == sched::kProcessId) return nullptr;
    WINSIM_LOCK();
    auto it = T().all.find(pid);
    return it == T().all.end() ? nullptr : it->second;
}


std::string join(const std::string &dir, const std::string &file) {
    if (dir.empty()) return file;
    return dir.back() == '\\' ? dir + file : dir + "\\" + file;
}

std::string host_library_dir() {
    Dl_info info{};
    if (!dladdr((void *)&CreateProcessA, &info) || !info.dli_fname) fatal("cannot locate libwinsim");
    return dir_part(info.dli_fname);
}

// The program an image file names, and the DLLs it binds at load time.
bool parse_image(const std::vector<BYTE> &bytes, std::string *program, std::vector<std::string> *imports) {
    std::string text(bytes.begin(), bytes.end());
    if (text.compare(0, 12, "WINSIM-IMAGE") != 0) return false;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        size_t eq = line.find('=');
        if (eq == std::string::npos) continue;
        std::string k = line.substr(0, eq), v = line.substr(eq + 1);
        if (k == "program") {
            *program = v;
        } else if (k == "imports") {
            std::istringstream list(v);
            std::string dll;
            while (std::getline(list, dll, ','))
                if (!dll.empty()) imports->push_back(dll);
        }
    }
    return !program->empty();
}

// An existing file at a Windows path: 0 and its full path, or an error.
DWORD existing_file(const std::string &path, std::string *full) {
    PathInfo p = D().resolve(path);
    if (p.error) return p.error;
    if (p.device || p.wildcards) return ERROR_INVALID_NAME;
    if (!p.exists) return ERROR_FILE_NOT_FOUND;
    if (p.is_dir) return ERROR_ACCESS_DENIED;
    *full = join(dir_part(p.full), p.name);
    return 0;
}

// Where Windows looks for a program named without a directory.
std::vector<std::string> search_dirs() {
    Machine::Impl &m = M();
    std::vector<std::string> dirs;
    dirs.push_back(dir_part(process_image()));
    dirs.push_back(D().current_directory());
    dirs.push_back(m.profile->system_dir);
    if (m.profile->nt()) dirs.push_back(std::string(m.profile->windows_dir) + "\\system");
    dirs.push_back(m.profile->windows_dir);
    auto it = process_environment().find("PATH");
    if (it != process_environment().end()) {
        std::istringstream in(it->second);
        std::string d;
        while (std::getline(in, d, ';'))
            if (!d.empty()) dirs.push_back(d);
    }
    return dirs;
}

DWORD find_program(std::string name, std::string *full) {
    std::string file = file_part(name);
    if (file.find('.') == std::string::npos) name += ".exe";
    if (name.find_first_of("\\/:") != std::string::npos) return existing_file(name, full);
    for (auto &dir : search_dirs())
        if (!existing_file(join(dir, name), full)) return 0;
    return ERROR_FILE_NOT_FOUND;
}

// The image a command line starts: a quoted name, or the shortest prefix
// ending at a blank that names a program (so that an unquoted
// "C:\Program Files\x.exe" is still found, as Windows finds it).
DWORD image_of_command(const std::string &command, std::string *full) {
    size_t start = command.find_first_not_of(" \t");
    if (start == std::string::npos) return ERROR_FILE_NOT_FOUND;
    if (command[start] == '"') {
        size_t end = command.find('"', start + 1);
        std::string name = command.substr(start + 1, end == std::string::npos ? std::string::npos : end - start - 1);
        if (name.empty()) return ERROR_FILE_NOT_FOUND;
        return find_program(name, full);
    }
    DWORD error = ERROR_FILE_NOT_FOUND;
    size_t pos = start;
    for (;;) {
        size_t blank = command.find_first_of(" \t", pos);
        std::string name = command.substr(start, blank == std::string::npos ? std::string::npos : blank - start);
        error = find_program(name, full);
        if (!error || blank == std::string::npos) return error;
        pos = command.find_first_not_of(" \t", blank);
        if (pos == std::string::npos) return error;
    }
}

// What the C runtime hands WinMain: the command line after the program name.
const char *arguments_of(const char *command) {
    const char *p = command;
    while (*p == ' ' || *p == '\t') p++;
    if (*p == '"') {
        p++;
        while (*p && *p != '"') p++;
        if (*p) p++;
    } else {
        while (*p && *p != ' ' && *p != '\t') p++;
    }
    while (*p == ' ' || *p == '\t') p++;
    return p;
}

std::map<std::string, std::string> parse_environment_block(const char *block) {
    std::map<std::string, std::string> env;
    for (const char *p = block; *p; p += std::strlen(p) + 1) {
        std::string entry = p;
        size_t eq = entry.find('=', 1); // "=C:=C:\\" names start with '='
        if (eq == std::string::npos) continue;
        env[upper(entry.substr(0, eq))] = entry.substr(eq + 1);
    }
    return env;
}

// Closes the shared objects of processes that ended through ExitProcess,
// whose code was still on the stack when they ended.
void reap_images() {
    std::vector<void *> to_close;
    {
        WINSIM_LOCK();
        for (auto &kv : T().all) {
            ProcessState &s = *kv.second;
            if (s.ended && s.dl && !sched::thread_alive(s.main_thread)) {
                to_close.push_back(s.dl);
                s.dl = nullptr;
            }
        }
    }
    for (void *dl : to_close) dlclose(dl);
}

typedef int(WINAPI *WinMainFn)(HINSTANCE, HINSTANCE, LPSTR, int);

// The main thread of a new process.
DWORD run_process(const std::shared_ptr<ProcessState> &state, const processes::Program &entry,
                  const std::vector<std::string> &imports, int show) {
    std::vector<HMODULE> bound;
    // Runs on return and when ExitProcess unwinds this thread.
    struct Ending {
        const std::shared_ptr<ProcessState> &state;
        std::vector<HMODULE> &bound;
        ~Ending() {
            for (auto it = bound.rbegin(); it != bound.rend(); ++it) FreeLibrary(*it);
            user_process_ended(state->pid);
            void *dl = nullptr;
            {
                WINSIM_LOCK();
                if (!state->exiting) std::swap(dl, state->dl);
                state->ended_ms = sched::now();
            }
            if (dl) dlclose(dl);
            state->ended = true;
            sched::notify();
        }
    } ending{state, bound};

    for (auto &dll : imports) {
        HMODULE h = LoadLibraryA(dll.c_str());
        if (!h) {
            state->exit_code = STATUS_DLL_NOT_FOUND;
            return STATUS_DLL_NOT_FOUND;
        }
        bound.push_back(h);
    }
    DWORD code;
    if (entry) {
        code = entry(state->command.data());
    } else {
        std::string so = host_library_dir() + "/" + state->program + ".so";
        void *dl = dlopen(so.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (!dl) fatal("cannot load the program " + so + ": " + dlerror());
        {
            WINSIM_LOCK();
            state->dl = dl;
        }
        auto win_main = (WinMainFn)dlsym(dl, "WinMain");
        if (!win_main) fatal("the program " + so + " exports no WinMain");
        code = (DWORD)win_main(GetModuleHandleA(nullptr), nullptr, (LPSTR)arguments_of(state->command.data()), show);
    }
    {
        WINSIM_LOCK();
        if (!state->exiting) state->exit_code = code;
    }
    return code;
}

void machine_ended() {
    reap_images();
    WINSIM_LOCK();
    T().all.clear();
    T().next_pid = kFirstChildId;
}

const bool registered = add_life_cycle({nullptr, machine_ended});

} // namespace

std::map<std::string, std::string> &process_environment() {
    auto s = current_state();
    return s ? s->env : M().environment;
}

LPSTR process_command_line() {
    auto s = current_state();
    return s ? s->command.data() : nullptr;
}

std::string process_image() {
    auto s = current_state();
    if (s) return s->image;
    WINSIM_LOCK();
    return M().process_image;
}

DWORD process_id() { return sched::current_process_id(); }

// ------------------------------------------------------------ control API

namespace processes {

void register_program(const std::string &name, Program program) {
    WINSIM_LOCK();
    T().programs[upper(name)] = std::move(program);
}

void unregister_program(const std::string &name) {
    WINSIM_LOCK();
    T().programs.erase(upper(name));
}

bool install_program(const std::string &win_path, const std::string &name, const std::vector<std::string> &imports) {
    std::string text = "WINSIM-IMAGE\r\nprogram=" + name + "\r\n";
    if (!imports.empty()) {
        text += "imports=";
        for (size_t i = 0; i < imports.size(); i++) text += (i ? "," : "") + imports[i];
        text += "\r\n";
    }
    return disk::write_text(win_path, text);
}

std::vector<Run> history() {
    reap_images();
    WINSIM_LOCK();
    std::vector<Run> out;
    for (auto &kv : T().all) {
        const ProcessState &s = *kv.second;
        Run r;
        r.process_id = s.pid;
        r.image = s.image;
        r.program = s.program;
        r.command_line = s.command.data();
        r.started_ms = s.started_ms;
        r.ended = s.ended;
        r.ended_ms = s.ended ? s.ended_ms : 0;
        r.exit_code = s.exit_code;
        out.push_back(r);
    }
    return out;
}

DWORD run(const std::string &command_line, DWORD *error) {
    STARTUPINFOA si;
    std::memset(&si, 0, sizeof si);
    si.cb = sizeof si;
    PROCESS_INFORMATION pi;
    std::vector<char> line(command_line.begin(), command_line.end());
    line.push_back('\0');
    if (!CreateProcessA(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) {
        if (error) *error = GetLastError();
        return (DWORD)-1;
    }
    WaitForSingleObject(pi.hProcess, INFINITE);
    DWORD code = (DWORD)-1;
    GetExitCodeProcess(pi.hProcess, &code);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    reap_images();
    if (error) *error = 0;
    return code;
}

} // namespace processes

} // namespace winsim

using namespace winsim;

// ------------------------------------------------------------ Win32 calls

extern "C" BOOL WINAPI CreateProcessA(LPCSTR application, LPSTR command_line, LPSECURITY_ATTRIBUTES,
                                      LPSECURITY_ATTRIBUTES, BOOL, DWORD flags, LPVOID environment,
                                      LPCSTR current_directory, LPSTARTUPINFOA startup, LPPROCESS_INFORMATION info) {
    WINSIM_FAULT_BOOL("CreateProcessA");
    if ((!application && !command_line) || !startup || !info) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    reap_images();
    auto state = std::make_shared<ProcessState>();
    processes::Program entry;
    std::vector<std::string> imports;
    {
        WINSIM_LOCK();
        DWORD error;
        if (application) {
            std::string full;
            error = existing_file(application, &full);
            if (!error) state->image = full;
        } else {
            error = image_of_command(command_line, &state->image);
        }
        if (error) {
            SetLastError(error);
            return FALSE;
        }
        if (current_directory) {
            PathInfo dir = D().resolve(current_directory);
            if (dir.error || !dir.exists || !dir.is_dir) {
                SetLastError(ERROR_DIRECTORY);
                return FALSE;
            }
        }
        std::vector<BYTE> bytes;
        if (DWORD e = D().read_all(state->image, &bytes, 1u << 20)) {
            SetLastError(e == ERROR_NOT_ENOUGH_MEMORY ? ERROR_BAD_EXE_FORMAT : e);
            return FALSE;
        }
        if (!parse_image(bytes, &state->program, &imports)) {
            SetLastError(ERROR_BAD_EXE_FORMAT);
            return FALSE;
        }
        auto it = T().programs.find(upper(state->program));
        if (it != T().programs.end()) {
            entry = it->second;
        } else {
            std::error_code ec;
            if (!std::filesystem::exists(host_library_dir() + "/" + state->program + ".so", ec)) {
                SetLastError(ERROR_BAD_EXE_FORMAT);
                return FALSE;
            }
        }
        std::string line = command_line ? command_line : application;
        state->command.assign(line.begin(), line.end());
        state->command.push_back('\0');
        state->env = environment ? parse_environment_block((const char *)environment) : process_environment();
        state->pid = T().next_pid;
        T().next_pid += 4;
        state->started_ms = sched::now();
        T().all[state->pid] = state;
    }
    int show = (startup->dwFlags & STARTF_USESHOWWINDOW) ? startup->wShowWindow : SW_SHOWDEFAULT;
    sched::SpawnOptions o;
    o.suspended = (flags & CREATE_SUSPENDED) != 0;
    o.process_id = state->pid;
    o.name = "process " + file_part(state->image);
    auto thread = sched::spawn([state, entry, imports, show] { return run_process(state, entry, imports, show); }, o);
    {
        WINSIM_LOCK();
        state->main_thread = thread->id;
    }
    info->hProcess = handle_table::add(std::make_shared<ProcessObject>(state));
    info->hThread = handle_table::add(thread);
    info->dwProcessId = state->pid;
    info->dwThreadId = thread->id;
    return TRUE;
}

extern "C" BOOL WINAPI GetExitCodeProcess(HANDLE process, LPDWORD code) {
    WINSIM_FAULT_BOOL("GetExitCodeProcess");
    auto p = handle_table::get_as<ProcessObject>(process, HandleKind::Process);
    if (!p) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (!code) {
        SetLastError(ERROR_NOACCESS);
        return FALSE;
    }
    *code = p->state->ended ? p->state->exit_code.load() : STILL_ACTIVE;
    return TRUE;
}

extern "C" void WINAPI ExitProcess(UINT code) {
    auto state = current_state();
    if (!state)
        fatal("ExitProcess was called by the kit's own process; only processes started with CreateProcessA can end "
              "this way");
    {
        WINSIM_LOCK();
        if (!state->exiting) state->exit_code = code;
        state->exiting = true;
    }
    sched::exit_current(code);
}
