// File version resources: the images pe::make_image writes and what
// GetFileVersionInfoA / VerQueryValueA read back from them.
#include <gtest/gtest.h>
#include <windows.h>
#include <winsim/sim.h>

#include <cstdint>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

namespace {

using winsim::Machine;
using winsim::Os;
namespace disk = winsim::disk;
namespace pe = winsim::pe;

const char *kDriver = "C:\\WINDOWS\\system32\\drivers\\quvausb.sys";

struct VersionTest : ::testing::Test {
    std::unique_ptr<Machine> m = Machine::temporary(Os::WinXp);
};

pe::VersionInfo driver_info() {
    pe::VersionInfo v;
    const WORD fv[4] = {1, 18, 0, 57};
    std::memcpy(v.file_version, fv, sizeof fv);
    const WORD pv[4] = {1, 18, 2, 0};
    std::memcpy(v.product_version, pv, sizeof pv);
    v.strings = {{"CompanyName", "Quva Systems"},
                 {"FileDescription", "Quva USB token driver \xC2\xA9 2003"}, // UTF-8 copyright sign
                 {"FileVersion", "1.18.0.57"},
                 {"Comments", ""}};
    return v;
}

// The version block of a file, read the way applications read it.
std::vector<BYTE> version_block(const char *path, DWORD *error = nullptr) {
    DWORD handle = 77;
    DWORD size = GetFileVersionInfoSizeA(path, &handle);
    if (error) *error = size ? 0 : GetLastError();
    if (!size) return {};
    EXPECT_EQ(handle, 0u);
    std::vector<BYTE> block(size);
    EXPECT_TRUE(GetFileVersionInfoA(path, 0, size, block.data()));
    return block;
}

std::string query_text(const std::vector<BYTE> &block, const char *sub, UINT *len = nullptr) {
    LPVOID p = nullptr;
    UINT n = 0;
    if (!VerQueryValueA(block.data(), sub, &p, &n)) return "<missing>";
    // The string lies inside the caller's block.
    const BYTE *b = static_cast<const BYTE *>(p);
    EXPECT_GE(b, block.data());
    EXPECT_LT(b, block.data() + block.size());
    if (len) *len = n;
    return static_cast<const char *>(p);
}

WORD w16(const std::vector<BYTE> &b, size_t at) { return (WORD)(b[at] | (b[at + 1] << 8)); }
DWORD d32(const std::vector<BYTE> &b, size_t at) { return w16(b, at) | ((DWORD)w16(b, at + 2) << 16); }

TEST_F(VersionTest, FixedInfoCarriesThePackedVersion) {
    ASSERT_TRUE(disk::write_file(kDriver, pe::make_image(driver_info())));
    std::vector<BYTE> block = version_block("c:\\windows\\SYSTEM32\\DRIVERS\\QUVAUSB.SYS");
    ASSERT_FALSE(block.empty());
    VS_FIXEDFILEINFO *fi = nullptr;
    UINT len = 0;
    ASSERT_TRUE(VerQueryValueA(block.data(), "\\", (LPVOID *)&fi, &len));
    EXPECT_EQ(len, sizeof(VS_FIXEDFILEINFO));
    EXPECT_EQ(fi->dwSignature, (DWORD)VS_FFI_SIGNATURE);
    EXPECT_EQ(fi->dwStrucVersion, (DWORD)VS_FFI_STRUCVERSION);
    EXPECT_EQ(fi->dwFileVersionMS, 0x00010012u);
    EXPECT_EQ(fi->dwFileVersionLS, 0x00000039u);
    EXPECT_EQ(fi->dwProductVersionMS, 0x00010012u);
    EXPECT_EQ(fi->dwProductVersionLS, 0x00020000u);
    EXPECT_EQ(fi->dwFileType, (DWORD)VFT_DRV);
    EXPECT_EQ(fi->dwFileSubtype, (DWORD)VFT2_DRV_SYSTEM);
    EXPECT_EQ(fi->dwFileOS, (DWORD)VOS_NT_WINDOWS32);
    // The empty path names the root too.
    LPVOID p = nullptr;
    EXPECT_TRUE(VerQueryValueA(block.data(), "", &p, &len));
    EXPECT_EQ(p, (LPVOID)fi);
}

TEST_F(VersionTest, BlockIsLaidOutAsWindowsLaysItOut) {
    ASSERT_TRUE(disk::write_file(kDriver, pe::make_image(driver_info())));
    std::vector<BYTE> b = version_block(kDriver);
    ASSERT_GT(b.size(), 100u);
    WORD total = w16(b, 0);
    EXPECT_LE(total + 4u, b.size()); // room for the ANSI strings follows
    EXPECT_EQ(w16(b, 2), sizeof(VS_FIXEDFILEINFO)); // wValueLength
    EXPECT_EQ(w16(b, 4), 0);                        // binary
    const char *key = "VS_VERSION_INFO";
    for (size_t i = 0; i <= std::strlen(key); ++i) EXPECT_EQ(w16(b, 6 + 2 * i), (WORD)key[i]);
    EXPECT_EQ(d32(b, 40), 0xFEEF04BDu); // 6 + 32 bytes of key, padded to 40
    // First child: StringFileInfo at 40 + 52 = 92, a text node.
    EXPECT_EQ(w16(b, 92 + 2), 0);
    EXPECT_EQ(w16(b, 92 + 4), 1);
    EXPECT_EQ(w16(b, 92 + 6), (WORD)'S');
    // Every node of the tree starts on a 32-bit boundary and ends inside its parent.
    std::function<void(size_t, size_t, int)> walk = [&](size_t at, size_t end, int depth) {
        ASSERT_EQ(at % 4, 0u);
        size_t len = w16(b, at);
        ASSERT_LE(at + len, end);
        size_t p = at + 6;
        while (w16(b, p)) p += 2;
        p = (p + 2 + 3) & ~(size_t)3;
        size_t vbytes = w16(b, at + 4) == 1 ? w16(b, at + 2) * 2u : w16(b, at + 2);
        size_t c = (p + vbytes + 3) & ~(size_t)3;
        while (c < at + len && depth < 4) {
            walk(c, at + len, depth + 1);
            c = (c + w16(b, c) + 3) & ~(size_t)3;
        }
    };
    walk(0, total, 0);
}

TEST_F(VersionTest, StringsComeBackAsAnsi) {
    pe::VersionInfo v = driver_info();
    v.file_type = VFT_DLL;
    v.file_subtype = VFT2_UNKNOWN;
    ASSERT_TRUE(disk::write_file("C:\\lib.dll", pe::make_image(v, true, true)));
    std::vector<BYTE> block = version_block("C:\\lib.dll");
    ASSERT_FALSE(block.empty());
    UINT len = 0;
    EXPECT_EQ(query_text(block, "\\StringFileInfo\\040904B0\\FileDescription", &len),
              "Quva USB token driver \xA9 2003");
    EXPECT_EQ(len, 29u); // characters with the terminator, as stored
    EXPECT_EQ(query_text(block, "\\stringfileinfo\\040904b0\\companyname"), "Quva Systems");
    EXPECT_EQ(query_text(block, "StringFileInfo\\040904B0\\FileVersion\\"), "1.18.0.57");
    EXPECT_EQ(query_text(block, "\\StringFileInfo\\040904B0\\Comments", &len), "");
    EXPECT_EQ(len, 1u);
    EXPECT_EQ(query_text(block, "\\StringFileInfo\\040904B0\\ProductName"), "<missing>");
    EXPECT_EQ(query_text(block, "\\StringFileInfo\\040904E4\\CompanyName"), "<missing>");
    EXPECT_EQ(query_text(block, "\\StringFileInfo\\040904B0\\CompanyNam"), "<missing>");

    WORD *tr = nullptr;
    ASSERT_TRUE(VerQueryValueA(block.data(), "\\VarFileInfo\\Translation", (LPVOID *)&tr, &len));
    ASSERT_EQ(len, 4u);
    EXPECT_EQ(tr[0], 0x0409);
    EXPECT_EQ(tr[1], 1252);

    VS_FIXEDFILEINFO *fi = nullptr;
    ASSERT_TRUE(VerQueryValueA(block.data(), "\\", (LPVOID *)&fi, &len));
    EXPECT_EQ(fi->dwFileType, (DWORD)VFT_DLL);

    // A table key of the caller's choosing.
    v.string_table = "040704E4";
    v.language = 0x0407;
    ASSERT_TRUE(disk::write_file("C:\\de.dll", pe::make_image(v, true, true)));
    block = version_block("C:\\de.dll");
    EXPECT_EQ(query_text(block, "\\StringFileInfo\\040704E4\\CompanyName"), "Quva Systems");
    ASSERT_TRUE(VerQueryValueA(block.data(), "\\VarFileInfo\\Translation", (LPVOID *)&tr, &len));
    EXPECT_EQ(tr[0], 0x0407);
}

TEST_F(VersionTest, FilesWithoutAVersion) {
    DWORD error = 0;
    EXPECT_TRUE(version_block("C:\\none.sys", &error).empty());
    EXPECT_EQ(error, (DWORD)ERROR_FILE_NOT_FOUND);
    EXPECT_TRUE(version_block("C:\\nodir\\none.sys", &error).empty());
    EXPECT_EQ(error, (DWORD)ERROR_PATH_NOT_FOUND);

    ASSERT_TRUE(disk::write_file("C:\\plain.sys", pe::make_image(driver_info(), false)));
    EXPECT_TRUE(version_block("C:\\plain.sys", &error).empty());
    EXPECT_EQ(error, (DWORD)ERROR_RESOURCE_TYPE_NOT_FOUND);

    ASSERT_TRUE(disk::write_text("C:\\readme.txt", "just text, not an image"));
    EXPECT_TRUE(version_block("C:\\readme.txt", &error).empty());
    EXPECT_EQ(error, (DWORD)ERROR_RESOURCE_DATA_NOT_FOUND);

    ASSERT_TRUE(disk::write_text("C:\\bad.exe", "MZ but nothing after"));
    EXPECT_TRUE(version_block("C:\\bad.exe", &error).empty());
    EXPECT_EQ(error, (DWORD)ERROR_BAD_FORMAT);

    // What our loader takes for a library is no PE image either.
    ASSERT_TRUE(disk::install_library("C:\\QUVAB2.DLL", "QUVAB2"));
    EXPECT_TRUE(version_block("C:\\QUVAB2.DLL", &error).empty());
    EXPECT_EQ(error, (DWORD)ERROR_RESOURCE_DATA_NOT_FOUND);

    BYTE buf[64];
    EXPECT_FALSE(GetFileVersionInfoA("C:\\plain.sys", 0, sizeof buf, buf));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_RESOURCE_TYPE_NOT_FOUND);

    winsim::faults::fail("GetFileVersionInfoSizeA", ERROR_ACCESS_DENIED);
    ASSERT_TRUE(disk::write_file(kDriver, pe::make_image(driver_info())));
    EXPECT_TRUE(version_block(kDriver, &error).empty());
    EXPECT_EQ(error, (DWORD)ERROR_ACCESS_DENIED);
    EXPECT_FALSE(version_block(kDriver).empty());
}

TEST_F(VersionTest, ShortBuffersGetAtMostTheirLength) {
    ASSERT_TRUE(disk::write_file(kDriver, pe::make_image(driver_info())));
    DWORD size = GetFileVersionInfoSizeA(kDriver, NULL);
    ASSERT_GT(size, 120u);
    for (DWORD len : {0u, 1u, 2u, 5u, 8u, 60u, 100u, size - 1}) {
        std::vector<BYTE> buf(len + 16, 0xCC);
        ASSERT_TRUE(GetFileVersionInfoA(kDriver, 0, len, buf.data())) << len;
        for (size_t i = len; i < buf.size(); ++i) ASSERT_EQ(buf[i], 0xCC) << len;
        // Queries on what was copied stay within it (the sanitizer watches),
        // and strings are not offered without their ANSI copies.
        std::vector<BYTE> exact(buf.begin(), buf.begin() + len);
        if (len < 2) continue;
        LPVOID p;
        UINT n;
        EXPECT_FALSE(VerQueryValueA(exact.data(), "\\StringFileInfo\\040904B0\\CompanyName", &p, &n)) << len;
        bool root = VerQueryValueA(exact.data(), "\\", &p, &n);
        EXPECT_EQ(root, len >= 100) << len;
    }
}

// Every prefix of a good image, and images with bytes changed here and
// there, must be refused or read without reading outside the file.
TEST_F(VersionTest, DamagedImagesAreNeverOverread) {
    const std::vector<BYTE> good = pe::make_image(driver_info());
    auto probe = [](const std::vector<BYTE> &image) {
        ASSERT_TRUE(disk::write_file("C:\\fuzz.sys", image));
        DWORD size = GetFileVersionInfoSizeA("C:\\fuzz.sys", NULL);
        if (!size) return;
        std::vector<BYTE> block(size);
        ASSERT_TRUE(GetFileVersionInfoA("C:\\fuzz.sys", 0, size, block.data()));
        for (const char *q : {"\\", "\\VarFileInfo\\Translation", "\\StringFileInfo\\040904B0\\FileDescription",
                              "\\StringFileInfo\\040904B0\\Comments", "\\StringFileInfo", "\\x\\y"}) {
            LPVOID p = nullptr;
            UINT n = 0;
            if (!VerQueryValueA(block.data(), q, &p, &n)) continue;
            const BYTE *b = static_cast<const BYTE *>(p);
            ASSERT_GE(b, block.data());
            ASSERT_LE(b + (q[1] == 'S' ? 0 : n), block.data() + block.size());
            if (q[1] == 'S' && n) {
                ASSERT_LT(b + std::strlen((const char *)b), block.data() + block.size());
            }
        }
    };
    for (size_t len = 0; len <= good.size(); ++len) {
        probe(std::vector<BYTE>(good.begin(), good.begin() + len));
        if (HasFatalFailure()) return;
    }
    // Deterministic byte damage concentrated on the headers and the resource.
    uint32_t seed = 12345;
    auto next = [&] {
        seed = seed * 1103515245u + 12345u;
        return seed >> 8;
    };
    for (int round = 0; round < 1500; ++round) {
        std::vector<BYTE> image = good;
        int changes = 1 + (int)(next() % 4);
        for (int k = 0; k < changes; ++k) {
            size_t at = next() % 2 ? 0x200 + next() % 0x1B0 : next() % 0x1A0;
            image[at] = (BYTE)(next() % 3 == 0 ? 0xFF : next());
        }
        probe(image);
        if (HasFatalFailure()) return;
    }
}

TEST(PeImage, HeadersAreThoseOfAnI386Image) {
    auto m = Machine::temporary(Os::Win2000);
    auto check = [](const std::vector<BYTE> &img, WORD subsystem, bool dll) {
        ASSERT_EQ(img.size() % 0x200, 0u);
        ASSERT_EQ(w16(img, 0), 0x5A4D);
        DWORD pe_at = d32(img, 0x3C);
        ASSERT_EQ(d32(img, pe_at), 0x00004550u);
        EXPECT_EQ(w16(img, pe_at + 4), 0x014C);
        EXPECT_EQ(w16(img, pe_at + 6), 1); // one section
        EXPECT_EQ((w16(img, pe_at + 22) & 0x2000) != 0, dll);
        size_t opt = pe_at + 24;
        EXPECT_EQ(w16(img, opt), 0x010B);
        EXPECT_EQ(w16(img, opt + 68), subsystem);
        // The image checksum is the one Windows computes for drivers.
        uint64_t sum = 0;
        for (size_t i = 0; i < img.size(); i += 2) {
            if (i == opt + 64 || i == opt + 66) continue;
            sum += w16(img, i);
            sum = (sum & 0xFFFF) + (sum >> 16);
        }
        sum = (sum & 0xFFFF) + (sum >> 16);
        EXPECT_EQ(d32(img, opt + 64), (DWORD)(sum + img.size()));
        size_t sect = opt + w16(img, pe_at + 20);
        EXPECT_EQ(std::string((const char *)&img[sect]), ".rsrc");
    };
    pe::VersionInfo v = driver_info();
    check(pe::make_image(v), 1, false);
    check(pe::make_image(v, true, true), 2, true);
    v.file_type = VFT_APP;
    check(pe::make_image(v), 2, false);
    check(pe::make_image(v, false), 2, false);
}

} // namespace
