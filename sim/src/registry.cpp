// The registry model and the Advapi32 registry calls on it.
#include "registry.h"

#include <algorithm>
#include <cstring>

namespace winsim {

using Key = Registry::Impl::Key;
using Value = Registry::Impl::Value;
using KeyPtr = std::shared_ptr<Key>;

// ------------------------------------------------------------------- keys

Value *Key::find_value(const std::string &n) {
    for (auto &v : values)
        if (iequals(v.name, n)) return &v;
    return nullptr;
}

KeyPtr Key::child(const std::string &n) const {
    auto it = subkeys.find(upper(n));
    return it == subkeys.end() ? nullptr : it->second;
}

KeyPtr Key::make_child(const std::string &n, bool *created) {
    auto &slot = subkeys[upper(n)];
    if (created) *created = !slot;
    if (!slot) {
        slot = std::make_shared<Key>();
        slot->name = n;
        slot->hive = hive;
        slot->parent = this;
    }
    return slot;
}

void Key::set_value(const std::string &n, DWORD type, std::vector<BYTE> data) {
    // Overwriting keeps the value's place and the spelling it was created with.
    if (Value *v = find_value(n)) {
        v->type = type;
        v->data = std::move(data);
        return;
    }
    values.push_back(Value{n, type, std::move(data)});
}

bool Key::delete_value(const std::string &n) {
    for (auto it = values.begin(); it != values.end(); ++it)
        if (iequals(it->name, n)) {
            values.erase(it);
            return true;
        }
    return false;
}

std::string Key::canonical() const {
    std::string s = upper(name);
    for (const Key *k = parent; k; k = k->parent) s = upper(k->name) + "\\" + s;
    return s;
}

// ------------------------------------------------------------------ hives

namespace {
struct HiveName {
    const char *full, *abbrev;
    int hive; // Registry::Impl::Hive, or -1 for HKEY_CLASSES_ROOT
};
const HiveName k_hive_names[] = {
    {"HKEY_LOCAL_MACHINE", "HKLM", Registry::Impl::LocalMachine},
    {"HKEY_CURRENT_USER", "HKCU", Registry::Impl::CurrentUser},
    {"HKEY_USERS", "HKU", Registry::Impl::Users},
    {"HKEY_CURRENT_CONFIG", "HKCC", Registry::Impl::CurrentConfig},
    {"HKEY_CLASSES_ROOT", "HKCR", -1},
};
} // namespace

Registry::Impl::Impl(bool nt_rules) : nt(nt_rules) {
    for (int h = 0; h < HiveCount; h++) {
        hives[h] = std::make_shared<Key>();
        hives[h]->name = hive_name(Hive(h));
        hives[h]->hive = Hive(h);
    }
}

const char *Registry::Impl::hive_name(Hive h) { return k_hive_names[h].full; }

bool Registry::Impl::parse_path(const std::string &text, Path *path) {
    std::vector<std::string> parts;
    size_t start = 0;
    for (;;) {
        size_t bs = text.find('\\', start);
        parts.push_back(text.substr(start, bs == std::string::npos ? std::string::npos : bs - start));
        if (bs == std::string::npos) break;
        start = bs + 1;
    }
    // One trailing backslash is harmless ("HKLM\\Software\\").
    if (parts.size() > 1 && parts.back().empty()) parts.pop_back();
    for (auto &p : parts)
        if (p.empty()) return false;
    const HiveName *hn = nullptr;
    for (auto &h : k_hive_names)
        if (iequals(parts[0], h.full) || iequals(parts[0], h.abbrev)) hn = &h;
    if (!hn) return false;
    Path out;
    if (hn->hive < 0) {
        out.hive = LocalMachine;
        out.classes_root = true;
        out.parts = {"Software", "Classes"};
    } else {
        out.hive = Hive(hn->hive);
    }
    out.parts.insert(out.parts.end(), parts.begin() + 1, parts.end());
    *path = std::move(out);
    return true;
}

KeyPtr Registry::Impl::find(const Path &p) const {
    KeyPtr k = hives[p.hive];
    for (auto &part : p.parts) {
        k = k->child(part);
        if (!k) return nullptr;
    }
    return k;
}

KeyPtr Registry::Impl::make(const Path &p) {
    KeyPtr k = hives[p.hive];
    for (auto &part : p.parts) k = k->make_child(part);
    return k;
}

namespace {
void mark_deleted(Key &k) {
    k.deleted = true;
    k.parent = nullptr;
    for (auto &kv : k.subkeys) mark_deleted(*kv.second);
    // Open handles keep their own key alive; the rest of the subtree can go.
    k.subkeys.clear();
    k.values.clear();
}
} // namespace

void Registry::Impl::erase(const KeyPtr &key) {
    if (!key->parent) return; // hive roots stay
    KeyPtr keep = key;
    key->parent->subkeys.erase(upper(key->name));
    mark_deleted(*key);
}

bool Registry::Impl::denied(const std::string &canonical) const {
    for (auto &d : deny_list)
        if (canonical == d || (canonical.size() > d.size() && canonical.compare(0, d.size(), d) == 0 &&
                               canonical[d.size()] == '\\'))
            return true;
    return false;
}

bool Registry::Impl::subtree_denied(const Key &key) const {
    if (deny_list.empty()) return false;
    if (denied(key.canonical())) return true;
    for (auto &kv : key.subkeys)
        if (subtree_denied(*kv.second)) return true;
    return false;
}

// ------------------------------------------------------- the path interface

Registry::Registry(bool nt) : impl_(std::make_unique<Impl>(nt)) {}
Registry::~Registry() = default;

bool Registry::nt() const { return impl_->nt; }

bool Registry::key_exists(const std::string &path) const {
    WINSIM_LOCK();
    Impl::Path p;
    return Impl::parse_path(path, &p) && impl_->find(p);
}

bool Registry::create_key(const std::string &path) {
    WINSIM_LOCK();
    Impl::Path p;
    if (!Impl::parse_path(path, &p)) return false;
    impl_->make(p);
    return true;
}

bool Registry::delete_tree(const std::string &path) {
    WINSIM_LOCK();
    Impl::Path p;
    if (!Impl::parse_path(path, &p)) return false;
    KeyPtr k = impl_->find(p);
    if (!k || !k->parent) return false;
    impl_->erase(k);
    return true;
}

bool Registry::set_value(const std::string &path, const std::string &name, DWORD type,
                         const std::vector<BYTE> &data) {
    WINSIM_LOCK();
    Impl::Path p;
    if (!Impl::parse_path(path, &p)) return false;
    impl_->make(p)->set_value(name, type, data);
    return true;
}

bool Registry::set_string(const std::string &path, const std::string &name, const std::string &s, DWORD type) {
    std::vector<BYTE> d(s.begin(), s.end());
    d.push_back(0);
    return set_value(path, name, type, d);
}

bool Registry::set_dword(const std::string &path, const std::string &name, DWORD v) {
    std::vector<BYTE> d = {BYTE(v), BYTE(v >> 8), BYTE(v >> 16), BYTE(v >> 24)};
    return set_value(path, name, REG_DWORD, d);
}

bool Registry::get_value(const std::string &path, const std::string &name, DWORD *type,
                         std::vector<BYTE> *data) const {
    WINSIM_LOCK();
    Impl::Path p;
    if (!Impl::parse_path(path, &p)) return false;
    KeyPtr k = impl_->find(p);
    Value *v = k ? k->find_value(name) : nullptr;
    if (!v) return false;
    if (type) *type = v->type;
    if (data) *data = v->data;
    return true;
}

bool Registry::get_string(const std::string &path, const std::string &name, std::string *s) const {
    DWORD type;
    std::vector<BYTE> d;
    if (!get_value(path, name, &type, &d) || (type != REG_SZ && type != REG_EXPAND_SZ)) return false;
    auto end = std::find(d.begin(), d.end(), BYTE(0));
    if (s) s->assign(d.begin(), end);
    return true;
}

bool Registry::get_dword(const std::string &path, const std::string &name, DWORD *v) const {
    DWORD type;
    std::vector<BYTE> d;
    if (!get_value(path, name, &type, &d) || type != REG_DWORD || d.size() != 4) return false;
    if (v) *v = DWORD(d[0]) | DWORD(d[1]) << 8 | DWORD(d[2]) << 16 | DWORD(d[3]) << 24;
    return true;
}

bool Registry::delete_value(const std::string &path, const std::string &name) {
    WINSIM_LOCK();
    Impl::Path p;
    if (!Impl::parse_path(path, &p)) return false;
    KeyPtr k = impl_->find(p);
    return k && k->delete_value(name);
}

std::vector<std::string> Registry::subkeys(const std::string &path) const {
    WINSIM_LOCK();
    std::vector<std::string> out;
    Impl::Path p;
    KeyPtr k = Impl::parse_path(path, &p) ? impl_->find(p) : nullptr;
    if (k)
        for (auto &kv : k->subkeys) out.push_back(kv.second->name);
    return out;
}

std::vector<std::string> Registry::value_names(const std::string &path) const {
    WINSIM_LOCK();
    std::vector<std::string> out;
    Impl::Path p;
    KeyPtr k = Impl::parse_path(path, &p) ? impl_->find(p) : nullptr;
    if (k)
        for (auto &v : k->values) out.push_back(v.name);
    return out;
}

void Registry::deny_write(const std::string &path, bool deny) {
    WINSIM_LOCK();
    Impl::Path p;
    if (!Impl::parse_path(path, &p)) return;
    std::string c = Impl::hive_name(p.hive);
    for (auto &part : p.parts) c += "\\" + part;
    c = upper(c);
    auto &l = impl_->deny_list;
    auto it = std::find(l.begin(), l.end(), c);
    if (deny && it == l.end()) l.push_back(c);
    if (!deny && it != l.end()) l.erase(it);
}

// ------------------------------------------------------ handles and rights

namespace {

struct KeyHandle : Object {
    KeyHandle(KeyPtr k, DWORD a) : Object(HandleKind::RegistryKey), key(std::move(k)), access(a) {}
    KeyPtr key;
    DWORD access; // as granted at open; not consulted on 9x
};

const DWORD k_write_rights = KEY_SET_VALUE | KEY_CREATE_SUB_KEY | KEY_CREATE_LINK | DELETE | WRITE_DAC | WRITE_OWNER;

// Last-write time reported for every key: the registry keeps no clock.
const FILETIME k_write_time = {0xD53E8000u, 0x01C5F8A1u};

Registry::Impl &R() { return *M().registry->impl(); }

// A key an HKEY names, with the access the caller holds on it.
struct Opened {
    KeyPtr key;
    DWORD access = 0;
};

// May the current user write at this canonical path of this hive?
bool may_write(const Registry::Impl &r, Registry::Impl::Hive hive, const std::string &canonical) {
    if (r.nt && !M().admin && hive == Registry::Impl::LocalMachine) return false;
    return !r.denied(canonical);
}

bool may_write(const Registry::Impl &r, const Key &k) { return may_write(r, k.hive, k.canonical()); }

DWORD map_generic(REGSAM sam) {
    DWORD a = sam & ~(DWORD)(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL);
    if (sam & GENERIC_READ) a |= KEY_READ;
    if (sam & GENERIC_WRITE) a |= KEY_WRITE;
    if (sam & GENERIC_EXECUTE) a |= KEY_EXECUTE;
    if (sam & GENERIC_ALL) a |= KEY_ALL_ACCESS;
    return a & ~(DWORD)(KEY_WOW64_32KEY | KEY_WOW64_64KEY);
}

// The access an open grants, or ERROR_ACCESS_DENIED.  9x ignores rights, but
// an ACL-like denial still refuses opens that ask to write.
LONG grant(const Registry::Impl &r, bool writable, REGSAM sam, DWORD *granted) {
    DWORD want = map_generic(sam);
    bool max = (want & MAXIMUM_ALLOWED) != 0;
    want &= ~(DWORD)MAXIMUM_ALLOWED;
    if (!writable && (want & k_write_rights)) return ERROR_ACCESS_DENIED;
    if (!r.nt)
        *granted = KEY_ALL_ACCESS;
    else
        *granted = max ? want | (writable ? KEY_ALL_ACCESS : KEY_READ) : want;
    return ERROR_SUCCESS;
}

// Predefined keys are the sign-extended values 0x80000000..; accept them
// zero-extended too, as a 32-bit caller would have them.
int predefined_index(HKEY h) {
    uint64_t v = (uint64_t)(uintptr_t)h;
    uint64_t high = v >> 32;
    uint32_t low = (uint32_t)v;
    if ((high != 0 && high != 0xFFFFFFFFu) || low < 0x80000000u || low > 0x80000006u) return -1;
    return int(low - 0x80000000u);
}

LONG resolve(HKEY h, Opened *out) {
    Registry::Impl &r = R();
    int pre = predefined_index(h);
    if (pre >= 0) {
        KeyPtr k;
        switch (pre) {
        case 0: { // HKEY_CLASSES_ROOT: HKLM\Software\Classes, made when first used
            Registry::Impl::Path p;
            p.parts = {"Software", "Classes"};
            k = r.make(p);
            break;
        }
        case 1: k = r.hives[Registry::Impl::CurrentUser]; break;
        case 2: k = r.hives[Registry::Impl::LocalMachine]; break;
        case 3: k = r.hives[Registry::Impl::Users]; break;
        case 5: k = r.hives[Registry::Impl::CurrentConfig]; break;
        default: return ERROR_INVALID_HANDLE;
        }
        // Predefined keys are opened with MAXIMUM_ALLOWED for the user.
        out->key = k;
        grant(r, may_write(r, *k), MAXIMUM_ALLOWED, &out->access);
        return ERROR_SUCCESS;
    }
    auto o = handle_table::get_as<KeyHandle>((HANDLE)h, HandleKind::RegistryKey);
    if (!o) return ERROR_INVALID_HANDLE;
    out->key = o->key;
    out->access = o->access;
    return ERROR_SUCCESS;
}

// Handle, then rights (NT only), then whether the key still exists.
LONG use(HKEY h, DWORD right, Opened *out) {
    if (LONG e = resolve(h, out)) return e;
    if (R().nt && right && !(out->access & right)) return ERROR_ACCESS_DENIED;
    if (out->key->deleted) return ERROR_KEY_DELETED;
    return ERROR_SUCCESS;
}

// As use(), for changes to the key: a denied subtree refuses them even
// through a handle that was opened before, and on 9x.
LONG use_for_write(HKEY h, DWORD right, Opened *out) {
    if (LONG e = use(h, right, out)) return e;
    if (R().denied(out->key->canonical())) return ERROR_ACCESS_DENIED;
    return ERROR_SUCCESS;
}

// Splits a subkey argument.  NT refuses a leading backslash (the name is
// relative to a key); empty names between backslashes are skipped.
LONG split_subkey(LPCSTR sub, std::vector<std::string> *parts) {
    parts->clear();
    if (!sub) return ERROR_SUCCESS;
    if (sub[0] == '\\' && R().nt) return ERROR_BAD_PATHNAME;
    std::string s = sub, cur;
    for (char c : s) {
        if (c == '\\') {
            if (!cur.empty()) parts->push_back(cur);
            cur.clear();
        } else {
            cur += c;
        }
    }
    if (!cur.empty()) parts->push_back(cur);
    return ERROR_SUCCESS;
}

HKEY new_handle(KeyPtr k, DWORD access) {
    return (HKEY)handle_table::add(std::make_shared<KeyHandle>(std::move(k), access));
}

LONG open_key(HKEY base, LPCSTR sub, REGSAM sam, PHKEY result) {
    if (!result) return ERROR_INVALID_PARAMETER;
    *result = nullptr;
    WINSIM_LOCK();
    Opened b;
    if (LONG e = use(base, 0, &b)) return e;
    std::vector<std::string> parts;
    if (LONG e = split_subkey(sub, &parts)) return e;
    KeyPtr k = b.key;
    for (auto &p : parts) {
        k = k->child(p);
        if (!k) return ERROR_FILE_NOT_FOUND;
    }
    Registry::Impl &r = R();
    DWORD granted;
    if (LONG e = grant(r, may_write(r, *k), sam, &granted)) return e;
    *result = new_handle(k, granted);
    return ERROR_SUCCESS;
}

LONG create_key(HKEY base, LPCSTR sub, REGSAM sam, PHKEY result, LPDWORD disposition) {
    if (!result) return ERROR_INVALID_PARAMETER;
    *result = nullptr;
    WINSIM_LOCK();
    Registry::Impl &r = R();
    Opened b;
    if (LONG e = use(base, 0, &b)) return e;
    std::vector<std::string> parts;
    if (LONG e = split_subkey(sub, &parts)) return e;
    KeyPtr k = b.key;
    size_t i = 0;
    for (; i < parts.size(); i++) {
        KeyPtr c = k->child(parts[i]);
        if (!c) break;
        k = c;
    }
    // Check every key to be made before making any.
    std::string canonical = k->canonical();
    bool writable = may_write(r, k->hive, canonical);
    if (i < parts.size()) {
        if (r.nt && !(b.access & KEY_CREATE_SUB_KEY)) return ERROR_ACCESS_DENIED;
        for (size_t j = i; j < parts.size(); j++) {
            canonical += "\\" + upper(parts[j]);
            if (!may_write(r, k->hive, canonical)) return ERROR_ACCESS_DENIED;
        }
        writable = true;
    }
    DWORD granted;
    if (LONG e = grant(r, writable, sam, &granted)) return e;
    for (size_t j = i; j < parts.size(); j++) k = k->make_child(parts[j]);
    if (disposition) *disposition = i < parts.size() ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
    *result = new_handle(k, granted);
    return ERROR_SUCCESS;
}

LONG enum_key(HKEY h, DWORD index, LPSTR name, LPDWORD cch, LPDWORD reserved, LPSTR cls, LPDWORD cch_cls,
              PFILETIME ft) {
    WINSIM_LOCK();
    Opened o;
    if (LONG e = use(h, KEY_ENUMERATE_SUB_KEYS, &o)) return e;
    if (!name || !cch || reserved || (cls && !cch_cls)) return ERROR_INVALID_PARAMETER;
    if (index >= o.key->subkeys.size()) return ERROR_NO_MORE_ITEMS;
    auto it = o.key->subkeys.begin();
    std::advance(it, index);
    const std::string &n = it->second->name;
    // *cch stays as it was when the name does not fit.
    if (*cch <= n.size()) return ERROR_MORE_DATA;
    std::memcpy(name, n.c_str(), n.size() + 1);
    *cch = (DWORD)n.size();
    if (cls) {
        if (*cch_cls) cls[0] = 0;
        *cch_cls = 0;
    }
    if (ft) *ft = k_write_time;
    return ERROR_SUCCESS;
}

bool is_string_type(DWORD t) { return t == REG_SZ || t == REG_EXPAND_SZ || t == REG_MULTI_SZ; }

} // namespace

LONG Registry::open_key(const std::string &path, REGSAM sam, bool create, HKEY *result) {
    if (!result) return ERROR_INVALID_PARAMETER;
    *result = nullptr;
    WINSIM_LOCK();
    Impl::Path p;
    if (!Impl::parse_path(path, &p)) return ERROR_FILE_NOT_FOUND;
    std::string rest;
    for (auto &part : p.parts) rest += (rest.empty() ? "" : "\\") + part;
    HKEY root = (HKEY)(ULONG_PTR)(LONG)(0x80000000u + (p.hive == Impl::LocalMachine ? 2u
                                                        : p.hive == Impl::CurrentUser ? 1u
                                                        : p.hive == Impl::Users ? 3u
                                                                                 : 5u));
    return create ? winsim::create_key(root, rest.c_str(), sam, result, nullptr)
                  : winsim::open_key(root, rest.c_str(), sam, result);
}

std::string Registry::key_path(HKEY key) const {
    WINSIM_LOCK();
    Opened o;
    if (resolve(key, &o) || o.key->deleted) return "";
    std::string s = o.key->name;
    for (const Key *k = o.key->parent; k; k = k->parent) s = k->name + "\\" + s;
    return s;
}

} // namespace winsim

using namespace winsim;

// ------------------------------------------------------------ Win32 calls

extern "C" LONG WINAPI RegCreateKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD Reserved, LPSTR lpClass, DWORD dwOptions,
                                       REGSAM samDesired, LPSECURITY_ATTRIBUTES lpSecurityAttributes,
                                       PHKEY phkResult, LPDWORD lpdwDisposition) {
    if (DWORD e = fault("RegCreateKeyExA")) return (LONG)e;
    // Classes, volatility and security descriptors are accepted and not kept.
    (void)lpClass;
    (void)dwOptions;
    (void)lpSecurityAttributes;
    if (Reserved) return ERROR_INVALID_PARAMETER;
    return create_key(hKey, lpSubKey, samDesired, phkResult, lpdwDisposition);
}

// With no subkey the old calls hand back the very handle they were given.
static LONG same_handle(HKEY hKey, PHKEY phkResult) {
    WINSIM_LOCK();
    Opened o;
    if (LONG e = use(hKey, 0, &o)) return e;
    *phkResult = hKey;
    return ERROR_SUCCESS;
}

extern "C" LONG WINAPI RegCreateKeyA(HKEY hKey, LPCSTR lpSubKey, PHKEY phkResult) {
    if (DWORD e = fault("RegCreateKeyA")) return (LONG)e;
    if (!phkResult) return ERROR_INVALID_PARAMETER;
    if (!lpSubKey || !*lpSubKey) return same_handle(hKey, phkResult);
    return create_key(hKey, lpSubKey, MAXIMUM_ALLOWED, phkResult, nullptr);
}

extern "C" LONG WINAPI RegOpenKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD ulOptions, REGSAM samDesired,
                                     PHKEY phkResult) {
    if (DWORD e = fault("RegOpenKeyExA")) return (LONG)e;
    (void)ulOptions;
    return open_key(hKey, lpSubKey, samDesired, phkResult);
}

extern "C" LONG WINAPI RegOpenKeyA(HKEY hKey, LPCSTR lpSubKey, PHKEY phkResult) {
    if (DWORD e = fault("RegOpenKeyA")) return (LONG)e;
    if (!phkResult) return ERROR_INVALID_PARAMETER;
    if (!lpSubKey || !*lpSubKey) return same_handle(hKey, phkResult);
    return open_key(hKey, lpSubKey, MAXIMUM_ALLOWED, phkResult);
}

extern "C" LONG WINAPI RegCloseKey(HKEY hKey) {
    if (DWORD e = fault("RegCloseKey")) return (LONG)e;
    if (predefined_index(hKey) >= 0) return ERROR_SUCCESS;
    WINSIM_LOCK();
    if (!handle_table::get_as<Object>((HANDLE)hKey, HandleKind::RegistryKey)) return ERROR_INVALID_HANDLE;
    handle_table::remove((HANDLE)hKey);
    return ERROR_SUCCESS;
}

extern "C" LONG WINAPI RegSetValueExA(HKEY hKey, LPCSTR lpValueName, DWORD Reserved, DWORD dwType,
                                      const BYTE *lpData, DWORD cbData) {
    if (DWORD e = fault("RegSetValueExA")) return (LONG)e;
    WINSIM_LOCK();
    Opened o;
    if (LONG e = use_for_write(hKey, KEY_SET_VALUE, &o)) return e;
    if (Reserved) return ERROR_INVALID_PARAMETER;
    if (!lpData && cbData) return ERROR_NOACCESS;
    std::vector<BYTE> data(lpData, lpData + (lpData ? cbData : 0));
    o.key->set_value(lpValueName ? lpValueName : "", dwType, std::move(data));
    return ERROR_SUCCESS;
}

extern "C" LONG WINAPI RegQueryValueExA(HKEY hKey, LPCSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType,
                                        LPBYTE lpData, LPDWORD lpcbData) {
    if (DWORD e = fault("RegQueryValueExA")) return (LONG)e;
    WINSIM_LOCK();
    Opened o;
    if (LONG e = use(hKey, KEY_QUERY_VALUE, &o)) return e;
    if (lpReserved || (lpData && !lpcbData)) return ERROR_INVALID_PARAMETER;
    Value *v = o.key->find_value(lpValueName ? lpValueName : "");
    if (!v) return ERROR_FILE_NOT_FOUND;
    if (lpType) *lpType = v->type;
    DWORD size = (DWORD)v->data.size();
    if (!lpcbData) return ERROR_SUCCESS;
    if (!lpData) {
        *lpcbData = size;
        return ERROR_SUCCESS;
    }
    DWORD room = *lpcbData;
    *lpcbData = size;
    if (room < size) return ERROR_MORE_DATA;
    if (size) std::memcpy(lpData, v->data.data(), size);
    // NT terminates a string stored without its zero when there is room.
    if (R().nt && is_string_type(v->type) && room > size && (size == 0 || v->data.back() != 0)) lpData[size] = 0;
    return ERROR_SUCCESS;
}

extern "C" LONG WINAPI RegEnumKeyExA(HKEY hKey, DWORD dwIndex, LPSTR lpName, LPDWORD lpcchName,
                                     LPDWORD lpReserved, LPSTR lpClass, LPDWORD lpcchClass,
                                     PFILETIME lpftLastWriteTime) {
    if (DWORD e = fault("RegEnumKeyExA")) return (LONG)e;
    return enum_key(hKey, dwIndex, lpName, lpcchName, lpReserved, lpClass, lpcchClass, lpftLastWriteTime);
}

extern "C" LONG WINAPI RegEnumKeyA(HKEY hKey, DWORD dwIndex, LPSTR lpName, DWORD cchName) {
    if (DWORD e = fault("RegEnumKeyA")) return (LONG)e;
    DWORD cch = cchName;
    return enum_key(hKey, dwIndex, lpName, &cch, nullptr, nullptr, nullptr, nullptr);
}

extern "C" LONG WINAPI RegEnumValueA(HKEY hKey, DWORD dwIndex, LPSTR lpValueName, LPDWORD lpcchValueName,
                                     LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData) {
    if (DWORD e = fault("RegEnumValueA")) return (LONG)e;
    WINSIM_LOCK();
    Opened o;
    if (LONG e = use(hKey, KEY_QUERY_VALUE, &o)) return e;
    if (!lpValueName || !lpcchValueName || lpReserved || (lpData && !lpcbData)) return ERROR_INVALID_PARAMETER;
    if (dwIndex >= o.key->values.size()) return ERROR_NO_MORE_ITEMS;
    const Value &v = o.key->values[dwIndex];
    if (lpType) *lpType = v.type;
    DWORD size = (DWORD)v.data.size();
    // Neither name nor data is copied unless both fit.
    bool name_fits = *lpcchValueName > v.name.size();
    bool data_fits = !lpData || *lpcbData >= size;
    if (lpcbData) *lpcbData = size;
    if (!name_fits || !data_fits) return ERROR_MORE_DATA;
    std::memcpy(lpValueName, v.name.c_str(), v.name.size() + 1);
    *lpcchValueName = (DWORD)v.name.size();
    if (lpData && size) std::memcpy(lpData, v.data.data(), size);
    return ERROR_SUCCESS;
}

extern "C" LONG WINAPI RegDeleteValueA(HKEY hKey, LPCSTR lpValueName) {
    if (DWORD e = fault("RegDeleteValueA")) return (LONG)e;
    WINSIM_LOCK();
    Opened o;
    if (LONG e = use_for_write(hKey, KEY_SET_VALUE, &o)) return e;
    return o.key->delete_value(lpValueName ? lpValueName : "") ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND;
}

// NT deletes only a key without subkeys; 9x takes the whole subtree.  An
// empty or NULL subkey is refused on every version: deleting the key a
// handle names is not something the kit should rely on.
extern "C" LONG WINAPI RegDeleteKeyA(HKEY hKey, LPCSTR lpSubKey) {
    if (DWORD e = fault("RegDeleteKeyA")) return (LONG)e;
    WINSIM_LOCK();
    Registry::Impl &r = R();
    Opened o;
    if (LONG e = use(hKey, 0, &o)) return e;
    std::vector<std::string> parts;
    if (LONG e = split_subkey(lpSubKey, &parts)) return e;
    if (parts.empty()) return ERROR_INVALID_PARAMETER;
    KeyPtr k = o.key;
    for (auto &p : parts) {
        k = k->child(p);
        if (!k) return ERROR_FILE_NOT_FOUND;
    }
    if (!may_write(r, *k)) return ERROR_ACCESS_DENIED;
    if (r.nt) {
        if (!k->subkeys.empty()) return ERROR_ACCESS_DENIED;
    } else if (r.subtree_denied(*k)) {
        return ERROR_ACCESS_DENIED;
    }
    r.erase(k);
    return ERROR_SUCCESS;
}

extern "C" LONG WINAPI RegQueryInfoKeyA(HKEY hKey, LPSTR lpClass, LPDWORD lpcchClass, LPDWORD lpReserved,
                                        LPDWORD lpcSubKeys, LPDWORD lpcbMaxSubKeyLen, LPDWORD lpcbMaxClassLen,
                                        LPDWORD lpcValues, LPDWORD lpcbMaxValueNameLen, LPDWORD lpcbMaxValueLen,
                                        LPDWORD lpcbSecurityDescriptor, PFILETIME lpftLastWriteTime) {
    if (DWORD e = fault("RegQueryInfoKeyA")) return (LONG)e;
    WINSIM_LOCK();
    Opened o;
    if (LONG e = use(hKey, KEY_QUERY_VALUE, &o)) return e;
    if (lpReserved || (lpClass && !lpcchClass)) return ERROR_INVALID_PARAMETER;
    const Key &k = *o.key;
    if (lpClass) {
        if (*lpcchClass) lpClass[0] = 0;
        *lpcchClass = 0;
    } else if (lpcchClass) {
        *lpcchClass = 0;
    }
    DWORD max_sub = 0, max_name = 0, max_data = 0;
    for (auto &kv : k.subkeys) max_sub = std::max(max_sub, (DWORD)kv.second->name.size());
    for (auto &v : k.values) {
        max_name = std::max(max_name, (DWORD)v.name.size());
        max_data = std::max(max_data, (DWORD)v.data.size());
    }
    if (lpcSubKeys) *lpcSubKeys = (DWORD)k.subkeys.size();
    if (lpcbMaxSubKeyLen) *lpcbMaxSubKeyLen = max_sub;
    if (lpcbMaxClassLen) *lpcbMaxClassLen = 0;
    if (lpcValues) *lpcValues = (DWORD)k.values.size();
    if (lpcbMaxValueNameLen) *lpcbMaxValueNameLen = max_name;
    if (lpcbMaxValueLen) *lpcbMaxValueLen = max_data;
    // Size of the default descriptor NT gives a key; 9x keys have none.
    if (lpcbSecurityDescriptor) *lpcbSecurityDescriptor = R().nt ? 156 : 0;
    if (lpftLastWriteTime) *lpftLastWriteTime = k_write_time;
    return ERROR_SUCCESS;
}

extern "C" LONG WINAPI RegFlushKey(HKEY hKey) {
    if (DWORD e = fault("RegFlushKey")) return (LONG)e;
    WINSIM_LOCK();
    Opened o;
    return use(hKey, 0, &o);
}
