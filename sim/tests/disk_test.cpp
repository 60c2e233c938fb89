// Drive C:, the Win32 file calls and the disk control helpers.
#include <gtest/gtest.h>
#include <windows.h>
#include <winsim/sim.h>

#include "../src/disk.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

namespace {

using winsim::Machine;
using winsim::Os;
namespace disk = winsim::disk;
namespace fs = std::filesystem;

struct DiskTest : ::testing::Test {
    std::unique_ptr<Machine> m = Machine::temporary(Os::WinXp);
};

HANDLE open(const char *path, DWORD access, DWORD disposition, DWORD share = FILE_SHARE_READ, DWORD flags = 0) {
    return CreateFileA(path, access, share, NULL, disposition, flags, NULL);
}

bool put(const char *path, const std::string &text) {
    HANDLE h = open(path, GENERIC_WRITE, CREATE_ALWAYS);
    if (h == INVALID_HANDLE_VALUE) return false;
    DWORD n = 0;
    BOOL ok = WriteFile(h, text.data(), (DWORD)text.size(), &n, NULL);
    CloseHandle(h);
    return ok && n == text.size();
}

std::string get(const char *path) {
    HANDLE h = open(path, GENERIC_READ, OPEN_EXISTING);
    if (h == INVALID_HANDLE_VALUE) return "<" + std::to_string(GetLastError()) + ">";
    char buf[256];
    DWORD n = 0;
    ReadFile(h, buf, sizeof buf, &n, NULL);
    CloseHandle(h);
    return std::string(buf, n);
}

// Names FindFirstFileA/FindNextFileA return for a pattern, in order, or the error.
std::vector<std::string> find(const char *pattern) {
    WIN32_FIND_DATAA fd;
    HANDLE h = FindFirstFileA(pattern, &fd);
    if (h == INVALID_HANDLE_VALUE) return {"<" + std::to_string(GetLastError()) + ">"};
    std::vector<std::string> names;
    do names.push_back(fd.cFileName);
    while (FindNextFileA(h, &fd));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_NO_MORE_FILES);
    FindClose(h);
    return names;
}

std::string full(const char *path, std::string *file_part = nullptr) {
    char buf[MAX_PATH];
    LPSTR part = nullptr;
    DWORD n = GetFullPathNameA(path, sizeof buf, buf, &part);
    if (!n) return "<" + std::to_string(GetLastError()) + ">";
    if (file_part) *file_part = part ? part : "(null)";
    return std::string(buf, n);
}

// ------------------------------------------------------------------ paths

TEST_F(DiskTest, NamesAreFoundWhateverTheirCaseAndKeepTheirOwn) {
    ASSERT_TRUE(CreateDirectoryA("C:\\Data", NULL));
    ASSERT_TRUE(put("C:\\Data\\Report.TXT", "hello"));
    EXPECT_EQ(get("c:/data/report.txt"), "hello");
    EXPECT_EQ(get("C:\\DATA\\REPORT.TXT"), "hello");
    EXPECT_TRUE(fs::exists(m->dir() + "/c/Data/Report.TXT"));
    EXPECT_EQ(m->host_path("c:\\data\\REPORT.txt"), m->dir() + "/c/Data/Report.TXT");
    EXPECT_EQ(m->host_path("C:\\data\\new\\File"), m->dir() + "/c/Data/new/File");
    EXPECT_EQ(m->host_path("D:\\x"), "");
    EXPECT_EQ(find("C:\\DATA\\*.txt"), std::vector<std::string>{"Report.TXT"});

    // An existing name is the same file; no second spelling appears.
    EXPECT_EQ(open("C:\\DATA\\report.txt", GENERIC_WRITE, CREATE_NEW), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_FILE_EXISTS);
    ASSERT_TRUE(put("c:\\data\\REPORT.txt", "again"));
    EXPECT_EQ(find("C:\\Data\\*"), (std::vector<std::string>{".", "..", "Report.TXT"}));
    EXPECT_EQ(CreateDirectoryA("c:\\DATA", NULL), FALSE);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_ALREADY_EXISTS);
}

TEST_F(DiskTest, RelativePathsFollowTheCurrentDirectory) {
    char buf[MAX_PATH];
    EXPECT_EQ(GetCurrentDirectoryA(sizeof buf, buf), 3u);
    EXPECT_STREQ(buf, "C:\\");
    EXPECT_EQ(GetCurrentDirectoryA(3, buf), 4u); // too small: size needed with the terminator

    ASSERT_TRUE(SetCurrentDirectoryA("c:\\windows\\temp\\"));
    EXPECT_EQ(GetCurrentDirectoryA(sizeof buf, buf), 15u);
    EXPECT_STREQ(buf, "c:\\windows\\temp");
    ASSERT_TRUE(put("note.txt", "n"));
    EXPECT_TRUE(disk::exists("C:\\WINDOWS\\TEMP\\NOTE.TXT"));
    EXPECT_EQ(get("..\\temp\\.\\note.txt"), "n");
    EXPECT_EQ(get("\\WINDOWS\\TEMP\\note.txt"), "n");
    EXPECT_EQ(get("C:note.txt"), "n");

    std::string part;
    EXPECT_EQ(full("..\\a\\.\\b.txt", &part), "c:\\windows\\a\\b.txt");
    EXPECT_EQ(part, "b.txt");
    EXPECT_EQ(full("C:\\x\\y\\", &part), "C:\\x\\y\\");
    EXPECT_EQ(part, "(null)");
    EXPECT_EQ(full("\\top"), "c:\\top");
    EXPECT_EQ(full("D:rel"), "D:\\rel");
    EXPECT_EQ(full("C:\\a\\..\\..\\..\\b"), "C:\\b");
    EXPECT_EQ(full("C:\\dir\\file. . "), "C:\\dir\\file");
    EXPECT_EQ(full("C:/mixed//slashes"), "C:\\mixed\\slashes");
    EXPECT_EQ(full("\\\\server\\share\\a\\..\\b"), "\\\\server\\share\\b");
    EXPECT_EQ(full("\\\\.\\QUVATOK0", &part), "\\\\.\\QUVATOK0");
    EXPECT_EQ(part, "QUVATOK0");
    EXPECT_EQ(GetFullPathNameA("C:\\abc", 4, buf, NULL), 7u);

    EXPECT_FALSE(SetCurrentDirectoryA("C:\\nowhere"));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_FILE_NOT_FOUND);
    EXPECT_FALSE(SetCurrentDirectoryA("note.txt"));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_DIRECTORY);
    // The current directory is in use and cannot be removed.
    ASSERT_TRUE(CreateDirectoryA("C:\\cwd", NULL));
    ASSERT_TRUE(SetCurrentDirectoryA("C:\\cwd"));
    EXPECT_FALSE(RemoveDirectoryA("C:\\CWD"));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_SHARING_VIOLATION);
    EXPECT_FALSE(MoveFileA("C:\\cwd", "C:\\cwd2"));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_SHARING_VIOLATION);
}

TEST_F(DiskTest, LongNamesOtherDrivesAndDevices) {
    std::string too_long = "C:\\" + std::string(258, 'a'); // 261 characters
    EXPECT_EQ(GetFileAttributesA(too_long.c_str()), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_FILENAME_EXCED_RANGE);
    // Short enough as written, too long once the current directory is added.
    ASSERT_TRUE(SetCurrentDirectoryA("C:\\Program Files"));
    std::string rel(250, 'b');
    EXPECT_EQ(open(rel.c_str(), GENERIC_WRITE, CREATE_NEW), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_PATH_NOT_FOUND);
    std::string dir = "C:\\" + std::string(246, 'd'); // 249: no room left for an 8.3 name
    EXPECT_FALSE(CreateDirectoryA(dir.c_str(), NULL));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_FILENAME_EXCED_RANGE);

    ASSERT_TRUE(put("C:\\file", "f"));
    for (const char *p : {"C:\\file\\y", "D:\\x.txt", "A:\\x.txt", "\\\\server\\share\\x.txt", "C:\\no\\such\\x.txt",
                          "C:\\WINDOWS\\x\\y"}) {
        EXPECT_EQ(open(p, GENERIC_READ, OPEN_EXISTING), INVALID_HANDLE_VALUE) << p;
        EXPECT_EQ(GetLastError(), (DWORD)ERROR_PATH_NOT_FOUND) << p;
    }
    EXPECT_EQ(open("C:\\a<b", GENERIC_WRITE, CREATE_NEW), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_NAME);
    EXPECT_EQ(open("C:\\*.txt", GENERIC_WRITE, CREATE_NEW), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_NAME);
    EXPECT_EQ(open("", GENERIC_READ, OPEN_EXISTING), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_PATH_NOT_FOUND);

    // "\\\\.\\" names go to whatever a driver registered, never to the disk.
    EXPECT_EQ(open("\\\\.\\QUVATOK0", GENERIC_READ, OPEN_EXISTING), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_FILE_NOT_FOUND);
    struct Echo : winsim::FileObject {
        DWORD read(void *b, DWORD n, DWORD *done, LPOVERLAPPED) override {
            std::memset(b, 'e', n);
            *done = n;
            return 0;
        }
    };
    std::string seen;
    DWORD seen_flags = 0;
    winsim::D().add_device("QuvaTok0", [&](const std::string &name, DWORD, DWORD, DWORD flags,
                                           std::shared_ptr<winsim::FileObject> *o) {
        seen = name;
        seen_flags = flags;
        *o = std::make_shared<Echo>();
        return (DWORD)0;
    });
    auto before = winsim::handles::open();
    HANDLE h = open("//./quvatok0", GENERIC_READ, OPEN_EXISTING, 0, FILE_FLAG_OVERLAPPED);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(seen, "quvatok0");
    EXPECT_EQ(seen_flags, (DWORD)FILE_FLAG_OVERLAPPED);
    char b[3];
    DWORD n = 0;
    EXPECT_TRUE(ReadFile(h, b, 3, &n, NULL));
    EXPECT_EQ(std::string(b, n), "eee");
    EXPECT_FALSE(WriteFile(h, b, 3, &n, NULL));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_FUNCTION);
    EXPECT_EQ(winsim::handles::leaks_since(before), "1 file");
    EXPECT_TRUE(CloseHandle(h));
    EXPECT_EQ(winsim::handles::leaks_since(before), "");
    EXPECT_FALSE(disk::exists("C:\\quvatok0"));
}

// -------------------------------------------------------------- searches

TEST(Wildcards, FollowTheDosRules) {
    using winsim::wildcard_match;
    EXPECT_TRUE(wildcard_match("*.*", "readme"));
    EXPECT_TRUE(wildcard_match("*.*", "a.b.c"));
    EXPECT_TRUE(wildcard_match("*", ".."));
    EXPECT_TRUE(wildcard_match("*.INF", "setup.inf"));
    EXPECT_FALSE(wildcard_match("*.inf", "setup.inf.bak"));
    EXPECT_TRUE(wildcard_match("*.inf", "a.b.inf"));
    EXPECT_TRUE(wildcard_match("*.", "readme"));
    EXPECT_FALSE(wildcard_match("*.", "read.me"));
    EXPECT_TRUE(wildcard_match("a?c", "abc"));
    EXPECT_FALSE(wildcard_match("a?c", "ac"));
    EXPECT_FALSE(wildcard_match("a?c", "a.c"));
    EXPECT_TRUE(wildcard_match("ab?", "ab")); // '?' may match nothing at the end
    EXPECT_TRUE(wildcard_match("ab?.txt", "ab.txt")); // or before a dot
    EXPECT_FALSE(wildcard_match("ab?", "abcd"));
    EXPECT_TRUE(wildcard_match("qu*a*.sys", "QuvaUsbA.SYS"));
    EXPECT_FALSE(wildcard_match("qu*b.sys", "quvab2.sys"));
    EXPECT_TRUE(wildcard_match("x.*", "x"));
    EXPECT_TRUE(wildcard_match("oem*.inf", "oem12.inf"));
    EXPECT_FALSE(wildcard_match("oem?.inf", "oem12.inf"));
}

TEST_F(DiskTest, SearchesListEntriesWithTheirDetails) {
    ASSERT_TRUE(CreateDirectoryA("C:\\Drv", NULL));
    for (const char *f : {"C:\\Drv\\b.TXT", "C:\\Drv\\a.txt", "C:\\Drv\\readme", "C:\\Drv\\setup.inf"})
        ASSERT_TRUE(put(f, "12345"));
    ASSERT_TRUE(CreateDirectoryA("C:\\Drv\\Sub", NULL));
    ASSERT_TRUE(SetFileAttributesA("C:\\Drv\\setup.inf", FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN));

    EXPECT_EQ(find("C:\\Drv\\*.txt"), (std::vector<std::string>{"a.txt", "b.TXT"}));
    EXPECT_EQ(find("C:\\drv\\*.*"),
              (std::vector<std::string>{".", "..", "a.txt", "b.TXT", "readme", "setup.inf", "Sub"}));
    EXPECT_EQ(find("c:\\drv\\*."), (std::vector<std::string>{".", "..", "readme", "Sub"}));
    EXPECT_EQ(find("C:\\Drv\\?.txt"), (std::vector<std::string>{"a.txt", "b.TXT"}));
    EXPECT_EQ(find("C:\\drv\\SETUP.INF"), std::vector<std::string>{"setup.inf"});
    EXPECT_EQ(find("C:\\drv"), std::vector<std::string>{"Drv"});
    // The root of the drive has no "." and "..".
    std::vector<std::string> root = find("C:\\*");
    EXPECT_EQ(std::count(root.begin(), root.end(), "Drv"), 1);
    EXPECT_EQ(std::count(root.begin(), root.end(), "."), 0);
    EXPECT_EQ(std::count(root.begin(), root.end(), ".."), 0);
    ASSERT_TRUE(SetCurrentDirectoryA("C:\\Drv"));
    EXPECT_EQ(find("*.inf"), std::vector<std::string>{"setup.inf"});

    WIN32_FIND_DATAA fd;
    HANDLE h = FindFirstFileA("C:\\Drv\\S*", &fd);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_STREQ(fd.cFileName, "setup.inf");
    EXPECT_EQ(fd.dwFileAttributes, (DWORD)(FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN));
    EXPECT_EQ(fd.nFileSizeLow, 5u);
    EXPECT_NE(fd.ftLastWriteTime.dwHighDateTime, 0u);
    ASSERT_TRUE(FindNextFileA(h, &fd));
    EXPECT_STREQ(fd.cFileName, "Sub");
    EXPECT_EQ(fd.dwFileAttributes, (DWORD)FILE_ATTRIBUTE_DIRECTORY);
    EXPECT_FALSE(FindNextFileA(h, &fd));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_NO_MORE_FILES);
    EXPECT_FALSE(CloseHandle(h)); // searches close with FindClose only
    EXPECT_TRUE(FindClose(h));
    EXPECT_FALSE(FindClose(h));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_HANDLE);

    EXPECT_EQ(find("C:\\Drv\\*.sys"), std::vector<std::string>{"<2>"});
    EXPECT_EQ(find("C:\\Nowhere\\*"), std::vector<std::string>{"<3>"});
    EXPECT_EQ(find("C:\\Drv\\a.txt\\*"), std::vector<std::string>{"<3>"});
    EXPECT_EQ(find("C:\\Drv\\"), std::vector<std::string>{"<2>"});
    EXPECT_EQ(find("D:\\*"), std::vector<std::string>{"<3>"});
    EXPECT_EQ(find("C:\\D*\\*.txt"), std::vector<std::string>{"<123>"});
}

// ---------------------------------------------------- opening and reading

TEST_F(DiskTest, CreateDispositionsAndLastErrors) {
    const char *f = "C:\\f.bin";
    EXPECT_EQ(open(f, GENERIC_READ, OPEN_EXISTING), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(open(f, GENERIC_WRITE, TRUNCATE_EXISTING), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_FILE_NOT_FOUND);

    HANDLE h = open(f, GENERIC_WRITE, OPEN_ALWAYS);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), 0u);
    DWORD n;
    ASSERT_TRUE(WriteFile(h, "abcdef", 6, &n, NULL));
    CloseHandle(h);
    h = open(f, GENERIC_READ, OPEN_ALWAYS);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_ALREADY_EXISTS);
    EXPECT_EQ(GetFileSize(h, NULL), 6u);
    CloseHandle(h);
    h = open(f, GENERIC_WRITE, CREATE_ALWAYS);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_ALREADY_EXISTS);
    EXPECT_EQ(GetFileSize(h, NULL), 0u);
    CloseHandle(h);
    EXPECT_EQ(open(f, GENERIC_WRITE, CREATE_NEW), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_FILE_EXISTS);
    EXPECT_EQ(open(f, GENERIC_READ, TRUNCATE_EXISTING), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
    EXPECT_EQ(open(f, GENERIC_READ, 0), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);

    // Directories are not files.
    EXPECT_EQ(open("C:\\WINDOWS", GENERIC_READ, OPEN_EXISTING), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_ACCESS_DENIED);
    EXPECT_EQ(open("C:\\WINDOWS", GENERIC_WRITE, CREATE_NEW), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_FILE_EXISTS);

    // A new file takes the attributes asked for, plus archive.
    h = open("C:\\h.sys", GENERIC_WRITE, CREATE_NEW, 0, FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    CloseHandle(h);
    EXPECT_EQ(GetFileAttributesA("C:\\h.sys"),
              (DWORD)(FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE));
    // Overwriting a hidden or system file must say so.
    EXPECT_EQ(open("C:\\h.sys", GENERIC_WRITE, CREATE_ALWAYS, 0, FILE_ATTRIBUTE_NORMAL), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_ACCESS_DENIED);
    h = open("C:\\h.sys", GENERIC_WRITE, CREATE_ALWAYS, 0, FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM);
    EXPECT_NE(h, INVALID_HANDLE_VALUE);
    CloseHandle(h);
}

TEST_F(DiskTest, ReadOnlyFilesRefuseWriting) {
    ASSERT_TRUE(put("C:\\ro.txt", "keep"));
    ASSERT_TRUE(SetFileAttributesA("C:\\ro.txt", FILE_ATTRIBUTE_READONLY));
    for (DWORD disp : {(DWORD)OPEN_EXISTING, (DWORD)CREATE_ALWAYS, (DWORD)TRUNCATE_EXISTING, (DWORD)OPEN_ALWAYS}) {
        EXPECT_EQ(open("C:\\RO.TXT", GENERIC_WRITE, disp), INVALID_HANDLE_VALUE) << disp;
        EXPECT_EQ(GetLastError(), (DWORD)ERROR_ACCESS_DENIED) << disp;
    }
    EXPECT_EQ(open("C:\\ro.txt", GENERIC_READ, CREATE_ALWAYS), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_ACCESS_DENIED);
    EXPECT_EQ(get("C:\\ro.txt"), "keep");
    EXPECT_FALSE(DeleteFileA("C:\\ro.txt"));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_ACCESS_DENIED);
    // Renaming is not writing.
    EXPECT_TRUE(MoveFileA("C:\\ro.txt", "C:\\ro2.txt"));
    EXPECT_EQ(GetFileAttributesA("C:\\ro2.txt"), (DWORD)FILE_ATTRIBUTE_READONLY);
    ASSERT_TRUE(SetFileAttributesA("C:\\ro2.txt", FILE_ATTRIBUTE_NORMAL));
    EXPECT_TRUE(DeleteFileA("C:\\ro2.txt"));
}

TEST_F(DiskTest, ReadWriteSeekAndSize) {
    HANDLE h = open("C:\\rw.bin", GENERIC_READ | GENERIC_WRITE, CREATE_NEW);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    DWORD n = 99;
    ASSERT_TRUE(WriteFile(h, "0123456789", 10, &n, NULL));
    EXPECT_EQ(n, 10u);
    char buf[16] = {};
    EXPECT_TRUE(ReadFile(h, buf, sizeof buf, &n, NULL)); // at the end: nothing, but no error
    EXPECT_EQ(n, 0u);
    EXPECT_EQ(SetFilePointer(h, 2, NULL, FILE_BEGIN), 2u);
    EXPECT_TRUE(ReadFile(h, buf, 3, &n, NULL));
    EXPECT_EQ(std::string(buf, n), "234");
    EXPECT_EQ(SetFilePointer(h, -1, NULL, FILE_CURRENT), 4u);
    EXPECT_EQ(SetFilePointer(h, -4, NULL, FILE_END), 6u);
    EXPECT_EQ(SetFilePointer(h, -11, NULL, FILE_END), INVALID_SET_FILE_POINTER);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_NEGATIVE_SEEK);
    EXPECT_EQ(SetFilePointer(h, 0, NULL, 7), INVALID_SET_FILE_POINTER);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
    LONG high = 0;
    EXPECT_EQ(SetFilePointer(h, 12, &high, FILE_BEGIN), 12u);
    EXPECT_EQ(high, 0);
    ASSERT_TRUE(WriteFile(h, "X", 1, &n, NULL)); // past the end: the gap reads as zeros
    DWORD size_high = 7;
    EXPECT_EQ(GetFileSize(h, &size_high), 13u);
    EXPECT_EQ(size_high, 0u);
    SetFilePointer(h, 9, NULL, FILE_BEGIN);
    EXPECT_TRUE(ReadFile(h, buf, 4, &n, NULL));
    EXPECT_EQ(std::string(buf, n), std::string("9\0\0X", 4));
    EXPECT_TRUE(FlushFileBuffers(h));
    CloseHandle(h);

    // Rights are those the handle was opened with.
    h = open("C:\\rw.bin", GENERIC_READ, OPEN_EXISTING);
    EXPECT_FALSE(WriteFile(h, "a", 1, &n, NULL));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_ACCESS_DENIED);
    EXPECT_FALSE(FlushFileBuffers(h));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_ACCESS_DENIED);
    CloseHandle(h);
    h = open("C:\\rw.bin", GENERIC_WRITE, OPEN_EXISTING);
    EXPECT_FALSE(ReadFile(h, buf, 1, &n, NULL));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_ACCESS_DENIED);
    CloseHandle(h);

    EXPECT_FALSE(ReadFile(INVALID_HANDLE_VALUE, buf, 1, &n, NULL));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_HANDLE);
    EXPECT_EQ(GetFileSize(NULL, NULL), INVALID_FILE_SIZE);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_HANDLE);
}

TEST_F(DiskTest, SharingModesAreEnforced) {
    ASSERT_TRUE(put("C:\\s.txt", "s"));
    HANDLE a = open("C:\\s.txt", GENERIC_READ, OPEN_EXISTING, FILE_SHARE_READ);
    ASSERT_NE(a, INVALID_HANDLE_VALUE);
    HANDLE b = open("C:\\S.TXT", GENERIC_READ, OPEN_EXISTING, FILE_SHARE_READ);
    EXPECT_NE(b, INVALID_HANDLE_VALUE);
    EXPECT_EQ(open("C:\\s.txt", GENERIC_WRITE, OPEN_EXISTING, FILE_SHARE_READ), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_SHARING_VIOLATION);
    EXPECT_FALSE(DeleteFileA("C:\\s.txt"));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_SHARING_VIOLATION);
    ASSERT_TRUE(put("C:\\t.txt", "t"));
    EXPECT_FALSE(CopyFileA("C:\\t.txt", "C:\\s.txt", FALSE)); // open without write sharing
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_SHARING_VIOLATION);
    CloseHandle(a);
    CloseHandle(b);
    EXPECT_TRUE(DeleteFileA("C:\\s.txt"));

    // A file open without delete sharing cannot be renamed or deleted; with it, it can.
    ASSERT_TRUE(put("C:\\d.txt", "d"));
    a = open("C:\\d.txt", GENERIC_READ, OPEN_EXISTING, FILE_SHARE_READ | FILE_SHARE_DELETE);
    EXPECT_TRUE(MoveFileA("C:\\d.txt", "C:\\e.txt"));
    // The open handle follows its file.
    EXPECT_EQ(open("C:\\e.txt", GENERIC_WRITE, OPEN_EXISTING, FILE_SHARE_READ | FILE_SHARE_DELETE),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_SHARING_VIOLATION);
    CloseHandle(a);
}

TEST(DiskOnWin9x, HasNoDeleteSharing) {
    auto m = Machine::temporary(Os::Win98);
    EXPECT_EQ(open("C:\\x.txt", GENERIC_WRITE, CREATE_NEW, FILE_SHARE_READ | FILE_SHARE_DELETE),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
    HANDLE h = open("C:\\x.txt", GENERIC_WRITE, CREATE_NEW, FILE_SHARE_READ);
    EXPECT_NE(h, INVALID_HANDLE_VALUE);
    CloseHandle(h);
    char buf[MAX_PATH];
    ASSERT_GT(GetTempPathA(sizeof buf, buf), 0u);
    EXPECT_STREQ(buf, "C:\\WINDOWS\\TEMP\\");
}

// ------------------------------------------- copy, delete, move, directories

TEST_F(DiskTest, CopyFollowsWindowsRules) {
    ASSERT_TRUE(put("C:\\src.txt", "source"));
    EXPECT_FALSE(CopyFileA("C:\\none.txt", "C:\\dst.txt", FALSE));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_FILE_NOT_FOUND);
    EXPECT_FALSE(CopyFileA("C:\\none\\x.txt", "C:\\dst.txt", FALSE));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_PATH_NOT_FOUND);
    EXPECT_FALSE(CopyFileA("C:\\src.txt", "C:\\none\\dst.txt", FALSE));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_PATH_NOT_FOUND);
    EXPECT_FALSE(CopyFileA("C:\\WINDOWS", "C:\\dst.txt", FALSE));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_ACCESS_DENIED);
    EXPECT_FALSE(CopyFileA("C:\\src.txt", "C:\\WINDOWS", FALSE));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_ACCESS_DENIED);

    ASSERT_TRUE(CopyFileA("C:\\SRC.TXT", "C:\\Dst.txt", TRUE));
    EXPECT_EQ(get("C:\\dst.txt"), "source");
    ASSERT_TRUE(put("C:\\src.txt", "newer"));
    EXPECT_FALSE(CopyFileA("C:\\src.txt", "C:\\dst.txt", TRUE));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_FILE_EXISTS);
    EXPECT_EQ(get("C:\\dst.txt"), "source");
    EXPECT_TRUE(CopyFileA("C:\\src.txt", "C:\\DST.TXT", FALSE));
    EXPECT_EQ(get("C:\\dst.txt"), "newer");
    EXPECT_EQ(find("C:\\ds*"), std::vector<std::string>{"Dst.txt"}); // the existing spelling stays
    EXPECT_FALSE(CopyFileA("C:\\src.txt", "c:\\SRC.txt", FALSE));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_SHARING_VIOLATION);

    // Read-only or hidden destinations refuse; attributes travel with the copy.
    for (DWORD a : {(DWORD)FILE_ATTRIBUTE_READONLY, (DWORD)FILE_ATTRIBUTE_HIDDEN}) {
        ASSERT_TRUE(SetFileAttributesA("C:\\dst.txt", a));
        EXPECT_FALSE(CopyFileA("C:\\src.txt", "C:\\dst.txt", FALSE));
        EXPECT_EQ(GetLastError(), (DWORD)ERROR_ACCESS_DENIED);
    }
    ASSERT_TRUE(SetFileAttributesA("C:\\src.txt", FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_SYSTEM));
    ASSERT_TRUE(CopyFileA("C:\\src.txt", "C:\\copy.txt", TRUE));
    EXPECT_EQ(GetFileAttributesA("C:\\copy.txt"),
              (DWORD)(FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE));
}

TEST_F(DiskTest, DeleteMoveAndDirectories) {
    EXPECT_FALSE(DeleteFileA("C:\\none.txt"));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_FILE_NOT_FOUND);
    EXPECT_FALSE(DeleteFileA("C:\\none\\x.txt"));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_PATH_NOT_FOUND);
    EXPECT_FALSE(DeleteFileA("C:\\WINDOWS"));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_ACCESS_DENIED);

    EXPECT_FALSE(CreateDirectoryA("C:\\a\\b", NULL));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_PATH_NOT_FOUND);
    ASSERT_TRUE(CreateDirectoryA("C:\\a", NULL));
    ASSERT_TRUE(CreateDirectoryA("C:\\A\\b\\", NULL));
    ASSERT_TRUE(put("C:\\a\\b\\f.txt", "f"));
    ASSERT_TRUE(SetFileAttributesA("C:\\a\\b\\f.txt", FILE_ATTRIBUTE_HIDDEN));
    EXPECT_FALSE(RemoveDirectoryA("C:\\a\\b"));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_DIR_NOT_EMPTY);
    EXPECT_FALSE(RemoveDirectoryA("C:\\a\\b\\f.txt"));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_DIRECTORY);
    EXPECT_FALSE(RemoveDirectoryA("C:\\a\\c"));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_FILE_NOT_FOUND);

    // Moving a directory carries what it holds, attributes included.
    EXPECT_FALSE(MoveFileA("C:\\a", "C:\\a\\b\\inside"));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_SHARING_VIOLATION);
    ASSERT_TRUE(MoveFileA("C:\\a", "C:\\Moved"));
    EXPECT_EQ(GetFileAttributesA("C:\\moved\\b\\f.txt"), (DWORD)FILE_ATTRIBUTE_HIDDEN);
    EXPECT_EQ(GetFileAttributesA("C:\\a"), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_FILE_NOT_FOUND);
    ASSERT_TRUE(put("C:\\other.txt", "o"));
    EXPECT_FALSE(MoveFileA("C:\\other.txt", "C:\\moved\\B\\F.TXT"));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_ALREADY_EXISTS);
    EXPECT_FALSE(MoveFileA("C:\\none.txt", "C:\\x.txt"));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_FILE_NOT_FOUND);
    // A change of case only is a rename.
    ASSERT_TRUE(MoveFileA("C:\\other.txt", "C:\\OTHER.TXT"));
    EXPECT_EQ(find("C:\\oth*"), std::vector<std::string>{"OTHER.TXT"});

    ASSERT_TRUE(SetFileAttributesA("C:\\moved\\b\\f.txt", FILE_ATTRIBUTE_NORMAL));
    ASSERT_TRUE(DeleteFileA("C:\\moved\\b\\f.txt"));
    ASSERT_TRUE(SetFileAttributesA("C:\\moved\\b", FILE_ATTRIBUTE_READONLY));
    EXPECT_EQ(GetFileAttributesA("C:\\moved\\b"), (DWORD)(FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_DIRECTORY));
    EXPECT_FALSE(RemoveDirectoryA("C:\\moved\\b"));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_ACCESS_DENIED);
    ASSERT_TRUE(SetFileAttributesA("C:\\moved\\b", 0));
    EXPECT_TRUE(RemoveDirectoryA("C:\\moved\\b"));
    EXPECT_TRUE(RemoveDirectoryA("C:\\moved"));
    EXPECT_FALSE(RemoveDirectoryA("C:\\"));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_ACCESS_DENIED);
}

TEST_F(DiskTest, AttributesAsWindowsReportsThem) {
    ASSERT_TRUE(put("C:\\a.txt", "a"));
    EXPECT_EQ(GetFileAttributesA("C:\\a.txt"), (DWORD)FILE_ATTRIBUTE_ARCHIVE);
    ASSERT_TRUE(SetFileAttributesA("C:\\a.txt", FILE_ATTRIBUTE_NORMAL));
    EXPECT_EQ(GetFileAttributesA("C:\\a.txt"), (DWORD)FILE_ATTRIBUTE_NORMAL);
    // NORMAL means nothing else; DIRECTORY cannot be set; unknown bits are dropped.
    ASSERT_TRUE(SetFileAttributesA("C:\\a.txt", FILE_ATTRIBUTE_NORMAL | FILE_ATTRIBUTE_SYSTEM |
                                                    FILE_ATTRIBUTE_DIRECTORY | 0x00010000));
    EXPECT_EQ(GetFileAttributesA("C:\\a.txt"), (DWORD)FILE_ATTRIBUTE_SYSTEM);
    EXPECT_EQ(GetFileAttributesA("C:\\WINDOWS"), (DWORD)FILE_ATTRIBUTE_DIRECTORY);
    EXPECT_EQ(GetFileAttributesA("C:\\"), (DWORD)FILE_ATTRIBUTE_DIRECTORY);
    EXPECT_EQ(GetFileAttributesA("C:\\WINDOWS\\"), (DWORD)FILE_ATTRIBUTE_DIRECTORY);
    EXPECT_EQ(GetFileAttributesA("C:\\a.txt\\"), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_NAME);
    EXPECT_EQ(GetFileAttributesA("C:\\b.txt"), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(GetFileAttributesA("C:\\x\\b.txt"), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_PATH_NOT_FOUND);
    EXPECT_FALSE(SetFileAttributesA("C:\\b.txt", FILE_ATTRIBUTE_HIDDEN));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(disk::attributes("c:\\A.TXT"), (DWORD)FILE_ATTRIBUTE_SYSTEM);
    EXPECT_TRUE(disk::set_attributes("c:\\A.TXT", FILE_ATTRIBUTE_READONLY));
    EXPECT_EQ(GetFileAttributesA("C:\\a.txt"), (DWORD)FILE_ATTRIBUTE_READONLY);
    // A file deleted and made again starts afresh.
    ASSERT_TRUE(SetFileAttributesA("C:\\a.txt", FILE_ATTRIBUTE_HIDDEN));
    ASSERT_TRUE(DeleteFileA("C:\\a.txt"));
    ASSERT_TRUE(put("C:\\A.txt", "a"));
    EXPECT_EQ(GetFileAttributesA("C:\\a.txt"), (DWORD)FILE_ATTRIBUTE_ARCHIVE);
}

TEST(DiskState, AttributesSurviveSaveAndLoad) {
    std::string tmpl = (fs::temp_directory_path() / "winsim-disk-XXXXXX").string();
    ASSERT_TRUE(mkdtemp(&tmpl[0]));
    std::string dir = tmpl + "/machine";
    {
        auto m = Machine::create(dir, Os::Win2000);
        ASSERT_TRUE(put("C:\\WINNT\\keep.sys", "k"));
        ASSERT_TRUE(SetFileAttributesA("C:\\WINNT\\keep.sys", FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN));
        ASSERT_TRUE(put("C:\\plain.txt", "p"));
        ASSERT_TRUE(SetFileAttributesA("C:\\plain.txt", FILE_ATTRIBUTE_NORMAL));
        ASSERT_TRUE(SetFileAttributesA("C:\\WINNT\\INF", FILE_ATTRIBUTE_HIDDEN));
        ASSERT_TRUE(put("C:\\gone.txt", "g"));
        ASSERT_TRUE(SetFileAttributesA("C:\\gone.txt", FILE_ATTRIBUTE_SYSTEM));
        fs::remove(m->host_path("C:\\gone.txt")); // vanished behind the disk's back
        m->save();
    }
    {
        auto m = Machine::load(dir);
        EXPECT_EQ(GetFileAttributesA("c:\\winnt\\KEEP.SYS"), (DWORD)(FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN));
        EXPECT_EQ(GetFileAttributesA("C:\\plain.txt"), (DWORD)FILE_ATTRIBUTE_NORMAL);
        EXPECT_EQ(GetFileAttributesA("C:\\WINNT\\INF"), (DWORD)(FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_DIRECTORY));
        EXPECT_EQ(GetFileAttributesA("C:\\WINNT\\system32"), (DWORD)FILE_ATTRIBUTE_DIRECTORY);
        ASSERT_TRUE(put("C:\\gone.txt", "new"));
        EXPECT_EQ(GetFileAttributesA("C:\\gone.txt"), (DWORD)FILE_ATTRIBUTE_ARCHIVE);
        EXPECT_FALSE(DeleteFileA("C:\\WINNT\\keep.sys"));
    }
    std::string state;
    {
        std::ifstream in(dir + "/attributes.txt");
        state.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    EXPECT_NE(state.find("00000003 C:\\WINNT\\KEEP.SYS"), std::string::npos) << state;
    EXPECT_EQ(state.find("GONE"), std::string::npos) << state;
    fs::remove_all(tmpl);
}

// ------------------------------------------------------ machine-wide state

TEST_F(DiskTest, FullDiskRefusesEveryWrite) {
    ASSERT_TRUE(put("C:\\old.txt", "old"));
    HANDLE w = open("C:\\old.txt", GENERIC_WRITE, OPEN_EXISTING);
    ASSERT_NE(w, INVALID_HANDLE_VALUE);
    disk::set_disk_full(true);
    DWORD n = 5;
    EXPECT_FALSE(WriteFile(w, "x", 1, &n, NULL));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_DISK_FULL);
    EXPECT_EQ(n, 0u);
    EXPECT_TRUE(WriteFile(w, "", 0, &n, NULL));
    CloseHandle(w);
    for (DWORD disp : {(DWORD)CREATE_NEW, (DWORD)CREATE_ALWAYS, (DWORD)OPEN_ALWAYS}) {
        EXPECT_EQ(open("C:\\new.txt", GENERIC_WRITE, disp), INVALID_HANDLE_VALUE) << disp;
        EXPECT_EQ(GetLastError(), (DWORD)ERROR_DISK_FULL) << disp;
    }
    EXPECT_EQ(open("C:\\old.txt", GENERIC_WRITE, CREATE_ALWAYS), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_DISK_FULL);
    EXPECT_FALSE(CopyFileA("C:\\old.txt", "C:\\copy.txt", FALSE));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_DISK_FULL);
    EXPECT_FALSE(disk::exists("C:\\copy.txt"));
    EXPECT_EQ(get("C:\\old.txt"), "old"); // reading still works
    disk::set_disk_full(false);
    EXPECT_TRUE(CopyFileA("C:\\old.txt", "C:\\copy.txt", FALSE));
}

TEST_F(DiskTest, EveryCallHasAFaultPoint) {
    ASSERT_TRUE(put("C:\\f.txt", "f"));
    HANDLE h = open("C:\\f.txt", GENERIC_READ | GENERIC_WRITE, OPEN_EXISTING);
    WIN32_FIND_DATAA fd;
    HANDLE s = FindFirstFileA("C:\\*", &fd);
    char buf[MAX_PATH];
    DWORD n;
    const DWORD kErr = ERROR_NOT_READY;
    struct Call {
        const char *api;
        std::function<bool()> fails; // true when the call reported failure
    };
    const std::vector<Call> calls = {
        {"CreateFileA", [] { return open("C:\\f.txt", GENERIC_READ, OPEN_EXISTING) == INVALID_HANDLE_VALUE; }},
        {"ReadFile", [&] { return !ReadFile(h, buf, 1, &n, NULL); }},
        {"WriteFile", [&] { return !WriteFile(h, "x", 1, &n, NULL); }},
        {"GetFileSize", [&] { return GetFileSize(h, NULL) == INVALID_FILE_SIZE; }},
        {"SetFilePointer", [&] { return SetFilePointer(h, 0, NULL, FILE_BEGIN) == INVALID_SET_FILE_POINTER; }},
        {"FlushFileBuffers", [&] { return !FlushFileBuffers(h); }},
        {"FindFirstFileA", [&] { return FindFirstFileA("C:\\*", &fd) == INVALID_HANDLE_VALUE; }},
        {"FindNextFileA", [&] { return !FindNextFileA(s, &fd); }},
        {"FindClose", [&] { return !FindClose(s); }},
        {"CopyFileA", [] { return !CopyFileA("C:\\f.txt", "C:\\g.txt", FALSE); }},
        {"DeleteFileA", [] { return !DeleteFileA("C:\\none.txt") && GetLastError() != ERROR_FILE_NOT_FOUND; }},
        {"MoveFileA", [] { return !MoveFileA("C:\\f.txt", "C:\\h.txt"); }},
        {"CreateDirectoryA", [] { return !CreateDirectoryA("C:\\d", NULL); }},
        {"RemoveDirectoryA", [] { return !RemoveDirectoryA("C:\\none") && GetLastError() != ERROR_FILE_NOT_FOUND; }},
        {"GetFileAttributesA", [] { return GetFileAttributesA("C:\\f.txt") == INVALID_FILE_ATTRIBUTES; }},
        {"SetFileAttributesA", [] { return !SetFileAttributesA("C:\\f.txt", 0); }},
        {"GetCurrentDirectoryA", [&] { return GetCurrentDirectoryA(sizeof buf, buf) == 0; }},
        {"SetCurrentDirectoryA", [] { return !SetCurrentDirectoryA("C:\\"); }},
        {"GetFullPathNameA", [&] { return GetFullPathNameA("x", sizeof buf, buf, NULL) == 0; }},
        {"GetTempPathA", [&] { return GetTempPathA(sizeof buf, buf) == 0; }},
    };
    auto before = winsim::handles::open();
    for (auto &c : calls) {
        winsim::faults::fail(c.api, kErr);
        SetLastError(0);
        EXPECT_TRUE(c.fails()) << c.api;
        EXPECT_EQ(GetLastError(), kErr) << c.api;
        EXPECT_EQ(winsim::faults::fired(c.api), 1) << c.api;
        EXPECT_FALSE(c.fails() && GetLastError() == kErr) << c.api << " failed twice";
    }
    winsim::faults::clear();
    EXPECT_EQ(winsim::handles::leaks_since(before), "");
    FindClose(s);
    CloseHandle(h);
}

TEST_F(DiskTest, OpenFilesAndSearchesAreCounted) {
    auto before = winsim::handles::open();
    ASSERT_TRUE(put("C:\\c.txt", "c"));
    EXPECT_EQ(winsim::handles::leaks_since(before), "");
    HANDLE f = open("C:\\c.txt", GENERIC_READ, OPEN_EXISTING);
    WIN32_FIND_DATAA fd;
    HANDLE s = FindFirstFileA("C:\\*.txt", &fd);
    EXPECT_EQ(winsim::handles::leaks_since(before), "1 file, 1 search handle");
    EXPECT_FALSE(FindClose(f)); // a file is not a search
    EXPECT_TRUE(CloseHandle(f));
    EXPECT_FALSE(CloseHandle(f));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_HANDLE);
    EXPECT_TRUE(FindClose(s));
    EXPECT_EQ(winsim::handles::leaks_since(before), "");
    // Failed calls leave nothing open.
    EXPECT_EQ(FindFirstFileA("C:\\*.none", &fd), INVALID_HANDLE_VALUE);
    EXPECT_EQ(open("C:\\none.txt", GENERIC_READ, OPEN_EXISTING), INVALID_HANDLE_VALUE);
    EXPECT_EQ(winsim::handles::leaks_since(before), "");
}

TEST_F(DiskTest, TempPathAndControlHelpers) {
    char buf[MAX_PATH];
    DWORD n = GetTempPathA(sizeof buf, buf);
    EXPECT_STREQ(buf, "C:\\WINDOWS\\TEMP\\");
    EXPECT_EQ(n, 16u);
    EXPECT_EQ(GetTempPathA(16, buf), 17u);
    std::string tmp = "C:\\Users\\me\\Tmp";
    m->set_environment("TMP", &tmp);
    GetTempPathA(sizeof buf, buf);
    EXPECT_STREQ(buf, "C:\\Users\\me\\Tmp\\");

    EXPECT_TRUE(disk::write_text("C:\\New\\Dir\\file.txt", "text"));
    EXPECT_TRUE(disk::exists("c:\\new\\dir"));
    std::vector<BYTE> bytes;
    EXPECT_TRUE(disk::read_file("C:\\NEW\\DIR\\FILE.TXT", &bytes));
    EXPECT_EQ(std::string(bytes.begin(), bytes.end()), "text");
    EXPECT_FALSE(disk::read_file("C:\\New\\Dir", &bytes));
    EXPECT_TRUE(disk::install_library("C:\\WINDOWS\\system32\\QUVAB2.DLL", "QUVAB2"));
    EXPECT_EQ(get("C:\\windows\\SYSTEM32\\quvab2.dll"), "WINSIM-IMAGE\r\nlibrary=QUVAB2\r\n");
    EXPECT_TRUE(disk::remove("C:\\new"));
    EXPECT_FALSE(disk::exists("C:\\New\\Dir\\file.txt"));
    EXPECT_FALSE(disk::remove("C:\\new"));
    EXPECT_FALSE(disk::make_dirs("C:\\WINDOWS\\system32\\QUVAB2.DLL\\sub"));
    EXPECT_TRUE(disk::make_dirs("C:\\Program Files\\Quva\\Kit"));
    EXPECT_EQ(GetFileAttributesA("C:\\PROGRAM FILES\\QUVA\\KIT"), (DWORD)FILE_ATTRIBUTE_DIRECTORY);
}

} // namespace
