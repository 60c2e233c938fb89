// The simulated registry: hives of case-insensitive keys with typed values.
#ifndef WINSIM_REGISTRY_H
#define WINSIM_REGISTRY_H

#include "core.h"

#include <map>
#include <string>
#include <vector>

namespace winsim {

class Registry {
public:
    // `nt`: Windows NT rules (access rights enforced, RegDeleteKeyA deletes
    // leaf keys only); else 9x rules (rights ignored, RegDeleteKeyA deletes a
    // whole subtree).
    explicit Registry(bool nt);
    ~Registry();
    Registry(const Registry &) = delete;
    Registry &operator=(const Registry &) = delete;

    bool nt() const;

    // REGEDIT4 text in and out; see winsim::reg in sim.h.
    bool import_text(const std::string &text, std::string *error);
    std::string export_text(const std::string &key) const;

    // Direct access by path for the rest of the simulator (service manager,
    // SetupAPI, INF engine) and the control API.  Paths name a hive in full
    // or abbreviated ("HKEY_LOCAL_MACHINE\\Software\\X", "HKLM\\Software\\X");
    // HKEY_CLASSES_ROOT is HKLM\Software\Classes.  No access checks: these are
    // the system's own writes.  A value name "" is the key's default value.
    bool key_exists(const std::string &path) const;
    // Creates the key and any missing parents; false for a bad path.
    bool create_key(const std::string &path);
    // Deletes a key with everything below it; false when it does not exist.
    bool delete_tree(const std::string &path);
    // Sets a value, creating the key when needed; false for a bad path.
    bool set_value(const std::string &path, const std::string &name, DWORD type, const std::vector<BYTE> &data);
    bool set_string(const std::string &path, const std::string &name, const std::string &s, DWORD type = REG_SZ);
    bool set_dword(const std::string &path, const std::string &name, DWORD v);
    bool get_value(const std::string &path, const std::string &name, DWORD *type, std::vector<BYTE> *data) const;
    // A REG_SZ or REG_EXPAND_SZ value up to its first zero byte.
    bool get_string(const std::string &path, const std::string &name, std::string *s) const;
    // A REG_DWORD value of four bytes.
    bool get_dword(const std::string &path, const std::string &name, DWORD *v) const;
    // False when the key or the value does not exist.
    bool delete_value(const std::string &path, const std::string &name);
    // Subkey names in enumeration order; value names in creation order.
    std::vector<std::string> subkeys(const std::string &path) const;
    std::vector<std::string> value_names(const std::string &path) const;
    // Write protection of a subtree, as an ACL denying writes would give.
    void deny_write(const std::string &path, bool deny);

    // Opens (or with `create`, creates) a key by path as RegOpenKeyExA /
    // RegCreateKeyExA would for the current user, access checks included:
    // for calls such as SetupDiOpenDevRegKey that hand out registry keys.
    LONG open_key(const std::string &path, REGSAM sam, bool create, HKEY *result);
    // Full path of the key an HKEY names ("" for a bad or deleted handle).
    std::string key_path(HKEY key) const;

    struct Impl;
    Impl *impl() const { return impl_.get(); }

private:
    std::unique_ptr<Impl> impl_;
};

// ------------------------------------------------------------ the model
// Shared by registry.cpp (Win32 calls) and regfile.cpp (REGEDIT4 text).

struct Registry::Impl {
    enum Hive { LocalMachine, CurrentUser, Users, CurrentConfig, HiveCount };

    struct Value {
        std::string name; // case preserved; "" is the default value
        DWORD type;
        std::vector<BYTE> data;
    };

    struct Key {
        std::string name; // case preserved; a hive root holds the hive's full name
        Hive hive;
        Key *parent = nullptr; // null for hive roots and deleted keys
        bool deleted = false;
        // Keyed by the upper-cased name: NT's (case-insensitive) enumeration order.
        std::map<std::string, std::shared_ptr<Key>> subkeys;
        std::vector<Value> values; // creation order

        Value *find_value(const std::string &n);
        std::shared_ptr<Key> child(const std::string &n) const;
        // The existing child of that name, or a new one.
        std::shared_ptr<Key> make_child(const std::string &n, bool *created = nullptr);
        void set_value(const std::string &n, DWORD type, std::vector<BYTE> data);
        bool delete_value(const std::string &n);
        // Upper-cased full path ("HKEY_LOCAL_MACHINE\\SOFTWARE\\X").
        std::string canonical() const;
    };

    // A parsed path: a hive and the names below it.  HKEY_CLASSES_ROOT paths
    // come out under HKLM with "Software\\Classes" in front.
    struct Path {
        Hive hive = LocalMachine;
        bool classes_root = false;
        std::vector<std::string> parts;
    };

    explicit Impl(bool nt_rules);

    // Accepts full and abbreviated hive names; false for an unknown hive or
    // an empty name between backslashes.
    static bool parse_path(const std::string &text, Path *path);
    static const char *hive_name(Hive h);

    std::shared_ptr<Key> find(const Path &p) const;
    std::shared_ptr<Key> make(const Path &p);
    // Detaches a key from its parent and marks it and its subtree deleted.
    void erase(const std::shared_ptr<Key> &key);
    // Whether a canonical path lies in a write-protected subtree.
    bool denied(const std::string &canonical) const;
    bool subtree_denied(const Key &key) const;

    bool nt;
    std::shared_ptr<Key> hives[HiveCount];
    std::vector<std::string> deny_list; // canonical paths
};

} // namespace winsim

#endif
