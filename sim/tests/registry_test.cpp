// The simulated registry: Win32 semantics and REGEDIT4 text.
#include <windows.h>
#include <winsim/sim.h>

#include "../src/registry.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <sstream>

using winsim::Os;

namespace {

HKEY create(HKEY base, const char *sub, REGSAM sam = KEY_ALL_ACCESS, DWORD *disp = nullptr) {
    HKEY k = nullptr;
    LONG e = RegCreateKeyExA(base, sub, 0, nullptr, 0, sam, nullptr, &k, disp);
    EXPECT_EQ(ERROR_SUCCESS, e) << sub;
    return k;
}

LONG set_sz(HKEY k, const char *name, const char *s) {
    return RegSetValueExA(k, name, 0, REG_SZ, (const BYTE *)s, (DWORD)std::strlen(s) + 1);
}

LONG set_dword(HKEY k, const char *name, DWORD v) {
    return RegSetValueExA(k, name, 0, REG_DWORD, (const BYTE *)&v, sizeof v);
}

std::vector<std::string> enum_keys(HKEY k) {
    std::vector<std::string> out;
    char name[256];
    for (DWORD i = 0;; i++) {
        DWORD cch = sizeof name;
        LONG e = RegEnumKeyExA(k, i, name, &cch, nullptr, nullptr, nullptr, nullptr);
        if (e == ERROR_NO_MORE_ITEMS) break;
        EXPECT_EQ(ERROR_SUCCESS, e);
        if (e) break;
        EXPECT_EQ(std::strlen(name), cch);
        out.push_back(name);
    }
    return out;
}

long open_keys() {
    auto c = winsim::handles::open();
    return c.count(winsim::HandleKind::RegistryKey) ? c[winsim::HandleKind::RegistryKey] : 0;
}

} // namespace

// ------------------------------------------------------- open and create

TEST(Registry, CreateOpenAndClose) {
    auto m = winsim::Machine::temporary(Os::WinXp);
    DWORD disp = 0;
    HKEY k = create(HKEY_LOCAL_MACHINE, "Software\\Acme\\Tool", KEY_ALL_ACCESS, &disp);
    EXPECT_EQ((DWORD)REG_CREATED_NEW_KEY, disp);
    EXPECT_TRUE(winsim::reg::key_exists("HKLM\\Software\\Acme")); // intermediate made too
    HKEY again = create(HKEY_LOCAL_MACHINE, "SOFTWARE\\ACME\\TOOL", KEY_ALL_ACCESS, &disp);
    EXPECT_EQ((DWORD)REG_OPENED_EXISTING_KEY, disp);
    EXPECT_NE(k, again);

    // Case-insensitive lookup, case-preserving names.
    HKEY acme = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_LOCAL_MACHINE, "software\\acme", 0, KEY_READ, &acme));
    EXPECT_EQ(std::vector<std::string>{"Tool"}, enum_keys(acme));

    // No subkey: Ex calls give a new handle, the old calls the same one.
    HKEY self = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(acme, nullptr, 0, KEY_READ, &self));
    EXPECT_NE(acme, self);
    EXPECT_EQ(std::vector<std::string>{"Tool"}, enum_keys(self));
    HKEY same = nullptr;
    EXPECT_EQ(ERROR_SUCCESS, RegOpenKeyA(acme, "", &same));
    EXPECT_EQ(acme, same);
    EXPECT_EQ(ERROR_SUCCESS, RegCreateKeyA(acme, nullptr, &same));
    EXPECT_EQ(acme, same);
    EXPECT_EQ(ERROR_ACCESS_DENIED, RegCreateKeyA(acme, "Second", &same)); // acme is open for reading
    EXPECT_EQ(ERROR_SUCCESS, RegCreateKeyA(HKEY_LOCAL_MACHINE, "Software\\Acme\\Second", &same));
    EXPECT_TRUE(winsim::reg::key_exists("HKEY_LOCAL_MACHINE\\SOFTWARE\\Acme\\second"));

    HKEY missing = (HKEY)1;
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\Nope", 0, KEY_READ, &missing));
    EXPECT_EQ(nullptr, missing);
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegOpenKeyA(HKEY_LOCAL_MACHINE, "Software\\Nope", &missing));
    EXPECT_EQ(ERROR_INVALID_PARAMETER, RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software", 0, KEY_READ, nullptr));
    // NT names are relative to the key: no leading backslash.
    EXPECT_EQ(ERROR_BAD_PATHNAME, RegOpenKeyExA(HKEY_LOCAL_MACHINE, "\\Software", 0, KEY_READ, &missing));

    for (HKEY h : {k, again, acme, self, same}) EXPECT_EQ(ERROR_SUCCESS, RegCloseKey(h));
    EXPECT_EQ(ERROR_INVALID_HANDLE, RegCloseKey(k));
    EXPECT_EQ(ERROR_INVALID_HANDLE, RegCloseKey(nullptr));
    EXPECT_EQ(ERROR_SUCCESS, RegCloseKey(HKEY_LOCAL_MACHINE));
    EXPECT_EQ(ERROR_INVALID_HANDLE, RegOpenKeyExA((HKEY)(ULONG_PTR)0x12345, "x", 0, KEY_READ, &missing));
    // A predefined key written the 32-bit way still names its hive.
    EXPECT_EQ(ERROR_SUCCESS, RegOpenKeyExA((HKEY)(ULONG_PTR)0x80000002u, "Software", 0, KEY_READ, &k));
    RegCloseKey(k);
}

TEST(Registry, LeadingBackslashAcceptedOn9x) {
    auto m = winsim::Machine::temporary(Os::Win98);
    HKEY k = nullptr;
    EXPECT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_LOCAL_MACHINE, "\\Enum", 0, KEY_READ, &k));
    RegCloseKey(k);
}

TEST(Registry, ClassesRootIsPartOfLocalMachine) {
    auto m = winsim::Machine::temporary(Os::WinXp);
    EXPECT_FALSE(winsim::reg::key_exists("HKLM\\Software\\Classes"));
    HKEY k = create(HKEY_CLASSES_ROOT, ".qvt");
    EXPECT_EQ(ERROR_SUCCESS, set_sz(k, nullptr, "QuvaToken"));
    RegCloseKey(k);
    std::vector<BYTE> data;
    ASSERT_TRUE(winsim::reg::value("HKEY_LOCAL_MACHINE\\SOFTWARE\\Classes\\.qvt", "", nullptr, &data));
    EXPECT_EQ("QuvaToken", std::string((const char *)data.data()));
    EXPECT_EQ("REGEDIT4\n\n[HKEY_CLASSES_ROOT\\.qvt]\n@=\"QuvaToken\"\n\n", winsim::reg::export_text("HKCR\\.QVT"));
    // Listed once, under HKEY_LOCAL_MACHINE, in a full export.
    std::string all = winsim::reg::export_text();
    EXPECT_EQ(std::string::npos, all.find("HKEY_CLASSES_ROOT"));
    EXPECT_NE(std::string::npos, all.find("[HKEY_LOCAL_MACHINE\\SOFTWARE\\Classes\\.qvt]\n"));
}

// ------------------------------------------------------------------ values

TEST(Registry, QueryValueSizeRules) {
    auto m = winsim::Machine::temporary(Os::WinXp);
    HKEY k = create(HKEY_CURRENT_USER, "Software\\Acme");
    ASSERT_EQ(ERROR_SUCCESS, set_sz(k, "Name", "hello"));

    DWORD type = 0, cb = 0;
    EXPECT_EQ(ERROR_SUCCESS, RegQueryValueExA(k, "name", nullptr, &type, nullptr, &cb));
    EXPECT_EQ((DWORD)REG_SZ, type);
    EXPECT_EQ(6u, cb);

    char buf[16];
    std::memset(buf, 'x', sizeof buf);
    cb = 3;
    type = 0;
    EXPECT_EQ(ERROR_MORE_DATA, RegQueryValueExA(k, "Name", nullptr, &type, (BYTE *)buf, &cb));
    EXPECT_EQ(6u, cb);
    EXPECT_EQ((DWORD)REG_SZ, type);
    cb = 6;
    EXPECT_EQ(ERROR_SUCCESS, RegQueryValueExA(k, "Name", nullptr, nullptr, (BYTE *)buf, &cb));
    EXPECT_STREQ("hello", buf);
    EXPECT_EQ(6u, cb);

    EXPECT_EQ(ERROR_INVALID_PARAMETER, RegQueryValueExA(k, "Name", nullptr, nullptr, (BYTE *)buf, nullptr));
    EXPECT_EQ(ERROR_SUCCESS, RegQueryValueExA(k, "Name", nullptr, nullptr, nullptr, nullptr));
    cb = sizeof buf;
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegQueryValueExA(k, "Other", nullptr, nullptr, (BYTE *)buf, &cb));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegQueryValueExA(k, nullptr, nullptr, nullptr, nullptr, &cb));

    // NULL and "" both name the default value.
    ASSERT_EQ(ERROR_SUCCESS, set_sz(k, nullptr, "dflt"));
    cb = sizeof buf;
    EXPECT_EQ(ERROR_SUCCESS, RegQueryValueExA(k, "", nullptr, nullptr, (BYTE *)buf, &cb));
    EXPECT_STREQ("dflt", buf);

    // Stored as given: no terminator added on set; NT adds one on read if there is room.
    ASSERT_EQ(ERROR_SUCCESS, RegSetValueExA(k, "Raw", 0, REG_SZ, (const BYTE *)"abc", 3));
    std::memset(buf, 'x', sizeof buf);
    cb = sizeof buf;
    EXPECT_EQ(ERROR_SUCCESS, RegQueryValueExA(k, "Raw", nullptr, nullptr, (BYTE *)buf, &cb));
    EXPECT_EQ(3u, cb);
    EXPECT_STREQ("abc", buf);
    std::vector<BYTE> raw;
    ASSERT_TRUE(winsim::reg::value("HKCU\\Software\\Acme", "Raw", nullptr, &raw));
    EXPECT_EQ(3u, raw.size());

    EXPECT_EQ(ERROR_NOACCESS, RegSetValueExA(k, "Bad", 0, REG_BINARY, nullptr, 4));
    EXPECT_EQ(ERROR_SUCCESS, RegSetValueExA(k, "Empty", 0, REG_BINARY, nullptr, 0));
    cb = 99;
    EXPECT_EQ(ERROR_SUCCESS, RegQueryValueExA(k, "Empty", nullptr, nullptr, nullptr, &cb));
    EXPECT_EQ(0u, cb);
    DWORD reserved = 0;
    EXPECT_EQ(ERROR_INVALID_PARAMETER, RegQueryValueExA(k, "Name", &reserved, nullptr, nullptr, &cb));
    RegCloseKey(k);
}

TEST(Registry, EnumerationOrderAndBuffers) {
    auto m = winsim::Machine::temporary(Os::WinXp);
    HKEY k = create(HKEY_CURRENT_USER, "Software\\Order");
    for (const char *n : {"beta", "_under", "Alpha", "gamma", "ALPHA2", "a1"}) RegCloseKey(create(k, n));
    // Sorted upper-case, as NT does: '_' comes after the letters, digits before.
    std::vector<std::string> want = {"a1", "Alpha", "ALPHA2", "beta", "gamma", "_under"};
    EXPECT_EQ(want, enum_keys(k));

    char name[8];
    DWORD cch = 5; // "Alpha" needs 6 with its terminator
    EXPECT_EQ(ERROR_MORE_DATA, RegEnumKeyExA(k, 1, name, &cch, nullptr, nullptr, nullptr, nullptr));
    EXPECT_EQ(5u, cch);
    cch = 6;
    EXPECT_EQ(ERROR_SUCCESS, RegEnumKeyExA(k, 1, name, &cch, nullptr, nullptr, nullptr, nullptr));
    EXPECT_EQ(5u, cch);
    EXPECT_STREQ("Alpha", name);
    cch = sizeof name;
    EXPECT_EQ(ERROR_NO_MORE_ITEMS, RegEnumKeyExA(k, 6, name, &cch, nullptr, nullptr, nullptr, nullptr));
    EXPECT_EQ(ERROR_SUCCESS, RegEnumKeyA(k, 5, name, sizeof name));
    EXPECT_STREQ("_under", name);
    EXPECT_EQ(ERROR_MORE_DATA, RegEnumKeyA(k, 5, name, 6));
    EXPECT_EQ(ERROR_NO_MORE_ITEMS, RegEnumKeyA(k, 6, name, sizeof name));

    // Values keep creation order; overwriting keeps the place and spelling.
    ASSERT_EQ(ERROR_SUCCESS, set_sz(k, "Zeta", "z"));
    ASSERT_EQ(ERROR_SUCCESS, set_dword(k, "Alpha", 7));
    ASSERT_EQ(ERROR_SUCCESS, set_sz(k, nullptr, "default"));
    ASSERT_EQ(ERROR_SUCCESS, set_sz(k, "ZETA", "longer value"));
    const char *order[] = {"Zeta", "Alpha", ""};
    for (DWORD i = 0; i < 3; i++) {
        char vn[16];
        BYTE data[32];
        DWORD vcch = sizeof vn, cb = sizeof data, type = 0;
        ASSERT_EQ(ERROR_SUCCESS, RegEnumValueA(k, i, vn, &vcch, nullptr, &type, data, &cb)) << i;
        EXPECT_STREQ(order[i], vn);
        EXPECT_EQ(std::strlen(order[i]), vcch);
    }
    char vn[16];
    BYTE data[32];
    DWORD vcch = sizeof vn, cb = 4, type = 0;
    EXPECT_EQ(ERROR_MORE_DATA, RegEnumValueA(k, 0, vn, &vcch, nullptr, &type, data, &cb));
    EXPECT_EQ(13u, cb);
    EXPECT_EQ((DWORD)REG_SZ, type);
    vcch = 4; // "Zeta" needs 5
    cb = sizeof data;
    EXPECT_EQ(ERROR_MORE_DATA, RegEnumValueA(k, 0, vn, &vcch, nullptr, nullptr, data, &cb));
    vcch = sizeof vn;
    cb = 0;
    EXPECT_EQ(ERROR_SUCCESS, RegEnumValueA(k, 1, vn, &vcch, nullptr, nullptr, nullptr, &cb));
    EXPECT_EQ(4u, cb);
    vcch = sizeof vn;
    EXPECT_EQ(ERROR_NO_MORE_ITEMS, RegEnumValueA(k, 3, vn, &vcch, nullptr, nullptr, nullptr, nullptr));
    EXPECT_EQ(ERROR_INVALID_PARAMETER, RegEnumValueA(k, 0, vn, &vcch, nullptr, nullptr, data, nullptr));

    DWORD subkeys = 0, max_sub = 0, values = 0, max_vname = 0, max_data = 0;
    EXPECT_EQ(ERROR_SUCCESS, RegQueryInfoKeyA(k, nullptr, nullptr, nullptr, &subkeys, &max_sub, nullptr, &values,
                                              &max_vname, &max_data, nullptr, nullptr));
    EXPECT_EQ(6u, subkeys);
    EXPECT_EQ(6u, max_sub); // "ALPHA2", "_under"
    EXPECT_EQ(3u, values);
    EXPECT_EQ(5u, max_vname);
    EXPECT_EQ(13u, max_data);

    EXPECT_EQ(ERROR_SUCCESS, RegDeleteValueA(k, "zeta"));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegDeleteValueA(k, "zeta"));
    vcch = sizeof vn;
    EXPECT_EQ(ERROR_SUCCESS, RegEnumValueA(k, 0, vn, &vcch, nullptr, nullptr, nullptr, nullptr));
    EXPECT_STREQ("Alpha", vn);
    EXPECT_EQ(ERROR_SUCCESS, RegFlushKey(k));
    RegCloseKey(k);
}

// ------------------------------------------------------------------ delete

TEST(Registry, DeleteKeyIsLeafOnlyOnNt) {
    auto m = winsim::Machine::temporary(Os::WinXp);
    RegCloseKey(create(HKEY_LOCAL_MACHINE, "Software\\Acme\\Sub\\Leaf"));
    EXPECT_EQ(ERROR_ACCESS_DENIED, RegDeleteKeyA(HKEY_LOCAL_MACHINE, "Software\\Acme"));
    EXPECT_TRUE(winsim::reg::key_exists("HKLM\\Software\\Acme\\Sub\\Leaf"));
    EXPECT_EQ(ERROR_SUCCESS, RegDeleteKeyA(HKEY_LOCAL_MACHINE, "Software\\Acme\\Sub\\Leaf"));
    EXPECT_EQ(ERROR_SUCCESS, RegDeleteKeyA(HKEY_LOCAL_MACHINE, "Software\\Acme\\Sub"));
    EXPECT_FALSE(winsim::reg::key_exists("HKLM\\Software\\Acme\\Sub"));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegDeleteKeyA(HKEY_LOCAL_MACHINE, "Software\\Acme\\Sub"));
    EXPECT_EQ(ERROR_INVALID_PARAMETER, RegDeleteKeyA(HKEY_LOCAL_MACHINE, ""));
    EXPECT_EQ(ERROR_INVALID_PARAMETER, RegDeleteKeyA(HKEY_LOCAL_MACHINE, nullptr));
}

TEST(Registry, DeleteKeyTakesSubtreeOn9x) {
    auto m = winsim::Machine::temporary(Os::Win98);
    RegCloseKey(create(HKEY_LOCAL_MACHINE, "Software\\Acme\\Sub\\Leaf"));
    EXPECT_EQ(ERROR_SUCCESS, RegDeleteKeyA(HKEY_LOCAL_MACHINE, "Software\\Acme"));
    EXPECT_FALSE(winsim::reg::key_exists("HKLM\\Software\\Acme"));
    EXPECT_TRUE(winsim::reg::key_exists("HKLM\\Software"));

    // A write-protected key inside the subtree keeps it all in place.
    RegCloseKey(create(HKEY_LOCAL_MACHINE, "Software\\Acme\\Sub\\Leaf"));
    winsim::reg::deny_write("HKLM\\Software\\Acme\\Sub\\Leaf");
    EXPECT_EQ(ERROR_ACCESS_DENIED, RegDeleteKeyA(HKEY_LOCAL_MACHINE, "Software\\Acme"));
    EXPECT_TRUE(winsim::reg::key_exists("HKLM\\Software\\Acme\\Sub\\Leaf"));
}

TEST(Registry, HandlesToDeletedKeys) {
    auto m = winsim::Machine::temporary(Os::Win98);
    HKEY leaf = create(HKEY_CURRENT_USER, "Software\\Gone\\Leaf");
    ASSERT_EQ(ERROR_SUCCESS, set_sz(leaf, "v", "x"));
    ASSERT_EQ(ERROR_SUCCESS, RegDeleteKeyA(HKEY_CURRENT_USER, "Software\\Gone"));
    DWORD cb = 0;
    char name[8];
    DWORD cch = sizeof name;
    HKEY sub = nullptr;
    EXPECT_EQ(ERROR_KEY_DELETED, set_sz(leaf, "v", "y"));
    EXPECT_EQ(ERROR_KEY_DELETED, RegQueryValueExA(leaf, "v", nullptr, nullptr, nullptr, &cb));
    EXPECT_EQ(ERROR_KEY_DELETED, RegEnumKeyExA(leaf, 0, name, &cch, nullptr, nullptr, nullptr, nullptr));
    EXPECT_EQ(ERROR_KEY_DELETED, RegCreateKeyExA(leaf, "x", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &sub, nullptr));
    EXPECT_EQ(ERROR_KEY_DELETED, RegFlushKey(leaf));
    // A new key of the same name is a different key.
    HKEY fresh = create(HKEY_CURRENT_USER, "Software\\Gone\\Leaf");
    EXPECT_EQ(ERROR_KEY_DELETED, RegDeleteValueA(leaf, "v"));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegQueryValueExA(fresh, "v", nullptr, nullptr, nullptr, &cb));
    EXPECT_EQ(ERROR_SUCCESS, RegCloseKey(leaf));
    EXPECT_EQ(ERROR_SUCCESS, RegCloseKey(fresh));
}

// ------------------------------------------------------------------ rights

TEST(Registry, AccessRightsOnNt) {
    auto m = winsim::Machine::temporary(Os::WinXp);
    RegCloseKey(create(HKEY_CURRENT_USER, "Software\\Acme\\Sub"));
    HKEY q = nullptr, r = nullptr, w = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\Acme", 0, KEY_QUERY_VALUE, &q));
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\Acme", 0, KEY_READ, &r));
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\Acme", 0, KEY_SET_VALUE, &w));
    char name[16];
    DWORD cch = sizeof name, cb = 0;
    HKEY sub = nullptr;
    EXPECT_EQ(ERROR_ACCESS_DENIED, set_sz(q, "v", "x"));
    EXPECT_EQ(ERROR_ACCESS_DENIED, RegEnumKeyExA(q, 0, name, &cch, nullptr, nullptr, nullptr, nullptr));
    EXPECT_EQ(ERROR_ACCESS_DENIED, RegCreateKeyExA(r, "New", 0, nullptr, 0, KEY_READ, nullptr, &sub, nullptr));
    EXPECT_FALSE(winsim::reg::key_exists("HKCU\\Software\\Acme\\New"));
    // Opening an existing subkey needs nothing on the parent handle.
    EXPECT_EQ(ERROR_SUCCESS, RegCreateKeyExA(q, "Sub", 0, nullptr, 0, KEY_READ, nullptr, &sub, nullptr));
    RegCloseKey(sub);
    EXPECT_EQ(ERROR_SUCCESS, set_sz(w, "v", "x"));
    EXPECT_EQ(ERROR_ACCESS_DENIED, RegQueryValueExA(w, "v", nullptr, nullptr, nullptr, &cb));
    EXPECT_EQ(ERROR_ACCESS_DENIED, RegDeleteValueA(r, "v"));
    EXPECT_EQ(ERROR_SUCCESS, RegQueryValueExA(r, "v", nullptr, nullptr, nullptr, &cb));
    EXPECT_EQ(ERROR_SUCCESS, RegEnumKeyExA(r, 0, name, &cch, nullptr, nullptr, nullptr, nullptr));
    EXPECT_EQ(ERROR_SUCCESS, RegDeleteValueA(w, "v"));
    for (HKEY h : {q, r, w}) RegCloseKey(h);
}

TEST(Registry, AccessRightsIgnoredOn9x) {
    auto m = winsim::Machine::temporary(Os::Win98);
    m->set_admin(false); // no such thing on 9x
    HKEY q = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Enum", 0, KEY_QUERY_VALUE, &q));
    EXPECT_EQ(ERROR_SUCCESS, set_sz(q, "v", "x"));
    HKEY sub = nullptr;
    EXPECT_EQ(ERROR_SUCCESS, RegCreateKeyExA(q, "New", 0, nullptr, 0, 0, nullptr, &sub, nullptr));
    RegCloseKey(sub);
    EXPECT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Enum", 0, KEY_ALL_ACCESS, &sub));
    RegCloseKey(sub);
    RegCloseKey(q);
}

TEST(Registry, NonAdministratorCannotWriteLocalMachine) {
    auto m = winsim::Machine::temporary(Os::WinXp);
    RegCloseKey(create(HKEY_LOCAL_MACHINE, "Software\\Acme"));
    m->set_admin(false);
    HKEY k = nullptr;
    EXPECT_EQ(ERROR_ACCESS_DENIED, RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\Acme", 0, KEY_ALL_ACCESS, &k));
    EXPECT_EQ(ERROR_ACCESS_DENIED, RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\Acme", 0, KEY_SET_VALUE, &k));
    EXPECT_EQ(ERROR_ACCESS_DENIED, RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\Acme", 0, GENERIC_WRITE, &k));
    EXPECT_EQ(ERROR_ACCESS_DENIED, RegCreateKeyExA(HKEY_LOCAL_MACHINE, "Software\\Acme\\New", 0, nullptr, 0, KEY_READ,
                                                   nullptr, &k, nullptr));
    EXPECT_FALSE(winsim::reg::key_exists("HKLM\\Software\\Acme\\New"));
    EXPECT_EQ(ERROR_ACCESS_DENIED, set_sz(HKEY_LOCAL_MACHINE, "v", "x"));
    EXPECT_EQ(ERROR_ACCESS_DENIED, RegDeleteKeyA(HKEY_LOCAL_MACHINE, "Software\\Acme"));
    EXPECT_EQ(ERROR_ACCESS_DENIED, RegCreateKeyA(HKEY_CLASSES_ROOT, ".new", &k));

    // Reading works, and the old calls open with what the user may have.
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\Acme", 0, KEY_READ, &k));
    RegCloseKey(k);
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyA(HKEY_LOCAL_MACHINE, "Software\\Acme", &k));
    EXPECT_EQ(ERROR_ACCESS_DENIED, set_sz(k, "v", "x"));
    DWORD n = 0;
    EXPECT_EQ(ERROR_SUCCESS, RegQueryInfoKeyA(k, nullptr, nullptr, nullptr, &n, nullptr, nullptr, nullptr, nullptr,
                                              nullptr, nullptr, nullptr));
    RegCloseKey(k);
    // The user's own hive is writable.
    k = create(HKEY_CURRENT_USER, "Software\\Acme");
    EXPECT_EQ(ERROR_SUCCESS, set_sz(k, "v", "x"));
    RegCloseKey(k);
}

TEST(Registry, DenyWriteActsLikeAnAcl) {
    for (Os os : {Os::WinXp, Os::Win98}) {
        auto m = winsim::Machine::temporary(os);
        HKEY before = create(HKEY_LOCAL_MACHINE, "Software\\Locked\\Inner");
        ASSERT_EQ(ERROR_SUCCESS, set_sz(before, "v", "x"));
        winsim::reg::deny_write("HKLM\\SOFTWARE\\locked");
        HKEY k = nullptr;
        EXPECT_EQ(ERROR_ACCESS_DENIED, RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\Locked\\Inner", 0,
                                                     KEY_WRITE, &k));
        EXPECT_EQ(ERROR_ACCESS_DENIED, RegCreateKeyExA(HKEY_LOCAL_MACHINE, "Software\\Locked\\Other", 0, nullptr, 0,
                                                       KEY_READ, nullptr, &k, nullptr));
        EXPECT_FALSE(winsim::reg::key_exists("HKLM\\Software\\Locked\\Other"));
        EXPECT_EQ(ERROR_ACCESS_DENIED, set_sz(before, "v", "y"));
        EXPECT_EQ(ERROR_ACCESS_DENIED, RegDeleteValueA(before, "v"));
        EXPECT_EQ(ERROR_ACCESS_DENIED, RegDeleteKeyA(HKEY_LOCAL_MACHINE, "Software\\Locked\\Inner"));
        // 9x would delete the subtree around it: refused as a whole.
        EXPECT_EQ(ERROR_ACCESS_DENIED, RegDeleteKeyA(HKEY_LOCAL_MACHINE, "Software\\Locked"));
        ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\Locked\\Inner", 0, KEY_READ, &k));
        DWORD cb = 0;
        EXPECT_EQ(ERROR_SUCCESS, RegQueryValueExA(k, "v", nullptr, nullptr, nullptr, &cb));
        RegCloseKey(k);
        // Siblings are not affected.
        EXPECT_EQ(ERROR_SUCCESS, RegCreateKeyExA(HKEY_LOCAL_MACHINE, "Software\\LockedNot", 0, nullptr, 0,
                                                 KEY_ALL_ACCESS, nullptr, &k, nullptr));
        RegCloseKey(k);
        winsim::reg::deny_write("HKEY_LOCAL_MACHINE\\Software\\Locked", false);
        EXPECT_EQ(ERROR_SUCCESS, set_sz(before, "v", "y"));
        RegCloseKey(before);
    }
}

TEST(Registry, DenyWriteCoversKeysNotYetCreated) {
    auto m = winsim::Machine::temporary(Os::WinXp);
    winsim::reg::deny_write("HKLM\\Software\\Acme\\Tool");
    HKEY k = nullptr;
    EXPECT_EQ(ERROR_ACCESS_DENIED, RegCreateKeyExA(HKEY_LOCAL_MACHINE, "Software\\Acme\\Tool\\Deep", 0, nullptr, 0,
                                                   KEY_ALL_ACCESS, nullptr, &k, nullptr));
    // Nothing made on the way: the whole creation is checked first.
    EXPECT_FALSE(winsim::reg::key_exists("HKLM\\Software\\Acme"));
}

// ---------------------------------------------------- faults and handles

TEST(Registry, FaultInjectionHitsOneCall) {
    auto m = winsim::Machine::temporary(Os::WinXp);
    winsim::faults::fail("RegOpenKeyExA", ERROR_ACCESS_DENIED, 1, 1);
    HKEY k = nullptr;
    EXPECT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE", 0, KEY_READ, &k));
    RegCloseKey(k);
    EXPECT_EQ(ERROR_ACCESS_DENIED, RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE", 0, KEY_READ, &k));
    EXPECT_EQ(ERROR_SUCCESS, RegOpenKeyA(HKEY_LOCAL_MACHINE, "SOFTWARE", &k)); // a different call
    RegCloseKey(k);
    EXPECT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE", 0, KEY_READ, &k));
    RegCloseKey(k);
    EXPECT_EQ(1, winsim::faults::fired("RegOpenKeyExA"));

    winsim::faults::fail("RegSetValueExA", ERROR_DISK_FULL);
    k = create(HKEY_CURRENT_USER, "Software\\F");
    EXPECT_EQ(ERROR_DISK_FULL, set_sz(k, "v", "x"));
    EXPECT_FALSE(winsim::reg::value("HKCU\\Software\\F", "v", nullptr, nullptr));
    RegCloseKey(k);
}

TEST(Registry, OpenKeysAreCountedHandles) {
    auto m = winsim::Machine::temporary(Os::WinXp);
    auto before = winsim::handles::open();
    long base = open_keys();
    HKEY a = create(HKEY_CURRENT_USER, "Software\\A");
    HKEY b = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(a, nullptr, 0, KEY_READ, &b));
    EXPECT_EQ(base + 2, open_keys());
    EXPECT_EQ("2 registry key", winsim::handles::leaks_since(before));
    HKEY c = nullptr;
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegOpenKeyExA(a, "missing", 0, KEY_READ, &c));
    EXPECT_EQ(base + 2, open_keys());
    // A deleted key's handle is still open until closed.
    ASSERT_EQ(ERROR_SUCCESS, RegDeleteKeyA(HKEY_CURRENT_USER, "Software\\A"));
    EXPECT_EQ(base + 2, open_keys());
    RegCloseKey(a);
    RegCloseKey(b);
    EXPECT_EQ("", winsim::handles::leaks_since(before));
    // Key handles are not kernel handles.
    a = create(HKEY_CURRENT_USER, "Software\\A");
    EXPECT_FALSE(CloseHandle((HANDLE)a));
    EXPECT_EQ(ERROR_SUCCESS, RegCloseKey(a));
}

TEST(Registry, InternalPathInterface) {
    auto m = winsim::Machine::temporary(Os::WinXp);
    winsim::Registry &r = *m->impl()->registry;
    EXPECT_TRUE(r.set_dword("HKLM\\SYSTEM\\CurrentControlSet\\Services\\qvt", "Start", 3));
    EXPECT_TRUE(r.set_string("HKLM\\SYSTEM\\CurrentControlSet\\Services\\qvt", "ImagePath", "x.sys", REG_EXPAND_SZ));
    DWORD v = 0;
    std::string s;
    EXPECT_TRUE(r.get_dword("hklm\\system\\currentcontrolset\\services\\QVT", "start", &v));
    EXPECT_EQ(3u, v);
    EXPECT_TRUE(r.get_string("HKLM\\SYSTEM\\CurrentControlSet\\Services\\qvt", "ImagePath", &s));
    EXPECT_EQ("x.sys", s);
    EXPECT_FALSE(r.get_dword("HKLM\\SYSTEM\\CurrentControlSet\\Services\\qvt", "ImagePath", &v));
    EXPECT_EQ((std::vector<std::string>{"Start", "ImagePath"}),
              r.value_names("HKLM\\SYSTEM\\CurrentControlSet\\Services\\qvt"));
    EXPECT_FALSE(r.create_key("HKXX\\Software"));
    EXPECT_FALSE(r.key_exists("HKLM\\SYSTEM\\\\CurrentControlSet"));

    HKEY k = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, r.open_key("HKLM\\SYSTEM\\CurrentControlSet\\Services\\qvt\\Enum", KEY_ALL_ACCESS,
                                        true, &k));
    EXPECT_EQ("HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\qvt\\Enum", r.key_path(k));
    RegCloseKey(k);
    m->set_admin(false);
    EXPECT_EQ(ERROR_ACCESS_DENIED, r.open_key("HKLM\\SYSTEM", KEY_WRITE, false, &k));
    EXPECT_TRUE(r.delete_tree("HKLM\\SYSTEM\\CurrentControlSet\\Services\\qvt"));
    EXPECT_EQ(std::vector<std::string>{}, r.subkeys("HKLM\\SYSTEM\\CurrentControlSet\\Services"));
}

// ---------------------------------------------------------------- REGEDIT4

namespace {
void set_raw(HKEY k, const char *name, DWORD type, const std::vector<BYTE> &d) {
    ASSERT_EQ(ERROR_SUCCESS, RegSetValueExA(k, name, 0, type, d.data(), (DWORD)d.size())) << name;
}
} // namespace

TEST(RegistryText, RoundTripEveryValueType) {
    auto m = winsim::Machine::temporary(Os::WinXp);
    HKEY k = create(HKEY_LOCAL_MACHINE, "Software\\Acme \"Quoted\"\\Values");
    ASSERT_EQ(ERROR_SUCCESS, set_sz(k, nullptr, "default"));
    ASSERT_EQ(ERROR_SUCCESS, set_sz(k, "Path", "C:\\dir\\\"q\""));
    ASSERT_EQ(ERROR_SUCCESS, set_sz(k, "with \"quote\" \\ name", ""));
    ASSERT_EQ(ERROR_SUCCESS, set_dword(k, "Count", 0xABCD));
    std::vector<BYTE> big(100);
    for (size_t i = 0; i < big.size(); i++) big[i] = BYTE(i * 7);
    set_raw(k, "Binary", REG_BINARY, big);
    set_raw(k, "NoBytes", REG_BINARY, {});
    set_raw(k, "Expand", REG_EXPAND_SZ, {'%', 'W', '%', 0});
    set_raw(k, "Multi", REG_MULTI_SZ, {'a', 0, 'b', 0, 0});
    set_raw(k, "None", REG_NONE, {1});
    set_raw(k, "Qword", REG_QWORD, {1, 2, 3, 4, 5, 6, 7, 8});
    set_raw(k, "BigEndian", REG_DWORD_BIG_ENDIAN, {0, 0, 0, 1});
    set_raw(k, "ShortDword", REG_DWORD, {1, 2, 3});
    set_raw(k, "NoTerminator", REG_SZ, {'a', 'b'});
    set_raw(k, "EmbeddedZero", REG_SZ, {'a', 0, 'b', 0});
    set_raw(k, "EmptySz", REG_SZ, {});
    set_raw(k, "Newline", REG_SZ, {'a', '\n', 'b', 0});
    set_raw(k, "Odd", 0x20000, {9});
    RegCloseKey(k);
    RegCloseKey(create(HKEY_CURRENT_USER, "Software\\Empty\\Keys"));
    RegCloseKey(create(HKEY_CURRENT_CONFIG, "System"));

    std::string text = winsim::reg::export_text();
    EXPECT_EQ(0u, text.find("REGEDIT4\n\n[HKEY_LOCAL_MACHINE]\n\n"));
    for (const char *line : {
             "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Acme \"Quoted\"\\Values]\n@=\"default\"\n",
             "\n\"Path\"=\"C:\\\\dir\\\\\\\"q\\\"\"\n",
             "\n\"with \\\"quote\\\" \\\\ name\"=\"\"\n",
             "\n\"Count\"=dword:0000abcd\n",
             "\n\"Binary\"=hex:00,07,0e,15,",
             "\n\"NoBytes\"=hex:\n",
             "\n\"Expand\"=hex(2):25,57,25,00\n",
             "\n\"Multi\"=hex(7):61,00,62,00,00\n",
             "\n\"None\"=hex(0):01\n",
             "\n\"Qword\"=hex(b):01,02,03,04,05,06,07,08\n",
             "\n\"BigEndian\"=hex(5):00,00,00,01\n",
             "\n\"ShortDword\"=hex(4):01,02,03\n",
             "\n\"NoTerminator\"=hex(1):61,62\n",
             "\n\"EmbeddedZero\"=hex(1):61,00,62,00\n",
             "\n\"EmptySz\"=hex(1):\n",
             "\n\"Newline\"=hex(1):61,0a,62,00\n",
             "\n\"Odd\"=hex(20000):09\n",
             "\n[HKEY_CURRENT_USER\\Software\\Empty]\n\n[HKEY_CURRENT_USER\\Software\\Empty\\Keys]\n\n",
             "\n[HKEY_CURRENT_CONFIG]\n\n[HKEY_CURRENT_CONFIG\\System]\n\n",
         })
        EXPECT_NE(std::string::npos, text.find(line)) << line;
    // Long hex data is wrapped within 80 columns (key lines are never wrapped).
    std::istringstream lines(text);
    std::string l;
    int continued = 0;
    while (std::getline(lines, l)) {
        if (l.rfind("[", 0) != 0) {
            EXPECT_LE(l.size(), 80u) << l;
        }
        if (l.rfind("  ", 0) == 0) continued++;
    }
    EXPECT_GE(continued, 3);

    // Into an empty registry and out again: the same bytes.
    winsim::Registry fresh(true);
    std::string err;
    ASSERT_TRUE(fresh.import_text(text, &err)) << err;
    EXPECT_EQ(text, fresh.export_text(""));
    // Importing over itself changes nothing either.
    ASSERT_TRUE(winsim::reg::import_text(text, &err)) << err;
    EXPECT_EQ(text, winsim::reg::export_text());

    DWORD type = 0;
    std::vector<BYTE> data;
    ASSERT_TRUE(fresh.get_value("HKLM\\Software\\Acme \"Quoted\"\\Values", "Binary", &type, &data));
    EXPECT_EQ((DWORD)REG_BINARY, type);
    EXPECT_EQ(big, data);
    ASSERT_TRUE(fresh.get_value("HKLM\\Software\\Acme \"Quoted\"\\Values", "Path", &type, &data));
    EXPECT_EQ("C:\\dir\\\"q\"", std::string((const char *)data.data()));
    EXPECT_EQ(std::string("C:\\dir\\\"q\"").size() + 1, data.size());
}

TEST(RegistryText, SubtreeExportListsParentsFirst) {
    auto m = winsim::Machine::temporary(Os::WinXp);
    winsim::Registry &r = *m->impl()->registry;
    r.set_string("HKLM\\Software\\Acme\\b", "x", "1");
    r.create_key("HKLM\\Software\\Acme\\a\\deep");
    r.set_dword("HKLM\\Software\\Acme", "Top", 1);
    EXPECT_EQ("REGEDIT4\n\n"
              "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Acme]\n\"Top\"=dword:00000001\n\n"
              "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Acme\\a]\n\n"
              "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Acme\\a\\deep]\n\n"
              "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Acme\\b]\n\"x\"=\"1\"\n\n",
              winsim::reg::export_text("hklm\\software\\acme"));
    EXPECT_EQ("REGEDIT4\n\n", winsim::reg::export_text("HKLM\\Software\\Missing"));
}

TEST(RegistryText, ImportSyntax) {
    auto m = winsim::Machine::temporary(Os::WinXp);
    std::string text =
        "REGEDIT4\r\n"
        "\r\n"
        "; a comment\r\n"
        "[HKLM\\Software\\Acme\\Old]\r\n"
        "\"Gone\"=\"soon\"\r\n"
        "\"Kept\"=\"yes\"\r\n"
        "\r\n"
        "[HKEY_LOCAL_MACHINE\\Software\\Acme\\Old\\Child]\r\n"
        "[HKEY_LOCAL_MACHINE\\Software\\Acme\\New]\r\n"
        "@=\"d\"\r\n"
        "\"Bin\" = hex:01,02,\\\r\n"
        "   03,FF,\\\r\n"
        "\t04\r\n"
        "\"Exp\"=hex(2):41,00\r\n"
        "\"Num\"=DWORD:1F\r\n"
        "[HKCU\\Software\\X]\r\n"
        "[HKCR\\.qvt]\r\n"
        "\r\n"
        "[-HKEY_LOCAL_MACHINE\\Software\\Acme\\Old\\Child]\r\n"
        "[HKEY_LOCAL_MACHINE\\Software\\Acme\\Old]\r\n"
        "\"Gone\"=-\r\n";
    std::string err;
    ASSERT_TRUE(winsim::reg::import_text(text, &err)) << err;
    DWORD type = 0;
    std::vector<BYTE> data;
    EXPECT_FALSE(winsim::reg::key_exists("HKLM\\Software\\Acme\\Old\\Child"));
    EXPECT_FALSE(winsim::reg::value("HKLM\\Software\\Acme\\Old", "Gone", nullptr, nullptr));
    EXPECT_TRUE(winsim::reg::value("HKLM\\Software\\Acme\\Old", "Kept", nullptr, nullptr));
    ASSERT_TRUE(winsim::reg::value("HKLM\\Software\\Acme\\New", "Bin", &type, &data));
    EXPECT_EQ((DWORD)REG_BINARY, type);
    EXPECT_EQ((std::vector<BYTE>{1, 2, 3, 0xFF, 4}), data);
    ASSERT_TRUE(winsim::reg::value("HKLM\\Software\\Acme\\New", "Exp", &type, &data));
    EXPECT_EQ((DWORD)REG_EXPAND_SZ, type);
    ASSERT_TRUE(winsim::reg::value("HKLM\\Software\\Acme\\New", "Num", &type, &data));
    EXPECT_EQ((std::vector<BYTE>{0x1F, 0, 0, 0}), data);
    ASSERT_TRUE(winsim::reg::value("HKLM\\Software\\Acme\\New", "", &type, &data));
    EXPECT_TRUE(winsim::reg::key_exists("HKEY_CURRENT_USER\\Software\\X"));
    EXPECT_TRUE(winsim::reg::key_exists("HKLM\\Software\\Classes\\.qvt"));

    // [-key] takes the subtree; a missing one is no error.
    ASSERT_TRUE(winsim::reg::import_text("REGEDIT4\n[-HKLM\\Software\\Acme]\n[-HKLM\\Software\\Nothing]\n", &err))
        << err;
    EXPECT_FALSE(winsim::reg::key_exists("HKLM\\Software\\Acme"));
}

TEST(RegistryText, ImportErrorsChangeNothing) {
    auto m = winsim::Machine::temporary(Os::WinXp);
    const std::string before = winsim::reg::export_text();
    struct Case {
        const char *text, *error;
    } cases[] = {
        {"[HKLM\\Software\\A]\n", "line 1: "},
        {"REGEDIT4\n\n\"v\"=\"x\"\n", "line 3: "},
        {"REGEDIT4\n[HKLM\\Software\\A]\n\"v\"=\"x\"\n[HKLM\\Software\\B\n", "line 4: "},
        {"REGEDIT4\n[HKLM\\Software\\A]\n\"v\"=hex:01,zz\n", "line 3: "},
        {"REGEDIT4\n[HKLM\\Software\\A]\n\"v\"=hex:01,\\\n  02,\\\n", "line 3: "},
        {"REGEDIT4\n[HKLM\\Software\\A]\n\"v\"=dword:123456789\n", "line 3: "},
        {"REGEDIT4\n[HKLM\\Software\\A]\n\"v\"=\"open\n", "line 3: "},
        {"REGEDIT4\n[HKLM\\Software\\A]\n\"v\"=\"a\"b\"\n", "line 3: "},
        {"REGEDIT4\n[HKLM\\Software\\A]\n\"v\"=str:x\n", "line 3: "},
        {"REGEDIT4\n[HKLM\\Software\\A]\n\"v\"\n", "line 3: "},
        {"REGEDIT4\n[HKLM\\Software\\A]\n\n\nrubbish\n", "line 5: "},
        {"REGEDIT4\n[HKEY_NOWHERE\\Software]\n", "line 2: "},
        {"REGEDIT4\n[-HKLM]\n", "line 2: "},
        {"REGEDIT4\n[-HKLM\\Software\\A]\n\"v\"=\"x\"\n", "line 3: "},
        {"REGEDIT4\n[HKLM\\Software\\\\A]\n", "line 2: "},
    };
    for (auto &c : cases) {
        std::string err;
        EXPECT_FALSE(winsim::reg::import_text(c.text, &err)) << c.text;
        EXPECT_EQ(0u, err.find(c.error)) << c.text << " -> " << err;
    }
    EXPECT_EQ(before, winsim::reg::export_text());
    EXPECT_FALSE(winsim::reg::import_text("REGEDIT4\n[", nullptr)); // no message wanted
}

TEST(RegistryText, SavedMachineLoadsTheSameRegistry) {
    std::string dir;
    {
        const char *tmp = std::getenv("TMPDIR");
        std::string tmpl = std::string(tmp && *tmp ? tmp : "/tmp") + "/winsim-regtest-XXXXXX";
        std::vector<char> buf(tmpl.begin(), tmpl.end());
        buf.push_back('\0');
        ASSERT_NE(nullptr, mkdtemp(buf.data()));
        dir = buf.data();
    }
    std::string text;
    {
        auto m = winsim::Machine::create(dir, Os::Win98);
        HKEY k = create(HKEY_LOCAL_MACHINE, "Software\\Acme");
        set_raw(k, "Blob", REG_BINARY, std::vector<BYTE>(300, 0xA5));
        ASSERT_EQ(ERROR_SUCCESS, set_sz(k, "Str", "x\\y"));
        RegCloseKey(k);
        m->save();
        text = winsim::reg::export_text();
    }
    {
        auto m = winsim::Machine::load(dir);
        EXPECT_EQ(text, winsim::reg::export_text());
    }
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
}
