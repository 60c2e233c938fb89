// The token library's reader mode: which path a new context takes and how
// many virtual readers its open scans, from the driver parameters seeded in
// the registry, checked the same way on every Windows version.
//
// Neither is visible through the library's exports (without a token driver
// every open answers 6 whichever path it took), so the checks put a stand-in
// WinScard.dll (SCARDPROBE.DLL, built beside this program) where the
// library's LoadLibraryA("WinScard.dll") finds it first, the program's own
// directory.  The stand-in plays a resource manager whose virtual readers are
// all empty and counts what it is asked: a context on the resource-manager
// path establishes a PC/SC context and asks for readers 0 to N-1; one on the
// direct path never calls it.  Wine prefers its built-in winscard over one
// beside the program, so under Wine the checks also name it native in
// HKCU\Software\Wine\DllOverrides for their duration.
#include "conformance.h"
#include "quvab2.h"

#include <windows.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

const char k_reader[] = "Vornel Technologies QuvaVirtualReader ";
const char k_component[] =
    "Software\\Vornel Technologies\\Quva\\Quva Components\\Quva Application Interfaces\\Quva B2 Token Library";
const char k_qvatoken_parameters[] = "System\\CurrentControlSet\\Services\\qvatoken\\Parameters";
const char k_qvatoken[] = "System\\CurrentControlSet\\Services\\qvatoken";
const char k_quvaenum[] = "System\\CurrentControlSet\\Services\\quvaenum";
const char k_usbqvtkn_parameters[] = "System\\CurrentControlSet\\Services\\usbqvtkn\\Parameters";
const char k_quvavr9x[] = "System\\CurrentControlSet\\Services\\VXD\\QUVAVR9X";

std::string program_dir() {
    char path[MAX_PATH] = "";
    DWORD n = GetModuleFileNameA(nullptr, path, sizeof path);
    std::string p(path, n < sizeof path ? n : 0);
    size_t slash = p.rfind('\\');
    return slash == std::string::npos ? std::string() : p.substr(0, slash);
}

bool file_exists(const std::string &path) { return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

// Where the library looks for the smart-card library file.
std::string smartcard_file() {
    char dir[MAX_PATH] = "";
    if (conformance::is_9x()) {
        UINT n = GetWindowsDirectoryA(dir, sizeof dir);
        return n && n < sizeof dir ? std::string(dir) + "\\System\\WINSCARD.DLL" : std::string();
    }
    UINT n = GetSystemDirectoryA(dir, sizeof dir);
    return n && n < sizeof dir ? std::string(dir) + "\\WINSCARD.DLL" : std::string();
}

// Registry values and files a check puts in place, all taken away again.
class Seeded {
public:
    ~Seeded() { undo(); }
    void dword(const char *key, const char *name, DWORD value) {
        std::string path;
        size_t start = 0;
        while (start <= std::strlen(key)) {
            size_t end = std::string(key).find('\\', start);
            if (end == std::string::npos) end = std::strlen(key);
            path = std::string(key, end);
            HKEY h = nullptr;
            DWORD disposition = 0;
            if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS,
                                nullptr, &h, &disposition) != ERROR_SUCCESS) {
                CHECK_MSG(false, "cannot create HKLM\\%s", path.c_str());
                return;
            }
            RegCloseKey(h);
            if (disposition == REG_CREATED_NEW_KEY) keys_.push_back(path);
            start = end + 1;
        }
        HKEY h = nullptr;
        if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, key, 0, KEY_SET_VALUE, &h) == ERROR_SUCCESS) {
            RegSetValueExA(h, name, 0, REG_DWORD, reinterpret_cast<const BYTE *>(&value), sizeof value);
            RegCloseKey(h);
            values_.push_back({key, name});
        }
    }
    void copy(const std::string &from, const std::string &to) {
        if (file_exists(to)) return;
        CHECK_MSG(CopyFileA(from.c_str(), to.c_str(), TRUE), "cannot copy %s to %s (%lu)", from.c_str(), to.c_str(),
                  (unsigned long)GetLastError());
        files_.push_back(to);
    }
    void undo() {
        for (auto it = values_.rbegin(); it != values_.rend(); ++it) {
            HKEY h = nullptr;
            if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, it->first.c_str(), 0, KEY_SET_VALUE, &h) == ERROR_SUCCESS) {
                RegDeleteValueA(h, it->second.c_str());
                RegCloseKey(h);
            }
        }
        for (auto it = keys_.rbegin(); it != keys_.rend(); ++it) RegDeleteKeyA(HKEY_LOCAL_MACHINE, it->c_str());
        for (const std::string &f : files_) DeleteFileA(f.c_str());
        values_.clear();
        keys_.clear();
        files_.clear();
    }

private:
    std::vector<std::pair<std::string, std::string>> values_;
    std::vector<std::string> keys_;
    std::vector<std::string> files_;
};

// Under Wine: the stand-in beside the program loads instead of the built-in.
class NativeWinscard {
public:
    NativeWinscard() {
        HKEY wine = nullptr;
        if (RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\Wine", 0, KEY_READ, &wine) != ERROR_SUCCESS) return;
        RegCloseKey(wine);
        DWORD disposition = 0;
        if (RegCreateKeyExA(HKEY_CURRENT_USER, "Software\\Wine\\DllOverrides", 0, nullptr, REG_OPTION_NON_VOLATILE,
                            KEY_ALL_ACCESS, nullptr, &key_, &disposition) != ERROR_SUCCESS)
            return;
        created_ = disposition == REG_CREATED_NEW_KEY;
        DWORD size = sizeof old_ - 1;
        had_ = RegQueryValueExA(key_, "winscard", nullptr, nullptr, reinterpret_cast<BYTE *>(old_), &size) ==
               ERROR_SUCCESS;
        RegSetValueExA(key_, "winscard", 0, REG_SZ, reinterpret_cast<const BYTE *>("native"), 7);
    }
    ~NativeWinscard() {
        if (!key_) return;
        if (had_)
            RegSetValueExA(key_, "winscard", 0, REG_SZ, reinterpret_cast<const BYTE *>(old_),
                           (DWORD)std::strlen(old_) + 1);
        else
            RegDeleteValueA(key_, "winscard");
        RegCloseKey(key_);
        if (created_) RegDeleteKeyA(HKEY_CURRENT_USER, "Software\\Wine\\DllOverrides");
    }

private:
    HKEY key_ = nullptr;
    bool created_ = false, had_ = false;
    char old_[64] = {};
};

typedef void(WINAPI *ResetFn)(void);
typedef void(WINAPI *CountsFn)(LPDWORD, LPDWORD, LPDWORD);
typedef DWORD(WINAPI *ReadersFn)(LPSTR, DWORD);

// The token library and the stand-in, both loaded for the length of a check.
struct Stack {
    HMODULE probe = nullptr, lib = nullptr;
    ResetFn reset = nullptr;
    CountsFn counts = nullptr;
    ReadersFn readers = nullptr;
    decltype(&quva_CreateContext) create = nullptr;
    decltype(&quva_DeleteContext) remove = nullptr;
    decltype(&quva_OpenDevice) open = nullptr;

    bool load(const std::string &probe_path) {
        probe = LoadLibraryA(probe_path.c_str());
        if (!probe) return false;
        reset = (ResetFn)(void *)GetProcAddress(probe, "probe_reset");
        counts = (CountsFn)(void *)GetProcAddress(probe, "probe_counts");
        readers = (ReadersFn)(void *)GetProcAddress(probe, "probe_readers");
        lib = LoadLibraryA("QUVAB2.DLL");
        if (!lib) return false;
        create = (decltype(create))(void *)GetProcAddress(lib, "quva_CreateContext");
        remove = (decltype(remove))(void *)GetProcAddress(lib, "quva_DeleteContext");
        open = (decltype(open))(void *)GetProcAddress(lib, "quva_OpenDevice");
        return reset && counts && readers && create && remove && open;
    }
    ~Stack() {
        if (lib) FreeLibrary(lib);
        if (probe) FreeLibrary(probe);
    }
};

struct Seen {
    DWORD open_result = 0xFFFF;
    DWORD establish = 0, release = 0, connect = 0;
    std::string readers;
};

// A new context, one open, and what the stand-in saw of it.
Seen try_open(Stack &s) {
    Seen seen;
    s.reset();
    QUVA_CONTEXT c = nullptr;
    if (s.create(&c, 0, 0) != QUVA_OK) return seen;
    seen.open_result = s.open(c, QUVA_OPEN_FIRST, nullptr);
    s.remove(c);
    s.counts(&seen.establish, &seen.release, &seen.connect);
    char buf[1024] = "";
    s.readers(buf, sizeof buf);
    seen.readers = buf;
    return seen;
}

std::string readers_up_to(int limit) {
    std::string out;
    for (int i = 0; i < limit; ++i) out += k_reader + std::to_string(i) + "|";
    return out;
}

struct Value {
    const char *key;
    const char *name;
    DWORD value;
};

struct Scenario {
    const char *what;
    std::vector<Value> values;
    bool gate;
    int limit; // -1: the direct path
};

std::vector<Scenario> scenarios_for_this_version() {
    const std::string os = conformance::os_name();
    if (os == "win2k" || os == "winxp")
        return {
            {"UseRM 1 and 2 devices", {{k_qvatoken_parameters, "UseRM", 1}, {k_qvatoken, "NumberOfDevices", 2}}, true, 2},
            {"RMMode 0 overrides UseRM 1",
             {{k_qvatoken_parameters, "UseRM", 1}, {k_qvatoken_parameters, "RMMode", 0}, {k_qvatoken, "NumberOfDevices", 2}},
             true, -1},
            {"RMMode 1 with UseRM 0",
             {{k_qvatoken_parameters, "UseRM", 0}, {k_qvatoken_parameters, "RMMode", 1}, {k_qvatoken, "NumberOfDevices", 3}},
             true, 3},
            {"RMMode 1 without UseRM", {{k_qvatoken_parameters, "RMMode", 1}, {k_qvatoken, "NumberOfDevices", 3}}, true, -1},
            {"UseRM 1 without a device count", {{k_qvatoken_parameters, "UseRM", 1}}, true, 4},
            {"a device count of 0 with RMMode 1",
             {{k_qvatoken_parameters, "UseRM", 1}, {k_qvatoken_parameters, "RMMode", 1}, {k_qvatoken, "NumberOfDevices", 0}},
             true, 0},
            {"the enumerator's count first",
             {{k_qvatoken_parameters, "UseRM", 1}, {k_quvaenum, "NumberOfDevices", 1}, {k_qvatoken, "NumberOfDevices", 3}},
             true, 1},
            {"the PC/SC gate closed", {{k_qvatoken_parameters, "UseRM", 1}, {k_qvatoken, "NumberOfDevices", 2}}, false, 0},
            {"no driver parameters", {}, true, -1},
        };
    if (os == "nt40")
        return {
            {"usbqvtkn's UseRM 1 and 3 devices",
             {{k_usbqvtkn_parameters, "UseRM", 1}, {k_usbqvtkn_parameters, "NumberOfDevices", 3}}, true, 3},
            {"qvatoken's values are not NT 4.0's",
             {{k_qvatoken_parameters, "UseRM", 1}, {k_qvatoken_parameters, "RMMode", 1}, {k_qvatoken, "NumberOfDevices", 2}},
             true, -1},
        };
    if (os == "win98" || os == "winme")
        return {
            {"UseRM 1 and 3 readers", {{k_qvatoken_parameters, "UseRM", 1}, {k_quvavr9x, "NumberOfReaders", 3}}, true, 3},
            {"3 readers without driver parameters", {{k_quvavr9x, "NumberOfReaders", 3}}, true, -1},
            {"UseRM 1 without a reader count", {{k_qvatoken_parameters, "UseRM", 1}}, true, 4},
        };
    // Windows 95 reads no driver parameters at all.
    return {
        {"UseRM and RMMode 1 on Windows 95",
         {{k_qvatoken_parameters, "UseRM", 1}, {k_qvatoken_parameters, "RMMode", 1}, {k_quvavr9x, "NumberOfReaders", 3}},
         true, -1},
    };
}

} // namespace

CONFORMANCE_TEST(token_reader_mode_decides_path_and_scan_limit) {
    const std::string dir = program_dir();
    REQUIRE(!dir.empty());
    const std::string probe_file = dir + "\\SCARDPROBE.DLL";
    REQUIRE(file_exists(probe_file));
    const std::string scard_file = smartcard_file();
    REQUIRE(!scard_file.empty());
    REQUIRE(GetModuleHandleA("WinScard.dll") == nullptr);

    NativeWinscard native;
    Seeded files;
    // The stand-in where LoadLibraryA looks first, and a smart-card library
    // file where the library looks for one.
    files.copy(probe_file, dir + "\\WinScard.dll");
    files.copy(probe_file, scard_file);
    {
        Stack stack;
        REQUIRE(stack.load(dir + "\\WinScard.dll"));
        for (const Scenario &sc : scenarios_for_this_version()) {
            Seeded registry;
            for (const Value &v : sc.values) registry.dword(v.key, v.name, v.value);
            if (sc.gate) registry.dword(k_component, "EnablePCSC", 1);
            Seen seen = try_open(stack);
            CHECK_MSG(seen.open_result == QUVA_ERR_DEVICE_NOT_FOUND, "%s: the open answered %lu", sc.what,
                      (unsigned long)seen.open_result);
            if (sc.limit < 0) {
                CHECK_MSG(seen.establish == 0 && seen.readers.empty(),
                          "%s: the direct path was expected, the resource manager was asked (%lu contexts, %s)",
                          sc.what, (unsigned long)seen.establish, seen.readers.c_str());
            } else {
                CHECK_MSG(seen.establish == 1 && seen.release == 1,
                          "%s: the resource-manager path was expected (%lu contexts made, %lu released)", sc.what,
                          (unsigned long)seen.establish, (unsigned long)seen.release);
                CHECK_MSG(seen.readers == readers_up_to(sc.limit), "%s: readers asked \"%s\", expected %d", sc.what,
                          seen.readers.c_str(), sc.limit);
            }
            CHECK_MSG(seen.connect == 0, "%s: a card was connected in an empty reader", sc.what);
        }
    }
    files.undo();
}

CONFORMANCE_TEST(token_reader_mode_needs_the_smartcard_library_file) {
    const std::string dir = program_dir();
    const std::string scard_file = smartcard_file();
    REQUIRE(!dir.empty() && !scard_file.empty());
    // Only where the machine has no such file of its own (the Windows 9x and
    // NT 4.0 machines of the simulator, the 9x versions under Wine).
    if (file_exists(scard_file)) return;
    REQUIRE(GetModuleHandleA("WinScard.dll") == nullptr);
    NativeWinscard native;
    Seeded files;
    files.copy(dir + "\\SCARDPROBE.DLL", dir + "\\WinScard.dll");
    {
        Stack stack;
        REQUIRE(stack.load(dir + "\\WinScard.dll"));
        Seeded registry;
        const bool nt = conformance::is_nt();
        const bool nt4 = std::string(conformance::os_name()) == "nt40";
        registry.dword(nt4 ? k_usbqvtkn_parameters : k_qvatoken_parameters, "UseRM", 1);
        registry.dword(nt4 ? k_usbqvtkn_parameters : k_qvatoken_parameters, "RMMode", 1);
        registry.dword(nt ? (nt4 ? k_usbqvtkn_parameters : k_qvatoken) : k_quvavr9x,
                       nt ? "NumberOfDevices" : "NumberOfReaders", 2);
        registry.dword(k_component, "EnablePCSC", 1);
        Seen seen = try_open(stack);
        CHECK_EQ(seen.open_result, QUVA_ERR_DEVICE_NOT_FOUND);
        CHECK_MSG(seen.establish == 0, "without the smart-card library file the resource manager was asked");
    }
    files.undo();
}
