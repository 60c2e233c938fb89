// Small kernel32 services: local and global memory, virtual memory, pointer
// probes, ANSI string calls, wsprintfA, FormatMessageA and RaiseException.
#include "core.h"
#include "threads.h"

#include <delayimp.h>

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

using namespace winsim;

namespace {

constexpr DWORD kErrorMrMidNotFound = ERROR_MR_MID_NOT_FOUND;
constexpr UINT kNoCompact = 0x10, kNoDiscard = 0x20, kShare = 0x2000;
// What a 32-bit process could ever get in one block.
constexpr SIZE_T kMaxBlock = 0x7FFFFFFF;

// ------------------------------------------------------------------ heap

// Live blocks, stored inverted so that the leak checker does not count this
// table as a reference: a block the kit forgets to free must show as a leak.
std::mutex g_heap_mu;
std::set<uintptr_t> &heap_blocks() {
    static std::set<uintptr_t> s;
    return s;
}

HLOCAL heap_alloc(const char *api, UINT flags, SIZE_T bytes, UINT extra_ok) {
    if (DWORD e = fault(api)) {
        SetLastError(e);
        return NULL;
    }
    if (flags & LMEM_MOVEABLE)
        fatal(std::string(api) + " with a moveable block is not modelled: the kit must use fixed blocks");
    if (flags & ~(UINT)(LMEM_ZEROINIT | kNoCompact | kNoDiscard | extra_ok)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return NULL;
    }
    if (bytes > kMaxBlock) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return NULL;
    }
    void *p = (flags & LMEM_ZEROINIT) ? std::calloc(1, bytes ? bytes : 1) : std::malloc(bytes ? bytes : 1);
    if (!p) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return NULL;
    }
    std::lock_guard<std::mutex> lk(g_heap_mu);
    heap_blocks().insert(~(uintptr_t)p);
    return p;
}

HLOCAL heap_free(HLOCAL h) {
    if (!h) return NULL;
    {
        std::lock_guard<std::mutex> lk(g_heap_mu);
        if (!heap_blocks().erase(~(uintptr_t)h)) {
            SetLastError(ERROR_INVALID_HANDLE);
            return h;
        }
    }
    std::free(h);
    return NULL;
}

// --------------------------------------------------------- virtual memory

constexpr uintptr_t kGranularity = 0x10000; // where reservations start

std::mutex g_vm_mu;
std::map<uintptr_t, size_t> &regions() { // base -> length
    static std::map<uintptr_t, size_t> r;
    return r;
}

uintptr_t page_size() {
    static const uintptr_t p = (uintptr_t)sysconf(_SC_PAGESIZE);
    return p;
}
uintptr_t round_down(uintptr_t v, uintptr_t a) { return v & ~(a - 1); }
uintptr_t round_up(uintptr_t v, uintptr_t a) { return (v + a - 1) & ~(a - 1); }

int host_protection(DWORD protect) {
    switch (protect) {
    case PAGE_NOACCESS: return PROT_NONE;
    case PAGE_READONLY: return PROT_READ;
    case PAGE_READWRITE: return PROT_READ | PROT_WRITE;
    default: return -1;
    }
}

// The region holding [a, b), or regions().end().
std::map<uintptr_t, size_t>::iterator region_of(uintptr_t a, uintptr_t b) {
    auto &r = regions();
    auto it = r.upper_bound(a);
    if (it == r.begin()) return r.end();
    --it;
    return b <= it->first + it->second ? it : r.end();
}

// --------------------------------------------------------- pointer probes

// True when every byte of [p, p+n) lies in mappings with permission `perm`.
bool accessible(const void *p, UINT_PTR n, char perm) {
    if (n == 0) return true;
    if (!p) return false;
    uintptr_t a = (uintptr_t)p, end = a + n;
    if (end < a) return false;
    int fd = open("/proc/self/maps", O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    std::string maps;
    char buf[4096];
    for (ssize_t got; (got = read(fd, buf, sizeof buf)) > 0;) maps.append(buf, (size_t)got);
    close(fd);
    uintptr_t cursor = a;
    for (size_t pos = 0; pos < maps.size();) {
        size_t eol = maps.find('\n', pos);
        if (eol == std::string::npos) eol = maps.size();
        std::string line = maps.substr(pos, eol - pos);
        pos = eol + 1;
        char *rest = nullptr;
        uintptr_t lo = std::strtoull(line.c_str(), &rest, 16);
        if (*rest != '-') continue;
        uintptr_t hi = std::strtoull(rest + 1, &rest, 16);
        while (*rest == ' ') rest++;
        if (hi <= cursor) continue;
        if (lo > cursor) return false; // a hole
        bool ok = perm == 'r' ? rest[0] == 'r' : rest[1] == 'w';
        if (!ok) return false;
        cursor = hi;
        if (cursor >= end) return true;
    }
    return false;
}

// -------------------------------------------------------- string compare

// Sort weights after the Windows word sort: punctuation before digits before
// letters, letters compared without case first; '-' and '\'' count last.
int weight(unsigned char c) {
    if (c >= 0x80) return 0x300 + c;
    if (std::isalpha(c)) return 0x200 + std::tolower(c);
    if (std::isdigit(c)) return 0x100 + c;
    return c;
}
bool special(char c) { return c == '-' || c == '\''; }

int sign(int v) { return v < 0 ? -1 : v > 0 ? 1 : 0; }

int compare_words(LPCSTR a, LPCSTR b, bool case_sensitive) {
    if (!a || !b) return a == b ? 0 : a ? 1 : -1;
    // Letters and everything else, skipping '-' and '\''.
    const char *p = a, *q = b;
    for (;;) {
        while (special(*p)) p++;
        while (special(*q)) q++;
        if (!*p || !*q) {
            if (*p || *q) return *p ? 1 : -1;
            break;
        }
        int d = weight((unsigned char)*p) - weight((unsigned char)*q);
        if (d) return sign(d);
        p++, q++;
    }
    // Then case: lower case sorts first.
    if (case_sensitive) {
        p = a, q = b;
        for (;;) {
            while (special(*p)) p++;
            while (special(*q)) q++;
            if (!*p || !*q) break;
            bool lp = std::islower((unsigned char)*p), lq = std::islower((unsigned char)*q);
            if (*p != *q && lp != lq) return lp ? -1 : 1;
            p++, q++;
        }
    }
    // Then the ignored characters.
    for (p = a, q = b; *p || *q; p++, q++) {
        if (!*p || !*q) return *p ? 1 : -1;
        int d = weight((unsigned char)*p) - weight((unsigned char)*q);
        if (d) return sign(d);
    }
    return 0;
}

// ---------------------------------------------------------------- printf

// Where a conversion takes its arguments from: a va_list for wsprintfA, an
// array of inserts for FormatMessageA.
struct ArgSource {
    virtual ~ArgSource() = default;
    virtual uint64_t next_int(bool wide64) = 0;
    virtual const void *next_ptr() = 0;
};

struct VaArgs : ArgSource {
    va_list ap;
    explicit VaArgs(va_list src) { va_copy(ap, src); }
    ~VaArgs() override { va_end(ap); }
    uint64_t next_int(bool wide64) override {
        return wide64 ? (uint64_t)va_arg(ap, long long) : (uint64_t)(uint32_t)va_arg(ap, int);
    }
    const void *next_ptr() override { return va_arg(ap, const void *); }
};

enum class Size { Default, Short, Long, Wide64 };

struct Spec {
    bool left = false, zero = false, alt = false, plus = false, space = false;
    int width = -1, precision = -1;
    Size size = Size::Default;
    char type = 0;
    int stars = 0;
};

// Parses flags, width, precision, size and type; '*' takes the width or
// precision from the arguments when `args` is given.
const char *parse_spec(const char *p, Spec &s, ArgSource *args) {
    for (;; p++) {
        if (*p == '-') s.left = true;
        else if (*p == '0') s.zero = true;
        else if (*p == '#') s.alt = true;
        else if (*p == '+') s.plus = true;
        else if (*p == ' ') s.space = true;
        else break;
    }
    if (*p == '*') {
        s.stars++;
        int w = args ? (int)(int32_t)args->next_int(false) : 0;
        if (w < 0) s.left = true, w = -w;
        s.width = w;
        p++;
    } else if (std::isdigit((unsigned char)*p)) {
        s.width = 0;
        while (std::isdigit((unsigned char)*p)) s.width = s.width * 10 + (*p++ - '0');
    }
    if (*p == '.') {
        p++;
        s.precision = 0;
        if (*p == '*') {
            s.stars++;
            s.precision = args ? (int)(int32_t)args->next_int(false) : 0;
            if (s.precision < 0) s.precision = -1;
            p++;
        } else {
            while (std::isdigit((unsigned char)*p)) s.precision = s.precision * 10 + (*p++ - '0');
        }
    }
    if (*p == 'h') s.size = Size::Short, p++;
    else if (*p == 'l' && p[1] == 'l') s.size = Size::Wide64, p += 2;
    else if (*p == 'l' || *p == 'w') s.size = Size::Long, p++;
    else if (!std::strncmp(p, "I64", 3)) s.size = Size::Wide64, p += 3;
    else if (!std::strncmp(p, "I32", 3)) s.size = Size::Long, p += 3;
    s.type = *p;
    return *p ? p + 1 : p;
}

void pad(std::string &out, const std::string &body, const Spec &s) {
    size_t w = s.width > 0 ? (size_t)s.width : 0;
    if (body.size() >= w) {
        out += body;
    } else if (s.left) {
        out += body;
        out.append(w - body.size(), ' ');
    } else {
        out.append(w - body.size(), ' ');
        out += body;
    }
}

std::string narrow(const WCHAR *w, int max) {
    std::string s;
    for (; *w && (max < 0 || (int)s.size() < max); w++) s += *w < 0x100 ? (char)*w : '?';
    return s;
}

bool wide_text(const Spec &s) {
    return (s.size == Size::Long) || ((s.type == 'S' || s.type == 'C') && s.size != Size::Short);
}

// Formats one conversion; false for a type this printf does not know.
bool emit(const Spec &s, ArgSource &args, std::string &out) {
    switch (s.type) {
    case 'c':
    case 'C': {
        uint64_t v = args.next_int(false);
        char c = wide_text(s) ? ((WCHAR)v < 0x100 ? (char)v : '?') : (char)v;
        pad(out, std::string(1, c), s);
        return true;
    }
    case 's':
    case 'S': {
        const void *p = args.next_ptr();
        std::string body;
        if (!p) body = "(null)";
        else if (wide_text(s)) body = narrow((const WCHAR *)p, s.precision);
        else body = s.precision >= 0 ? std::string((const char *)p, strnlen((const char *)p, s.precision))
                                     : std::string((const char *)p);
        if (s.precision >= 0 && body.size() > (size_t)s.precision) body.resize(s.precision);
        pad(out, body, s);
        return true;
    }
    case 'p': {
        char b[32];
        std::snprintf(b, sizeof b, "%0*llX", (int)(2 * sizeof(void *)), (unsigned long long)(uintptr_t)args.next_ptr());
        pad(out, b, s);
        return true;
    }
    case 'd':
    case 'i':
    case 'u':
    case 'x':
    case 'X':
    case 'o': {
        bool wide = s.size == Size::Wide64;
        uint64_t raw = args.next_int(wide);
        bool is_signed = s.type == 'd' || s.type == 'i';
        bool negative = false;
        uint64_t mag = raw;
        if (is_signed) {
            int64_t v = wide ? (int64_t)raw : (int64_t)(int32_t)(uint32_t)raw;
            if (s.size == Size::Short) v = (int16_t)v;
            negative = v < 0;
            mag = negative ? 0 - (uint64_t)v : (uint64_t)v;
        } else {
            if (!wide) mag = (uint32_t)raw;
            if (s.size == Size::Short) mag = (uint16_t)mag;
        }
        unsigned base = s.type == 'x' || s.type == 'X' ? 16 : s.type == 'o' ? 8 : 10;
        const char *digits = s.type == 'X' ? "0123456789ABCDEF" : "0123456789abcdef";
        std::string num;
        for (uint64_t m = mag; m; m /= base) num.insert(num.begin(), digits[m % base]);
        if (s.precision < 0 && num.empty()) num = "0";
        if (s.precision > 0 && num.size() < (size_t)s.precision) num.insert(0, s.precision - num.size(), '0');
        std::string prefix;
        if (negative) prefix = "-";
        else if (is_signed && s.plus) prefix = "+";
        else if (is_signed && s.space) prefix = " ";
        if (s.alt && mag && base == 16) prefix += s.type == 'X' ? "0X" : "0x";
        if (s.alt && base == 8 && (num.empty() || num[0] != '0')) num.insert(0, "0");
        if (s.zero && !s.left && s.precision < 0 && s.width > 0 && prefix.size() + num.size() < (size_t)s.width)
            num.insert(0, s.width - prefix.size() - num.size(), '0');
        pad(out, prefix + num, s);
        return true;
    }
    default: return false;
    }
}

std::string vformat(LPCSTR format, va_list ap) {
    VaArgs args(ap);
    std::string out;
    for (const char *p = format; *p;) {
        if (*p != '%') {
            out += *p++;
            continue;
        }
        p++;
        if (*p == '%') {
            out += *p++;
            continue;
        }
        Spec s;
        const char *after = parse_spec(p, s, &args);
        if (!s.type) break;
        // An unknown type is copied as it stands, as Windows does.
        if (!emit(s, args, out)) out += s.type;
        p = after;
    }
    return out;
}

// ------------------------------------------------------- system messages

struct Message {
    DWORD code;
    const char *text;
};

// The English texts of the system message table (without the trailing line
// break, which every entry has).
const Message k_messages[] = {
    {0, "The operation completed successfully."},
    {1, "Incorrect function."},
    {2, "The system cannot find the file specified."},
    {3, "The system cannot find the path specified."},
    {4, "The system cannot open the file."},
    {5, "Access is denied."},
    {6, "The handle is invalid."},
    {8, "Not enough storage is available to process this command."},
    {11, "An attempt was made to load a program with an incorrect format."},
    {12, "The access code is invalid."},
    {13, "The data is invalid."},
    {14, "Not enough storage is available to complete this operation."},
    {15, "The system cannot find the drive specified."},
    {18, "There are no more files."},
    {19, "The media is write protected."},
    {21, "The device is not ready."},
    {24, "The program issued a command but the command length is incorrect."},
    {29, "The system cannot write to the specified device."},
    {30, "The system cannot read from the specified device."},
    {31, "A device attached to the system is not functioning."},
    {32, "The process cannot access the file because it is being used by another process."},
    {38, "Reached the end of the file."},
    {39, "The disk is full."},
    {50, "The request is not supported."},
    {80, "The file exists."},
    {87, "The parameter is incorrect."},
    {112, "There is not enough space on the disk."},
    {120, "This function is not supported on this system."},
    {121, "The semaphore timeout period has expired."},
    {122, "The data area passed to a system call is too small."},
    {123, "The filename, directory name, or volume label syntax is incorrect."},
    {126, "The specified module could not be found."},
    {127, "The specified procedure could not be found."},
    {131, "An attempt was made to move the file pointer before the beginning of the file."},
    {145, "The directory is not empty."},
    {161, "The specified path is invalid."},
    {170, "The requested resource is in use."},
    {183, "Cannot create a file when that file already exists."},
    {193, "%1 is not a valid Win32 application."},
    {203, "The system could not find the environment option that was entered."},
    {206, "The filename or extension is too long."},
    {234, "More data is available."},
    {258, "The wait operation timed out."},
    {259, "No more data is available."},
    {267, "The directory name is invalid."},
    {317, "The system cannot find message text for message number 0x%1 in the message file for %2."},
    {487, "Attempt to access invalid address."},
    {995, "The I/O operation has been aborted because of either a thread exit or an application request."},
    {996, "Overlapped I/O event is not in a signaled state."},
    {997, "Overlapped I/O operation is in progress."},
    {998, "Invalid access to memory location."},
    {1003, "Cannot complete this function."},
    {1004, "Invalid flags."},
    {1010, "The configuration registry key is invalid."},
    {1011, "The configuration registry key could not be opened."},
    {1012, "The configuration registry key could not be read."},
    {1013, "The configuration registry key could not be written."},
    {1014, "One of the files in the registry database had to be recovered by use of a log or alternate copy. The "
           "recovery was successful."},
    {1015, "The registry is corrupted. The structure of one of the files containing registry data is corrupted, or "
           "the system's memory image of the file is corrupted, or the file could not be recovered because the "
           "alternate copy or log was absent or corrupted."},
    {1016, "An I/O operation initiated by the registry failed unrecoverably. The registry could not read in, or "
           "write out, or flush, one of the files that contain the system's image of the registry."},
    {1017, "The system has attempted to load or restore a file into the registry, but the specified file is not in "
           "a registry file format."},
    {1018, "Illegal operation attempted on a registry key that has been marked for deletion."},
    {1021, "Cannot create a stable subkey under a volatile parent key."},
    {1051, "A stop control has been sent to a service that other running services are dependent on."},
    {1052, "The requested control is not valid for this service."},
    {1053, "The service did not respond to the start or control request in a timely fashion."},
    {1054, "A thread could not be created for the service."},
    {1055, "The service database is locked."},
    {1056, "An instance of the service is already running."},
    {1057, "The account name is invalid or does not exist, or the password is invalid for the account name "
           "specified."},
    {1058, "The service cannot be started, either because it is disabled or because it has no enabled devices "
           "associated with it."},
    {1059, "Circular service dependency was specified."},
    {1060, "The specified service does not exist as an installed service."},
    {1061, "The service cannot accept control messages at this time."},
    {1062, "The service has not been started."},
    {1063, "The service process could not connect to the service controller."},
    {1066, "The service has returned a service-specific error code."},
    {1067, "The process terminated unexpectedly."},
    {1068, "The dependency service or group failed to start."},
    {1069, "The service did not start due to a logon failure."},
    {1070, "After starting, the service hung in a start-pending state."},
    {1072, "The specified service has been marked for deletion."},
    {1073, "The specified service already exists."},
    {1075, "The dependency service does not exist or has been marked for deletion."},
    {1077, "No attempts to start the service have been made since the last boot."},
    {1078, "The name is already in use as either a service name or a service display name."},
    {1114, "A dynamic link library (DLL) initialization routine failed."},
    {1115, "A system shutdown is in progress."},
    {1167, "The device is not connected."},
    {1168, "Element not found."},
    {1169, "There was no match for the specified key in the index."},
    {1170, "The property set specified does not exist on the object."},
    {1223, "The operation was canceled by the user."},
    {1314, "A required privilege is not held by the client."},
    {1359, "An internal error occurred."},
    {1400, "Invalid window handle."},
    {1450, "Insufficient system resources exist to complete the requested service."},
    {1460, "This operation returned because the timeout period expired."},
    {1627, "Function failed during execution."},
    {1633, "This installation package is not supported by this processor type. Contact your product vendor."},
    {1812, "The specified image file did not contain a resource section."},
    {1813, "The specified resource type cannot be found in the image file."},
    {1814, "The specified resource name cannot be found in the image file."},
    {1815, "The specified resource language ID cannot be found in the image file."},
    {3010, "The requested operation is successful. Changes will not be effective until the system is rebooted."},
    // COM results.
    {0x80004001, "Not implemented"},
    {0x80004002, "No such interface supported"},
    {0x80004003, "Invalid pointer"},
    {0x80004004, "Operation aborted"},
    {0x80004005, "Unspecified error"},
    {0x8000FFFF, "Catastrophic failure"},
    // Smart-card resource manager.
    {0x80100001, "An internal consistency check failed."},
    {0x80100002, "The action was cancelled by an SCardCancel request."},
    {0x80100003, "The supplied handle was invalid."},
    {0x80100004, "One or more of the supplied parameters could not be properly interpreted."},
    {0x80100005, "Registry startup information is missing or invalid."},
    {0x80100006, "Not enough memory available to complete this command."},
    {0x80100007, "An internal consistency timer has expired."},
    {0x80100008, "The data buffer to receive returned data is too small for the returned data."},
    {0x80100009, "The specified reader name is not recognized."},
    {0x8010000A, "The user-specified timeout value has expired."},
    {0x8010000B, "The smart card cannot be accessed because of other connections outstanding."},
    {0x8010000C, "The operation requires a Smart Card, but no Smart Card is currently in the device."},
    {0x8010000D, "The specified smart card name is not recognized."},
    {0x8010000E, "The system could not dispose of the media in the requested manner."},
    {0x8010000F, "The requested protocols are incompatible with the protocol currently in use with the smart card."},
    {0x80100010, "The reader or smart card is not ready to accept commands."},
    {0x80100011, "One or more of the supplied parameters values could not be properly interpreted."},
    {0x80100012, "The action was cancelled by the system, presumably to log off or shut down."},
    {0x80100013, "An internal communications error has been detected."},
    {0x80100014, "An internal error has been detected, but the source is unknown."},
    {0x80100015, "An ATR obtained from the registry is not a valid ATR string."},
    {0x80100016, "An attempt was made to end a non-existent transaction."},
    {0x80100017, "The specified reader is not currently available for use."},
    {0x80100018, "The operation has been aborted to allow the server application to exit."},
    {0x80100019, "The PCI Receive buffer was too small."},
    {0x8010001A, "The reader driver does not meet minimal requirements for support."},
    {0x8010001B, "The reader driver did not produce a unique reader name."},
    {0x8010001C, "The smart card does not meet minimal requirements for support."},
    {0x8010001D, "The Smart card resource manager is not running."},
    {0x8010001E, "The Smart card resource manager has shut down."},
    {0x8010001F, "An unexpected card error has occurred."},
    {0x80100022, "This smart card does not support the requested feature."},
    {0x8010002A, "The supplied PIN is incorrect."},
    {0x8010002C, "The requested certificate does not exist."},
    {0x8010002E, "Cannot find a smart card reader."},
    {0x8010002F, "A communications error with the smart card has been detected. Retry the operation."},
    {0x80100065, "The reader cannot communicate with the smart card, due to ATR configuration conflicts."},
    {0x80100066, "The smart card is not responding to a reset."},
    {0x80100067, "Power has been removed from the smart card, so that further communication is not possible."},
    {0x80100068, "The smart card has been reset, so any shared state information is invalid."},
    {0x80100069, "The smart card has been removed, so that further communication is not possible."},
    {0x8010006B, "The card cannot be accessed because the wrong PIN was presented."},
    {0x8010006C, "The card cannot be accessed because the maximum number of PIN entry attempts has been reached."},
    {0x8010006E, "The action was cancelled by the user."},
};

const char *system_message(DWORD code) {
    for (auto &m : k_messages)
        if (m.code == code) return m.text;
    // A Win32 error wrapped in an HRESULT reads as the error itself.
    if ((code & 0xFFFF0000u) == 0x80070000u) return system_message(code & 0xFFFF);
    return nullptr;
}

// The message table is English: neutral, default and English languages only.
bool language_known(DWORD lang) {
    DWORD primary = lang & 0x3FF;
    return primary == LANG_NEUTRAL || primary == 0x09;
}

// ------------------------------------------------------- FormatMessageA

// One argument slot per insert number, typed by the insert's conversion.
struct InsertArgs : ArgSource {
    const std::vector<uint64_t> &slots;
    size_t next;
    InsertArgs(const std::vector<uint64_t> &s, size_t first) : slots(s), next(first) {}
    uint64_t take() { return next < slots.size() ? slots[next++] : 0; }
    uint64_t next_int(bool) override { return take(); }
    const void *next_ptr() override { return (const void *)(uintptr_t)take(); }
};

enum class SlotKind { Pointer, Int, Int64 };

// Reads "%N" or "%N!fmt!" at p (just past '%'); returns the end, or nullptr.
const char *parse_insert(const char *p, int *number, std::string *fmt) {
    if (!std::isdigit((unsigned char)*p) || *p == '0') return nullptr;
    int n = *p++ - '0';
    if (std::isdigit((unsigned char)*p)) n = n * 10 + (*p++ - '0');
    *number = n;
    *fmt = "s";
    if (*p == '!') {
        const char *end = std::strchr(p + 1, '!');
        if (end) {
            *fmt = std::string(p + 1, end);
            p = end + 1;
        }
    }
    return p;
}

// Which argument slots each insert uses and of what type.
bool plan_slots(const std::string &text, std::vector<SlotKind> *kinds) {
    for (const char *p = text.c_str(); *p; p++) {
        if (*p != '%' || !p[1]) continue;
        int n;
        std::string fmt;
        const char *end = parse_insert(p + 1, &n, &fmt);
        if (!end) {
            p++; // skip the escaped character
            continue;
        }
        Spec s;
        parse_spec(fmt.c_str(), s, nullptr);
        size_t first = (size_t)n - 1, value = first + s.stars;
        if (kinds->size() <= value) kinds->resize(value + 1, SlotKind::Pointer);
        for (size_t i = first; i < value; i++) (*kinds)[i] = SlotKind::Int;
        bool pointer = s.type == 's' || s.type == 'S' || s.type == 'p' || !s.type;
        (*kinds)[value] = pointer ? SlotKind::Pointer : s.size == Size::Wide64 ? SlotKind::Int64 : SlotKind::Int;
        p = end - 1;
    }
    return true;
}

// Breaks lines at `width` columns at the last space (a space that ends a line
// gives way to the break); hard breaks in the text stay.
std::string wrap(const std::string &in, size_t width) {
    std::string out;
    size_t line_start = 0, last_space = std::string::npos;
    for (char c : in) {
        if (c == '\n') {
            out += c;
            line_start = out.size();
            last_space = std::string::npos;
            continue;
        }
        if (out.size() - line_start >= width && c != '\r') {
            if (last_space != std::string::npos) {
                std::string tail = out.substr(last_space + 1);
                out.erase(last_space);
                out += "\r\n";
                line_start = out.size();
                out += tail;
            } else {
                out += "\r\n";
                line_start = out.size();
            }
            last_space = std::string::npos;
            if (c == ' ') continue;
        }
        if (c == ' ') last_space = out.size();
        out += c;
    }
    return out;
}

// Expands escapes and inserts of a message text; false with the last error set.
bool expand(const std::string &text, DWORD flags, va_list *arguments, std::string *result) {
    bool ignore_inserts = (flags & FORMAT_MESSAGE_IGNORE_INSERTS) != 0;
    DWORD width = flags & FORMAT_MESSAGE_MAX_WIDTH_MASK;
    std::vector<uint64_t> slots;
    if (!ignore_inserts) {
        std::vector<SlotKind> kinds;
        plan_slots(text, &kinds);
        if (!kinds.empty() && !arguments) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return false;
        }
        if (flags & FORMAT_MESSAGE_ARGUMENT_ARRAY) {
            const DWORD_PTR *array = reinterpret_cast<const DWORD_PTR *>(arguments);
            for (size_t i = 0; i < kinds.size(); i++) slots.push_back(array[i]);
        } else {
            for (SlotKind k : kinds) {
                if (k == SlotKind::Int) slots.push_back((uint32_t)va_arg(*arguments, int));
                else if (k == SlotKind::Int64) slots.push_back((uint64_t)va_arg(*arguments, long long));
                else slots.push_back((uint64_t)(uintptr_t)va_arg(*arguments, const void *));
            }
        }
    }
    std::string out;
    for (const char *p = text.c_str(); *p;) {
        char c = *p;
        if (c == '\r' || c == '\n') {
            // Line breaks of the text stay as they are unless a width is set.
            size_t n = (c == '\r' && p[1] == '\n') ? 2 : 1;
            if (width) out += ' ';
            else out.append(p, n);
            p += n;
            continue;
        }
        if (c != '%') {
            out += c;
            p++;
            continue;
        }
        char e = p[1];
        if (!e) {
            p++;
            continue;
        }
        int n;
        std::string fmt;
        if (const char *end = parse_insert(p + 1, &n, &fmt)) {
            if (ignore_inserts) {
                out.append(p, end);
            } else {
                Spec s;
                InsertArgs args(slots, (size_t)n - 1);
                parse_spec(fmt.c_str(), s, &args);
                if (!emit(s, args, out)) out += fmt;
            }
            p = end;
            continue;
        }
        p += 2;
        switch (e) {
        case '0': *result = width && width != FORMAT_MESSAGE_MAX_WIDTH_MASK ? wrap(out, width) : out; return true;
        case 'n': out += "\r\n"; break;
        case 'r': out += '\r'; break;
        case 't': out += '\t'; break;
        default: out += e; break; // "%%", "% ", "%.", "%!" and the rest
        }
    }
    *result = width && width != FORMAT_MESSAGE_MAX_WIDTH_MASK ? wrap(out, width) : out;
    return true;
}

} // namespace

// ------------------------------------------------------------------ memory

extern "C" HLOCAL WINAPI LocalAlloc(UINT flags, SIZE_T bytes) { return heap_alloc("LocalAlloc", flags, bytes, 0); }
extern "C" HLOCAL WINAPI LocalFree(HLOCAL mem) { return heap_free(mem); }
extern "C" HGLOBAL WINAPI GlobalAlloc(UINT flags, SIZE_T bytes) {
    return heap_alloc("GlobalAlloc", flags, bytes, kShare);
}
extern "C" HGLOBAL WINAPI GlobalFree(HGLOBAL mem) { return heap_free(mem); }

extern "C" LPVOID WINAPI VirtualAlloc(LPVOID address, SIZE_T size, DWORD type, DWORD protect) {
    if (DWORD e = fault("VirtualAlloc")) {
        SetLastError(e);
        return NULL;
    }
    int prot = host_protection(protect);
    if (!size || !type || (type & ~(DWORD)(MEM_COMMIT | MEM_RESERVE)) || prot < 0 || size > kMaxBlock) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return NULL;
    }
    const uintptr_t page = page_size();
    std::lock_guard<std::mutex> lk(g_vm_mu);
    uintptr_t a = (uintptr_t)address;
    if ((type & MEM_RESERVE) || !address) {
        uintptr_t base = round_down(a, kGranularity);
        size_t len = round_up(a + size, page) - base;
        void *m;
        if (address) {
            m = mmap((void *)base, len, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE | MAP_FIXED_NOREPLACE,
                     -1, 0);
            if (m != MAP_FAILED && (uintptr_t)m != base) {
                munmap(m, len);
                m = MAP_FAILED;
            }
            if (m == MAP_FAILED) {
                SetLastError(ERROR_INVALID_ADDRESS);
                return NULL;
            }
        } else {
            // Over-map, then trim to the allocation granularity.
            size_t span = len + kGranularity;
            m = mmap(nullptr, span, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
            if (m == MAP_FAILED) {
                SetLastError(ERROR_NOT_ENOUGH_MEMORY);
                return NULL;
            }
            uintptr_t start = (uintptr_t)m;
            base = round_up(start, kGranularity);
            if (base > start) munmap(m, base - start);
            if (start + span > base + len) munmap((void *)(base + len), start + span - base - len);
        }
        if ((type & MEM_COMMIT) && prot != PROT_NONE) mprotect((void *)base, len, prot);
        regions()[base] = len;
        return (LPVOID)base;
    }
    // Commit inside a reservation.
    uintptr_t start = round_down(a, page), end = round_up(a + size, page);
    if (region_of(start, end) == regions().end()) {
        SetLastError(ERROR_INVALID_ADDRESS);
        return NULL;
    }
    mprotect((void *)start, end - start, prot);
    return (LPVOID)start;
}

extern "C" BOOL WINAPI VirtualFree(LPVOID address, SIZE_T size, DWORD type) {
    WINSIM_FAULT_BOOL("VirtualFree");
    if (type != MEM_RELEASE && type != MEM_DECOMMIT) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    std::lock_guard<std::mutex> lk(g_vm_mu);
    uintptr_t a = (uintptr_t)address;
    if (type == MEM_RELEASE) {
        // A whole reservation, named by its base and a size of 0.
        if (size != 0) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return FALSE;
        }
        auto it = regions().find(a);
        if (it == regions().end()) {
            SetLastError(ERROR_INVALID_ADDRESS);
            return FALSE;
        }
        munmap((void *)it->first, it->second);
        regions().erase(it);
        return TRUE;
    }
    const uintptr_t page = page_size();
    uintptr_t start, end;
    if (size == 0) {
        auto it = regions().find(a);
        if (it == regions().end()) {
            SetLastError(ERROR_INVALID_ADDRESS);
            return FALSE;
        }
        start = it->first;
        end = it->first + it->second;
    } else {
        start = round_down(a, page);
        end = round_up(a + size, page);
        if (region_of(start, end) == regions().end()) {
            SetLastError(ERROR_INVALID_ADDRESS);
            return FALSE;
        }
    }
    // Decommitted pages read back as zeros when committed again.
    mprotect((void *)start, end - start, PROT_NONE);
    madvise((void *)start, end - start, MADV_DONTNEED);
    return TRUE;
}

extern "C" BOOL WINAPI IsBadWritePtr(LPVOID p, UINT_PTR size) { return !accessible(p, size, 'w'); }
extern "C" BOOL WINAPI IsBadReadPtr(const void *p, UINT_PTR size) { return !accessible(p, size, 'r'); }

// ----------------------------------------------------------------- strings

extern "C" int WINAPI lstrlenA(LPCSTR s) { return s ? (int)std::strlen(s) : 0; }

extern "C" LPSTR WINAPI lstrcpyA(LPSTR dst, LPCSTR src) {
    if (!dst || !src) return NULL;
    return std::strcpy(dst, src);
}

// iMaxLength counts the terminator, which is always written.
extern "C" LPSTR WINAPI lstrcpynA(LPSTR dst, LPCSTR src, int max) {
    if (!dst || !src) return NULL;
    LPSTR d = dst;
    int count = max;
    while (count > 1 && *src) {
        *d++ = *src++;
        count--;
    }
    if (count) *d = '\0';
    return dst;
}

extern "C" LPSTR WINAPI lstrcatA(LPSTR dst, LPCSTR src) {
    if (!dst || !src) return NULL;
    return std::strcat(dst, src);
}

extern "C" int WINAPI lstrcmpA(LPCSTR a, LPCSTR b) { return compare_words(a, b, true); }
extern "C" int WINAPI lstrcmpiA(LPCSTR a, LPCSTR b) { return compare_words(a, b, false); }

// At most 1024 characters, terminator included, as the Windows buffer limit.
extern "C" int WINAPI wvsprintfA(LPSTR buffer, LPCSTR format, va_list args) {
    if (!buffer || !format) return 0;
    std::string out = vformat(format, args);
    if (out.size() > 1023) out.resize(1023);
    std::memcpy(buffer, out.data(), out.size());
    buffer[out.size()] = '\0';
    return (int)out.size();
}

extern "C" int wsprintfA(LPSTR buffer, LPCSTR format, ...) {
    va_list ap;
    va_start(ap, format);
    int n = wvsprintfA(buffer, format, ap);
    va_end(ap);
    return n;
}

// ---------------------------------------------------------------- messages

extern "C" DWORD WINAPI FormatMessageA(DWORD flags, LPCVOID source, DWORD id, DWORD lang, LPSTR buffer, DWORD size,
                                       va_list *arguments) {
    bool allocate = (flags & FORMAT_MESSAGE_ALLOCATE_BUFFER) != 0;
    if (allocate && buffer) *reinterpret_cast<LPSTR *>(buffer) = NULL;
    if (DWORD e = fault("FormatMessageA")) {
        SetLastError(e);
        return 0;
    }
    if (!buffer) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    std::string text;
    if (flags & FORMAT_MESSAGE_FROM_STRING) {
        if (!source || (flags & (FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_FROM_HMODULE))) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return 0;
        }
        text = static_cast<const char *>(source);
    } else if (flags & FORMAT_MESSAGE_FROM_SYSTEM) {
        // Module message tables are not modelled; the system table answers.
        if (!language_known(lang)) {
            SetLastError(ERROR_RESOURCE_LANG_NOT_FOUND);
            return 0;
        }
        const char *m = system_message(id);
        if (!m) {
            SetLastError(kErrorMrMidNotFound);
            return 0;
        }
        text = std::string(m) + "\r\n";
    } else if (flags & FORMAT_MESSAGE_FROM_HMODULE) {
        SetLastError(ERROR_RESOURCE_TYPE_NOT_FOUND);
        return 0;
    } else {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    std::string out;
    if (!expand(text, flags, arguments, &out)) return 0;
    if (allocate) {
        SIZE_T bytes = std::max<SIZE_T>(size, out.size() + 1);
        auto *p = static_cast<LPSTR>(LocalAlloc(LMEM_FIXED, bytes));
        if (!p) return 0; // LocalAlloc set the error
        std::memcpy(p, out.c_str(), out.size() + 1);
        *reinterpret_cast<LPSTR *>(buffer) = p;
        return (DWORD)out.size();
    }
    if (out.size() + 1 > size) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    std::memcpy(buffer, out.c_str(), out.size() + 1);
    return (DWORD)out.size();
}

// ------------------------------------------------------------- exceptions

namespace {
std::string describe_exception(DWORD code, DWORD count, const ULONG_PTR *args) {
    char hex_code[16];
    std::snprintf(hex_code, sizeof hex_code, "0x%08X", (unsigned)code);
    std::string what = std::string("unhandled exception ") + hex_code;
    const DWORD mod = VcppException(ERROR_SEVERITY_ERROR, ERROR_MOD_NOT_FOUND);
    const DWORD proc = VcppException(ERROR_SEVERITY_ERROR, ERROR_PROC_NOT_FOUND);
    if ((code == mod || code == proc) && count >= 1 && args && args[0]) {
        const auto *info = reinterpret_cast<const DelayLoadInfo *>(args[0]);
        std::string dll = info->szDll ? info->szDll : "?";
        std::string fn = info->dlp.fImportByName ? (info->dlp.szProcName ? info->dlp.szProcName : "?")
                                                  : "#" + std::to_string(info->dlp.dwOrdinal);
        what += code == mod ? " (lazy binding: module " + dll + " not found, binding " + fn + ")"
                            : " (lazy binding: " + fn + " not found in " + dll + ")";
    }
    return what;
}
} // namespace

extern "C" void WINAPI RaiseException(DWORD code, DWORD flags, DWORD count, const ULONG_PTR *args) {
    (void)flags;
    // No structured exception handling here: nothing can catch it.
    std::string what = describe_exception(code, count, args);
    if (sched::current_process_id() != sched::kProcessId) {
        // Windows ends a process on an unhandled exception with its code.
        std::fprintf(stderr, "winsim: %s in process %u; the process ends\n", what.c_str(),
                     (unsigned)sched::current_process_id());
        ExitProcess(code);
    }
    fatal(what + " in thread " + std::to_string(sched::current_thread_id()));
}
