// Memory, pointer probes, ANSI strings, wsprintfA and FormatMessageA.
#include <gtest/gtest.h>
#include <windows.h>
#include <winsim/sim.h>

#include <sys/mman.h>
#include <unistd.h>

#include <cstring>
#include <string>

namespace {

using winsim::Machine;
using winsim::Os;

constexpr DWORD kMrMidNotFound = 317;

struct KernelTest : ::testing::Test {
    std::unique_ptr<Machine> m = Machine::temporary(Os::WinXp);
};

std::string system_text(DWORD code, DWORD flags = 0) {
    char buf[512];
    DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | flags, NULL, code, 0, buf, sizeof buf, NULL);
    return n ? std::string(buf, n) : "<" + std::to_string(GetLastError()) + ">";
}

DWORD format_va(DWORD flags, const char *fmt, char *buf, DWORD size, ...) {
    va_list ap;
    va_start(ap, size);
    DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_STRING | flags, fmt, 0, 0, buf, size, &ap);
    va_end(ap);
    return n;
}

std::string format_string(const char *fmt, ...) {
    char buf[256];
    va_list ap;
    va_start(ap, fmt);
    DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_STRING, fmt, 0, 0, buf, sizeof buf, &ap);
    va_end(ap);
    return n ? std::string(buf, n) : "<" + std::to_string(GetLastError()) + ">";
}

// ---------------------------------------------------------- FormatMessageA

TEST_F(KernelTest, SystemMessagesAreTheWindowsTexts) {
    EXPECT_EQ(system_text(ERROR_FILE_NOT_FOUND), "The system cannot find the file specified.\r\n");
    EXPECT_EQ(system_text(ERROR_ACCESS_DENIED), "Access is denied.\r\n");
    EXPECT_EQ(system_text(ERROR_SUCCESS), "The operation completed successfully.\r\n");
    EXPECT_EQ(system_text(ERROR_SERVICE_DOES_NOT_EXIST),
              "The specified service does not exist as an installed service.\r\n");
    EXPECT_EQ(system_text(WAIT_TIMEOUT), "The wait operation timed out.\r\n");
    EXPECT_EQ(system_text((DWORD)HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED)), "Access is denied.\r\n");
    // Every error the platform can report has a text.
    const DWORD codes[] = {
        ERROR_INVALID_FUNCTION, ERROR_FILE_NOT_FOUND, ERROR_PATH_NOT_FOUND, ERROR_TOO_MANY_OPEN_FILES,
        ERROR_ACCESS_DENIED, ERROR_INVALID_HANDLE, ERROR_NOT_ENOUGH_MEMORY, ERROR_BAD_FORMAT,
        ERROR_INVALID_ACCESS, ERROR_INVALID_DATA, ERROR_OUTOFMEMORY, ERROR_INVALID_DRIVE, ERROR_NO_MORE_FILES,
        ERROR_WRITE_PROTECT, ERROR_NOT_READY, ERROR_BAD_LENGTH, ERROR_GEN_FAILURE, ERROR_SHARING_VIOLATION,
        ERROR_HANDLE_EOF, ERROR_HANDLE_DISK_FULL, ERROR_NOT_SUPPORTED, ERROR_FILE_EXISTS, ERROR_INVALID_PARAMETER,
        ERROR_DISK_FULL, ERROR_CALL_NOT_IMPLEMENTED, ERROR_SEM_TIMEOUT, ERROR_INSUFFICIENT_BUFFER,
        ERROR_INVALID_NAME, ERROR_MOD_NOT_FOUND, ERROR_PROC_NOT_FOUND, ERROR_DIR_NOT_EMPTY, ERROR_BAD_PATHNAME,
        ERROR_BUSY, ERROR_ALREADY_EXISTS, ERROR_BAD_EXE_FORMAT, ERROR_ENVVAR_NOT_FOUND, ERROR_FILENAME_EXCED_RANGE,
        ERROR_MORE_DATA, WAIT_TIMEOUT, ERROR_NO_MORE_ITEMS, ERROR_DIRECTORY, ERROR_INVALID_ADDRESS,
        ERROR_IO_INCOMPLETE, ERROR_IO_PENDING, ERROR_NOACCESS, ERROR_INVALID_FLAGS, ERROR_CANTOPEN, ERROR_CANTREAD,
        ERROR_CANTWRITE, ERROR_REGISTRY_RECOVERED, ERROR_REGISTRY_CORRUPT, ERROR_REGISTRY_IO_FAILED,
        ERROR_NOT_REGISTRY_FILE, ERROR_KEY_DELETED, ERROR_CHILD_MUST_BE_VOLATILE, ERROR_DEPENDENT_SERVICES_RUNNING,
        ERROR_INVALID_SERVICE_CONTROL, ERROR_SERVICE_REQUEST_TIMEOUT, ERROR_SERVICE_NO_THREAD,
        ERROR_SERVICE_DATABASE_LOCKED, ERROR_SERVICE_ALREADY_RUNNING, ERROR_INVALID_SERVICE_ACCOUNT,
        ERROR_SERVICE_DISABLED, ERROR_CIRCULAR_DEPENDENCY, ERROR_SERVICE_DOES_NOT_EXIST,
        ERROR_SERVICE_CANNOT_ACCEPT_CTRL, ERROR_SERVICE_NOT_ACTIVE, ERROR_SERVICE_SPECIFIC_ERROR,
        ERROR_PROCESS_ABORTED, ERROR_SERVICE_DEPENDENCY_FAIL, ERROR_SERVICE_MARKED_FOR_DELETE, ERROR_SERVICE_EXISTS,
        ERROR_DEVICE_NOT_CONNECTED, ERROR_NOT_FOUND, ERROR_DLL_INIT_FAILED, ERROR_INVALID_WINDOW_HANDLE,
        ERROR_TIMEOUT, ERROR_INSTALL_PLATFORM_UNSUPPORTED, ERROR_RESOURCE_DATA_NOT_FOUND,
        ERROR_RESOURCE_TYPE_NOT_FOUND, ERROR_RESOURCE_NAME_NOT_FOUND, ERROR_RESOURCE_LANG_NOT_FOUND,
        ERROR_PRIVILEGE_NOT_HELD};
    for (DWORD c : codes) {
        std::string t = system_text(c, FORMAT_MESSAGE_IGNORE_INSERTS);
        EXPECT_GT(t.size(), 3u) << c;
        EXPECT_EQ(t.substr(t.size() - 2), "\r\n") << c << ": " << t;
        EXPECT_NE(t[0], '<') << c;
    }
}

TEST_F(KernelTest, FormatMessageFailuresAndSizeRules) {
    char buf[64];
    EXPECT_EQ(FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM, NULL, 0x2345, 0, buf, sizeof buf, NULL), 0u);
    EXPECT_EQ(GetLastError(), kMrMidNotFound);
    EXPECT_EQ(FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM, NULL, 5, MAKELANGID(0x07, SUBLANG_DEFAULT), buf,
                             sizeof buf, NULL),
              0u);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_RESOURCE_LANG_NOT_FOUND);
    EXPECT_EQ(FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM, NULL, 5, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), buf,
                             sizeof buf, NULL),
              19u);

    // "Access is denied.\r\n" is 19 characters: it needs 20.
    SetLastError(0);
    EXPECT_EQ(FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM, NULL, 5, 0, buf, 19, NULL), 0u);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM, NULL, 5, 0, buf, 20, NULL), 19u);
    EXPECT_STREQ(buf, "Access is denied.\r\n");

    // A message with inserts needs arguments unless they are ignored.
    EXPECT_EQ(FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM, NULL, ERROR_BAD_EXE_FORMAT, 0, buf, sizeof buf, NULL), 0u);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
    EXPECT_EQ(system_text(ERROR_BAD_EXE_FORMAT, FORMAT_MESSAGE_IGNORE_INSERTS),
              "%1 is not a valid Win32 application.\r\n");
    // The line width mask turns the text's own line breaks into spaces.
    EXPECT_EQ(system_text(5, FORMAT_MESSAGE_MAX_WIDTH_MASK), "Access is denied. ");

    winsim::faults::fail("FormatMessageA", ERROR_NOT_ENOUGH_MEMORY);
    EXPECT_EQ(system_text(5), "<8>");
}

TEST_F(KernelTest, FormatMessageAllocatesWithLocalAlloc) {
    LPSTR p = (LPSTR)0x1;
    DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_ALLOCATE_BUFFER, NULL, 2, 0, (LPSTR)&p, 0,
                             NULL);
    ASSERT_EQ(n, 44u);
    EXPECT_STREQ(p, "The system cannot find the file specified.\r\n");
    EXPECT_EQ(LocalFree(p), (HLOCAL)NULL);
    // nSize is the least to allocate.
    n = FormatMessageA(FORMAT_MESSAGE_FROM_STRING | FORMAT_MESSAGE_ALLOCATE_BUFFER, "ok", 0, 0, (LPSTR)&p, 4096,
                       NULL);
    ASSERT_EQ(n, 2u);
    std::memset(p, 'x', 4096); // all of it is ours
    EXPECT_EQ(LocalFree(p), (HLOCAL)NULL);
    // The allocation can fail like any other.
    winsim::faults::fail("LocalAlloc", ERROR_NOT_ENOUGH_MEMORY);
    p = (LPSTR)0x1;
    EXPECT_EQ(FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_ALLOCATE_BUFFER, NULL, 2, 0, (LPSTR)&p, 0,
                             NULL),
              0u);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_NOT_ENOUGH_MEMORY);
    EXPECT_EQ(p, (LPSTR)NULL);
}

TEST_F(KernelTest, FormatMessageInsertsAndEscapes) {
    EXPECT_EQ(format_string("%1 and %2!d! and %3!08lX!", "abc", -5, 0xBEEFu), "abc and -5 and 0000BEEF");
    EXPECT_EQ(format_string("%2 before %1", "one", "two"), "two before one");
    EXPECT_EQ(format_string("%1%1 %2!5s!|%2!-5s!|", "x", "ab"), "xx    ab|ab   |");
    EXPECT_EQ(format_string("100%% done%n%tnext%0 not shown"), "100% done\r\n\tnext");
    EXPECT_EQ(format_string("%10!c!%11!u!", "", "", "", "", "", "", "", "", "", 'Z', 77u), "Z77");
    EXPECT_EQ(format_string("plain\nline"), "plain\nline");
    EXPECT_EQ(format_string("%1!*d!|", 5, 42), "   42|");

    DWORD_PTR array[] = {(DWORD_PTR) "disk", 3};
    char buf[64];
    EXPECT_EQ(FormatMessageA(FORMAT_MESSAGE_FROM_STRING | FORMAT_MESSAGE_ARGUMENT_ARRAY, "%1 has %2!u! files", 0, 0,
                             buf, sizeof buf, (va_list *)array),
              16u);
    EXPECT_STREQ(buf, "disk has 3 files");
    EXPECT_EQ(format_va(FORMAT_MESSAGE_IGNORE_INSERTS, "%1 and %2!d!%n", buf, sizeof buf), 14u);
    EXPECT_STREQ(buf, "%1 and %2!d!\r\n");
    EXPECT_EQ(format_va(0, "%1", buf, 4, "long"), 0u);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INSUFFICIENT_BUFFER);

    // A line width wraps at spaces.
    EXPECT_EQ(format_va(20, "The quick brown fox jumps over the lazy dog", buf, sizeof buf), 45u);
    EXPECT_STREQ(buf, "The quick brown fox\r\njumps over the lazy\r\ndog");
}

// ------------------------------------------------------------------ memory

TEST_F(KernelTest, LocalAndGlobalBlocks) {
    auto *p = static_cast<unsigned char *>(LocalAlloc(LPTR, 100));
    ASSERT_NE(p, nullptr);
    for (int i = 0; i < 100; i++) ASSERT_EQ(p[i], 0) << i;
    EXPECT_EQ(LocalFree(p), (HLOCAL)NULL);
    // Freeing twice is refused, not a crash.
    EXPECT_EQ(LocalFree(p), (HLOCAL)p);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_HANDLE);
    EXPECT_EQ(LocalFree(NULL), (HLOCAL)NULL);

    HGLOBAL g = GlobalAlloc(GPTR, 0);
    ASSERT_NE(g, (HGLOBAL)NULL) << "a zero-byte block is still a block";
    EXPECT_EQ(GlobalFree(g), (HGLOBAL)NULL);

    EXPECT_EQ(LocalAlloc(0x8000, 4), (HLOCAL)NULL);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
    winsim::faults::fail("LocalAlloc", ERROR_NOT_ENOUGH_MEMORY, 1, 1);
    HLOCAL ok = LocalAlloc(LMEM_FIXED, 8);
    EXPECT_NE(ok, (HLOCAL)NULL);
    EXPECT_EQ(LocalAlloc(LMEM_FIXED, 8), (HLOCAL)NULL);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_NOT_ENOUGH_MEMORY);
    LocalFree(ok);
}

TEST_F(KernelTest, VirtualMemoryReserveCommitDecommitRelease) {
    const SIZE_T page = (SIZE_T)sysconf(_SC_PAGESIZE);
    auto *p = static_cast<unsigned char *>(VirtualAlloc(NULL, 3 * page, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
    ASSERT_NE(p, nullptr);
    EXPECT_EQ((uintptr_t)p % 0x10000, 0u) << "reservations start on the allocation granularity";
    EXPECT_EQ(p[0] + p[3 * page - 1], 0);
    p[5] = 7;
    EXPECT_FALSE(IsBadWritePtr(p, 3 * page));

    // Decommitted pages are gone; committed again they read as zeros.
    ASSERT_TRUE(VirtualFree(p + page, page, MEM_DECOMMIT));
    EXPECT_TRUE(IsBadReadPtr(p + page, 1));
    EXPECT_FALSE(IsBadReadPtr(p, page));
    EXPECT_EQ(VirtualAlloc(p + page + 10, 1, MEM_COMMIT, PAGE_READONLY), (LPVOID)(p + page));
    EXPECT_FALSE(IsBadReadPtr(p + page, page));
    EXPECT_TRUE(IsBadWritePtr(p + page, 1));
    EXPECT_EQ(p[page], 0);
    EXPECT_EQ(p[5], 7);

    // Releasing takes the base and a size of 0.
    EXPECT_FALSE(VirtualFree(p, 3 * page, MEM_RELEASE));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
    EXPECT_FALSE(VirtualFree(p + page, 0, MEM_RELEASE));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_ADDRESS);
    EXPECT_TRUE(VirtualFree(p, 0, MEM_RELEASE));
    EXPECT_TRUE(IsBadReadPtr(p, 1));
    EXPECT_FALSE(VirtualFree(p, 0, MEM_RELEASE));

    // Reserved only: nothing is accessible until committed.
    auto *r = static_cast<unsigned char *>(VirtualAlloc(NULL, 2 * page, MEM_RESERVE, PAGE_READWRITE));
    ASSERT_NE(r, nullptr);
    EXPECT_TRUE(IsBadReadPtr(r, 1));
    ASSERT_EQ(VirtualAlloc(r, page, MEM_COMMIT, PAGE_READWRITE), (LPVOID)r);
    r[0] = 1;
    EXPECT_TRUE(IsBadReadPtr(r, page + 1)) << "the range runs into the uncommitted page";
    EXPECT_TRUE(VirtualFree(r, 0, MEM_RELEASE));
    // Committing outside any reservation.
    EXPECT_EQ(VirtualAlloc(r, page, MEM_COMMIT, PAGE_READWRITE), (LPVOID)NULL);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_ADDRESS);

    EXPECT_EQ(VirtualAlloc(NULL, page, MEM_COMMIT, 0x40 /* PAGE_EXECUTE_READWRITE */), (LPVOID)NULL);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
    EXPECT_EQ(VirtualAlloc(NULL, 0, MEM_COMMIT, PAGE_READWRITE), (LPVOID)NULL);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
    winsim::faults::fail("VirtualAlloc", ERROR_NOT_ENOUGH_MEMORY);
    EXPECT_EQ(VirtualAlloc(NULL, page, MEM_COMMIT, PAGE_READWRITE), (LPVOID)NULL);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_NOT_ENOUGH_MEMORY);
}

TEST_F(KernelTest, PointerProbes) {
    const size_t page = (size_t)sysconf(_SC_PAGESIZE);
    void *ro = mmap(nullptr, 2 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(ro, MAP_FAILED);
    auto *c = static_cast<char *>(ro);
    ASSERT_EQ(mprotect(c, page, PROT_READ), 0);
    ASSERT_EQ(munmap(c + page, page), 0);
    EXPECT_TRUE(IsBadWritePtr(c, 1));
    EXPECT_FALSE(IsBadReadPtr(c, page));
    EXPECT_TRUE(IsBadReadPtr(c + page - 4, 8)) << "runs off the end of the mapping";
    ASSERT_EQ(mprotect(c, page, PROT_NONE), 0);
    EXPECT_TRUE(IsBadReadPtr(c, 1));
    munmap(c, page);

    char local[16];
    EXPECT_FALSE(IsBadWritePtr(local, sizeof local));
    EXPECT_TRUE(IsBadWritePtr((LPVOID) "literal", 4));
    EXPECT_TRUE(IsBadWritePtr(NULL, 1));
    EXPECT_TRUE(IsBadReadPtr(NULL, 1));
    EXPECT_FALSE(IsBadWritePtr(NULL, 0)) << "a zero size is never bad";
    EXPECT_FALSE(IsBadReadPtr((const void *)16, 0));
    EXPECT_TRUE(IsBadReadPtr((const void *)~(uintptr_t)7, 16)) << "wraps around";
}

// ----------------------------------------------------------------- strings

std::string ws(const char *fmt, ...) {
    char buf[1100];
    std::memset(buf, '#', sizeof buf);
    va_list ap;
    va_start(ap, fmt);
    int n = wvsprintfA(buf, fmt, ap);
    va_end(ap);
    EXPECT_EQ(buf[n], '\0');
    return std::string(buf, n);
}

TEST_F(KernelTest, WsprintfFormats) {
    EXPECT_EQ(ws("%s|%c|%d|%i|%u", "txt", 'q', -12, 34, 56u), "txt|q|-12|34|56");
    EXPECT_EQ(ws("[%5d][%-5d][%05d][%.3d]", 42, 42, -42, 7), "[   42][42   ][-0042][007]");
    EXPECT_EQ(ws("%x %X %#x %#X %08lX", 0xabcu, 0xabcu, 255u, 255u, 0x1A2Bu), "abc ABC 0xff 0XFF 00001A2B");
    // long is 32 bits on Windows.
    EXPECT_EQ(ws("%lu %ld %lx", 0xFFFFFFFFu, -1, 0xFFFFFFFFu), "4294967295 -1 ffffffff");
    EXPECT_EQ(ws("%u", -1), "4294967295");
    EXPECT_EQ(ws("[%.2s][%6s][%-6s]", "abcdef", "ab", "ab"), "[ab][    ab][ab    ]");
    EXPECT_EQ(ws("%s", (const char *)NULL), "(null)");
    const WCHAR wide[] = {'W', 'i', 'd', 'e', 0};
    EXPECT_EQ(ws("%ls %S %hs", wide, wide, "narrow"), "Wide Wide narrow");
    EXPECT_EQ(ws("100%% %y"), "100% y");
    EXPECT_EQ(ws("%I64u", 12345678901234ULL), "12345678901234");

    std::string big(2000, 'a');
    std::string out = ws("%s", big.c_str());
    EXPECT_EQ(out.size(), 1023u) << "the Windows 1024-byte limit";

    char buf[32];
    EXPECT_EQ(wsprintfA(buf, "%s-%d", "n", 5), 3);
    EXPECT_STREQ(buf, "n-5");
}

TEST_F(KernelTest, AnsiStringCalls) {
    char buf[8];
    std::memset(buf, 'X', sizeof buf);
    EXPECT_EQ(lstrcpynA(buf, "hello world", 5), buf);
    EXPECT_STREQ(buf, "hell") << "the length counts the terminator";
    EXPECT_EQ(buf[5], 'X');
    lstrcpynA(buf, "hello", 1);
    EXPECT_STREQ(buf, "");
    buf[0] = 'Q';
    lstrcpynA(buf, "hello", 0);
    EXPECT_EQ(buf[0], 'Q') << "no room, not even for the terminator";
    lstrcpynA(buf, "abc", 8);
    EXPECT_STREQ(buf, "abc");
    EXPECT_EQ(lstrcpynA(NULL, "x", 3), (LPSTR)NULL);

    EXPECT_EQ(lstrlenA(NULL), 0);
    EXPECT_EQ(lstrlenA("four"), 4);
    char cat[16] = "ab";
    EXPECT_EQ(lstrcatA(cat, "cd"), cat);
    EXPECT_STREQ(lstrcpyA(cat + 4, "ef"), "ef");
    EXPECT_STREQ(cat, "abcdef");

    EXPECT_EQ(lstrcmpiA("Service", "SERVICE"), 0);
    EXPECT_LT(lstrcmpiA("abc", "ABD"), 0);
    EXPECT_GT(lstrcmpA("b", "A"), 0) << "letters compare alphabetically first";
    EXPECT_LT(lstrcmpA("abc", "ABC"), 0) << "then lower case first";
    EXPECT_LT(lstrcmpA("_x", "a"), 0);
    EXPECT_LT(lstrcmpA("9", "a"), 0);
    EXPECT_NE(lstrcmpA("co-op", "coop"), 0);
    EXPECT_EQ(lstrcmpA(NULL, NULL), 0);
    EXPECT_LT(lstrcmpA(NULL, "a"), 0);
}

} // namespace
