// The driver installer library's driver parameters: per-platform keys, the
// reader-count clamping and the LED values.
#include "kit.h"

#include <quvadi.h>

#include <cstring>
#include <string>
#include <vector>

using winsim::Os;

namespace {

const std::string k_svc = "HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\";
const std::string k_qvatoken = k_svc + "QvaToken\\Parameters";
const std::string k_quvaenum = k_svc + "QuvaEnum";
const std::string k_usbqvtkn = k_svc + "USBQVTKN\\Parameters";
const std::string k_vxd = k_svc + "VXD\\QUVAVR9X";
bool add_reader(const std::string &name) {
    winsim::scard::ReaderSpec spec;
    spec.name = name;
    return winsim::scard::add_reader(spec);
}

const std::string k_calais = "HKEY_LOCAL_MACHINE\\Software\\Microsoft\\Cryptography\\Calais\\Readers";

struct Fixture {
    explicit Fixture(Os os) : m(os), lib("QUVADI.DLL") {}
    BOOL set(DWORD flags, DWORD use, DWORD count) {
        return lib.fn<BOOL(WINAPI *)(DWORD, DWORD, DWORD)>("quvaDI_SetDriverParams")(flags, use, count);
    }
    BOOL get(DWORD *f, DWORD *u, DWORD *n, DWORD *mode) {
        *f = *u = *n = *mode = 77;
        return lib.fn<BOOL(WINAPI *)(LPDWORD, LPDWORD, LPDWORD, LPDWORD)>("quvaDI_GetDriverParams")(f, u, n, mode);
    }
    BOOL set_led(LONG c, LONG d) { return lib.fn<BOOL(WINAPI *)(LONG, LONG)>("quvaDI_SetDriverLedParams")(c, d); }
    BOOL get_led(LONG *c, LONG *d) {
        *c = *d = 77;
        return lib.fn<BOOL(WINAPI *)(LPLONG, LPLONG)>("quvaDI_GetDriverLedParams")(c, d);
    }
    void physical_readers(int n) {
        winsim::scard::install_library(true);
        for (int i = 0; i < n; i++) EXPECT_TRUE(add_reader("Reader " + std::to_string(i)));
    }
    kit::Machine m;
    kit::Library lib;
};

// "<missing>", or the REG_DWORD value as a number.
std::string dword(const std::string &key, const std::string &name) {
    DWORD type = 0;
    std::vector<BYTE> data;
    if (!winsim::reg::value(key, name, &type, &data)) return "<missing>";
    if (type != REG_DWORD || data.size() != 4) return "<bad>";
    DWORD v;
    std::memcpy(&v, data.data(), 4);
    return std::to_string(v);
}

void import(const std::string &text) { ASSERT_TRUE(winsim::reg::import_text("REGEDIT4\n\n" + text)); }

TEST(InstallerParams, Nt5NormalisesAndClampsAgainstPhysicalReaders) {
    Fixture f(Os::WinXp);
    EXPECT_TRUE(f.set(0xA5A5F00D, 0, 5)); // flag raised by the count
    EXPECT_EQ(dword(k_qvatoken, "UseRM"), "1");
    EXPECT_EQ(dword(k_qvatoken, "DriverFlags"), std::to_string(0xA5A5F00Du));
    EXPECT_EQ(dword(k_quvaenum, "NumberOfDevices"), "5");
    EXPECT_EQ(dword(k_qvatoken, "RMMode"), "<missing>");

    EXPECT_TRUE(f.set(0, 7, 0)); // flag kept, count raised
    EXPECT_EQ(dword(k_qvatoken, "UseRM"), "7");
    EXPECT_EQ(dword(k_quvaenum, "NumberOfDevices"), "1");

    EXPECT_TRUE(f.set(0, 1, 50));
    EXPECT_EQ(dword(k_quvaenum, "NumberOfDevices"), "32");

    f.physical_readers(30);
    EXPECT_TRUE(f.set(0, 0, 8));
    EXPECT_EQ(dword(k_qvatoken, "UseRM"), "1");
    EXPECT_EQ(dword(k_quvaenum, "NumberOfDevices"), "2");
    f.physical_readers(0);
    EXPECT_TRUE(add_reader("Reader 30"));
    EXPECT_TRUE(add_reader("Reader 31"));
    EXPECT_TRUE(f.set(0, 1, 8));
    EXPECT_EQ(dword(k_qvatoken, "UseRM"), "0");
    EXPECT_EQ(dword(k_quvaenum, "NumberOfDevices"), "0");
    // 0 and 0 never looks at the readers and stores both as asked.
    EXPECT_TRUE(f.set(3, 0, 0));
    EXPECT_EQ(dword(k_qvatoken, "DriverFlags"), "3");
    EXPECT_EQ(dword(k_quvaenum, "NumberOfDevices"), "0");
}

TEST(InstallerParams, Nt5WriteFailuresStopWhereTheyHappen) {
    Fixture f(Os::WinXp);
    winsim::faults::fail("RegCreateKeyExA", ERROR_ACCESS_DENIED);
    EXPECT_FALSE(f.set(9, 1, 2));
    EXPECT_FALSE(winsim::reg::key_exists(k_qvatoken));
    // The enumerator key fails: the Parameters values stay written.
    winsim::faults::fail("RegCreateKeyExA", ERROR_ACCESS_DENIED, 1, 1);
    EXPECT_FALSE(f.set(9, 1, 2));
    EXPECT_EQ(dword(k_qvatoken, "DriverFlags"), "9");
    EXPECT_EQ(dword(k_quvaenum, "NumberOfDevices"), "<missing>");
    // "UseRM" fails: "DriverFlags" is not touched.
    winsim::faults::fail("RegSetValueExA", ERROR_ACCESS_DENIED);
    EXPECT_FALSE(f.set(10, 1, 2));
    EXPECT_EQ(dword(k_qvatoken, "DriverFlags"), "9");
}

TEST(InstallerParams, Nt5ReadsCapsAndFallsBack) {
    Fixture f(Os::WinXp);
    DWORD fl, u, n, mode;
    EXPECT_FALSE(f.get(&fl, &u, &n, &mode));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(fl + u + n + mode, 0u);

    // No enumerator key: the count comes from the token's service key.
    import("[" + k_qvatoken + "]\n\"UseRM\"=dword:00000001\n\"DriverFlags\"=dword:00000004\n\n[" + k_svc +
           "QvaToken]\n\"NumberOfDevices\"=dword:00000032\n");
    EXPECT_TRUE(f.get(&fl, &u, &n, &mode));
    EXPECT_EQ(GetLastError(), 0u);
    EXPECT_EQ(fl, 4u);
    EXPECT_EQ(u, 1u);
    EXPECT_EQ(n, 32u); // 50 stored
    EXPECT_EQ(mode, 1u); // missing "RMMode" reads as "UseRM"

    // A present "RMMode" of 0 stays 0; the enumerator key wins once present;
    // values of the wrong type or size read as 0.
    import("[" + k_qvatoken + "]\n\"RMMode\"=dword:00000000\n\"DriverFlags\"=\"4\"\n\n[" + k_quvaenum +
           "]\n\"NumberOfDevices\"=hex:03,00\n");
    EXPECT_TRUE(f.get(&fl, &u, &n, &mode));
    EXPECT_EQ(mode, 0u);
    EXPECT_EQ(fl, 0u);
    EXPECT_EQ(n, 0u);

    // The enumerator key failing otherwise than "not found" is reported.
    winsim::faults::fail("RegOpenKeyExA", ERROR_ACCESS_DENIED, 1, 1);
    EXPECT_FALSE(f.get(&fl, &u, &n, &mode));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_ACCESS_DENIED);
    EXPECT_EQ(n, 0u);

    SetLastError(0);
    EXPECT_FALSE(f.lib.fn<BOOL(WINAPI *)(LPDWORD, LPDWORD, LPDWORD, LPDWORD)>("quvaDI_GetDriverParams")(
        &fl, nullptr, &n, &mode));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
}

TEST(InstallerParams, Nt4StoresInOneKeyAndForgetsVirtualReaders) {
    Fixture f(Os::Nt4);
    import("[" + k_calais + "\\Vornel Technologies QuvaVirtualReader 0]\n\n[" + k_calais +
           "\\Vornel Technologies QuvaVirtualReader 1]\n");
    EXPECT_TRUE(f.set(0xFF, 0, 0));
    EXPECT_EQ(dword(k_usbqvtkn, "UseRM"), "0");
    EXPECT_EQ(dword(k_usbqvtkn, "NumberOfDevices"), "0");
    EXPECT_EQ(dword(k_usbqvtkn, "DriverFlags"), "<missing>");
    EXPECT_FALSE(winsim::reg::key_exists(k_calais + "\\Vornel Technologies QuvaVirtualReader 0"));
    EXPECT_FALSE(winsim::reg::key_exists(k_calais + "\\Vornel Technologies QuvaVirtualReader 1"));

    EXPECT_TRUE(f.set(0, 1, 50));
    EXPECT_EQ(dword(k_usbqvtkn, "NumberOfDevices"), "10");
    f.physical_readers(7);
    EXPECT_TRUE(f.set(0, 1, 5));
    EXPECT_EQ(dword(k_usbqvtkn, "NumberOfDevices"), "3");
    f.physical_readers(0);
    for (int i = 7; i < 10; i++) EXPECT_TRUE(add_reader("Reader " + std::to_string(i)));
    EXPECT_TRUE(f.set(0, 1, 5));
    EXPECT_EQ(dword(k_usbqvtkn, "UseRM"), "0");
    EXPECT_EQ(dword(k_usbqvtkn, "NumberOfDevices"), "0");

    DWORD fl, u, n, mode;
    import("[" + k_usbqvtkn + "]\n\"UseRM\"=dword:00000001\n\"NumberOfDevices\"=dword:00000032\n");
    EXPECT_TRUE(f.get(&fl, &u, &n, &mode));
    EXPECT_EQ(n, 10u);
    EXPECT_EQ(mode, 1u);
    EXPECT_EQ(fl, 0u);
}

TEST(InstallerParams, Win98CapsAtTenAndRefusesWithPhysicalReaders) {
    Fixture f(Os::Win98);
    EXPECT_TRUE(f.set(0xFF, 1, 15));
    EXPECT_EQ(dword(k_qvatoken, "UseRM"), "1");
    EXPECT_EQ(dword(k_qvatoken, "DriverFlags"), "<missing>");
    EXPECT_EQ(dword(k_vxd, "NumberOfReaders"), "10");
    f.physical_readers(1);
    EXPECT_TRUE(f.set(0, 1, 2));
    EXPECT_EQ(dword(k_qvatoken, "UseRM"), "0");
    EXPECT_EQ(dword(k_vxd, "NumberOfReaders"), "0");

    DWORD fl, u, n, mode;
    import("[" + k_vxd + "]\n\"NumberOfReaders\"=dword:00000032\n");
    EXPECT_TRUE(f.get(&fl, &u, &n, &mode));
    EXPECT_EQ(n, 10u);
    import("[-" + k_vxd + "]\n");
    EXPECT_TRUE(f.get(&fl, &u, &n, &mode)); // no VxD key: count 0
    EXPECT_EQ(n, 0u);
    winsim::faults::fail("RegOpenKeyExA", ERROR_ACCESS_DENIED);
    EXPECT_FALSE(f.get(&fl, &u, &n, &mode));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_FILE_NOT_FOUND); // always 2 on 98/ME

    // The Parameters key is opened before anything else.
    winsim::faults::fail("RegCreateKeyExA", ERROR_ACCESS_DENIED);
    EXPECT_FALSE(f.set(0, 1, 3));
    EXPECT_EQ(dword(k_qvatoken, "UseRM"), "0");
}

TEST(InstallerParams, Win95AndFailedVersionQuery) {
    Fixture f(Os::Win95);
    DWORD fl, u, n, mode;
    LONG c, d;
    EXPECT_FALSE(f.set(0, 1, 1));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INSTALL_PLATFORM_UNSUPPORTED);
    EXPECT_FALSE(f.get(&fl, &u, &n, &mode));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INSTALL_PLATFORM_UNSUPPORTED);
    EXPECT_FALSE(f.set_led(1, 1));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INSTALL_PLATFORM_UNSUPPORTED);
    EXPECT_FALSE(f.get_led(&c, &d));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INSTALL_PLATFORM_UNSUPPORTED);
    EXPECT_FALSE(winsim::reg::key_exists(k_qvatoken));

    // The LED reader alone answers TRUE when the platform cannot be asked.
    winsim::faults::fail("GetVersionExA", ERROR_INVALID_PARAMETER, -1);
    EXPECT_FALSE(f.set(0, 1, 1));
    EXPECT_FALSE(f.get(&fl, &u, &n, &mode));
    EXPECT_EQ(fl + u + n + mode, 0u);
    EXPECT_FALSE(f.set_led(1, 1));
    EXPECT_TRUE(f.get_led(&c, &d));
    EXPECT_EQ(c + d, 0);
}

TEST(InstallerParams, LedValuesAreNormalisedBothWaysOnEveryPlatform) {
    for (Os os : {Os::Win98, Os::Nt4, Os::WinXp}) {
        Fixture f(os);
        const std::string key = os == Os::Nt4 ? k_usbqvtkn : k_qvatoken;
        LONG c, d;
        EXPECT_FALSE(f.get_led(&c, &d));
        EXPECT_EQ(GetLastError(), (DWORD)ERROR_FILE_NOT_FOUND);
        EXPECT_EQ(c + d, 0);
        struct { LONG c, d; const char *sc, *sd; } cases[] = {
            {-1, 10, "3", "30"}, {0, 10, "0", "0"}, {300, -5, "255", "0"}, {-5, -1, "3", "30"}, {7, 8, "7", "8"}};
        for (auto &k : cases) {
            EXPECT_TRUE(f.set_led(k.c, k.d));
            EXPECT_EQ(dword(key, "FlashLedCycle"), k.sc) << k.c;
            EXPECT_EQ(dword(key, "FlashLedDuration"), k.sd) << k.d;
        }
        import("[" + key + "]\n\"FlashLedCycle\"=dword:00000005\n\"FlashLedDuration\"=dword:00000000\n");
        EXPECT_TRUE(f.get_led(&c, &d));
        EXPECT_EQ(c, 0);
        EXPECT_EQ(d, 0);
        import("[" + key + "]\n\"FlashLedCycle\"=dword:fffffffb\n\"FlashLedDuration\"=dword:00000400\n");
        EXPECT_TRUE(f.get_led(&c, &d));
        EXPECT_EQ(GetLastError(), 0u);
        EXPECT_EQ(c, 0);
        EXPECT_EQ(d, 255);
        winsim::faults::fail("RegSetValueExA", ERROR_ACCESS_DENIED, 1, 1);
        EXPECT_FALSE(f.set_led(4, 4));
    }
}

} // namespace
