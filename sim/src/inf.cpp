// The INF engine: the parser, model and section lookups, and the runner of
// install sections (files, registry, services).
#include "inf.h"

#include "disk.h"
#include "registry.h"
#include "services.h"

#include <setupapi.h>

#include <algorithm>
#include <cstring>

namespace winsim {
namespace inf {

namespace {

std::string join(const std::vector<std::string> &v, const char *sep) {
    std::string r;
    for (size_t i = 0; i < v.size(); i++) r += (i ? sep : "") + v[i];
    return r;
}

bool nt_machine() {
    WINSIM_LOCK();
    return M().profile->nt();
}

} // namespace

std::string locate(const std::string &name) {
    if (name.find_first_of("\\/:") != std::string::npos) return name;
    WINSIM_LOCK();
    return std::string(M().profile->windows_dir) + "\\INF\\" + name;
}

DWORD load(const std::string &win_path, File *out, unsigned *error_line) {
    std::string path = locate(win_path);
    std::vector<BYTE> bytes;
    std::string full;
    {
        WINSIM_LOCK();
        PathInfo p = D().resolve(path);
        if (p.error) return p.error;
        if (!p.exists || p.is_dir || p.wildcards) return ERROR_FILE_NOT_FOUND;
        full = p.full;
        if (DWORD e = D().read_all(full, &bytes, kMaxFileBytes + 1)) return e;
    }
    DWORD e = parse(std::string(bytes.begin(), bytes.end()), out, error_line);
    if (!e) out->path = full;
    return e;
}

VersionInfo version_info(const File &f) {
    VersionInfo v;
    v.signature = f.version("Signature");
    v.class_name = f.version("Class");
    v.class_guid = f.version("ClassGUID");
    v.provider = f.version("Provider");
    v.driver_ver = f.version("DriverVer");
    v.catalog_file = f.version("CatalogFile");
    return v;
}

namespace {
// "NTx86", "NTx86.5.1", "NT" ...: the decorations this simulated x86 NT takes.
int decoration_rank(const std::string &d) {
    std::string u = upper(d);
    auto is = [&](const char *p) { return u == p || u.rfind(std::string(p) + ".", 0) == 0; };
    if (is("NTX86")) return 2;
    if (is("NT")) return 1;
    return 0;
}
} // namespace

std::vector<Model> models(const File &f, bool nt) {
    std::vector<Model> out;
    const Section *mfg = f.section("Manufacturer");
    if (!mfg) return out;
    for (auto &l : mfg->lines) {
        if (l.fields.empty()) continue;
        std::string base = l.fields[0];
        std::vector<std::pair<int, std::string>> tries;
        if (nt)
            for (size_t i = 1; i < l.fields.size(); i++)
                if (int r = decoration_rank(l.fields[i])) tries.push_back({r, base + "." + l.fields[i]});
        std::stable_sort(tries.begin(), tries.end(), [](auto &a, auto &b) { return a.first > b.first; });
        tries.push_back({0, base});
        const Section *models = nullptr;
        for (auto &t : tries)
            if ((models = f.section(t.second))) break;
        if (!models) continue;
        std::string mfg_name;
        l.field(0, &mfg_name);
        for (auto &ml : models->lines) {
            Model m;
            m.manufacturer = mfg_name;
            m.models_section = models->name;
            ml.field(0, &m.description);
            if (ml.has_key) {
                if (!ml.fields.empty()) m.install_section = ml.fields[0];
                if (ml.fields.size() > 1) m.hardware_id = ml.fields[1];
                for (size_t i = 2; i < ml.fields.size(); i++) m.compatible_ids.push_back(ml.fields[i]);
            }
            out.push_back(std::move(m));
        }
    }
    return out;
}

std::string actual_section(const File &f, const std::string &section, bool nt) {
    std::vector<std::string> tries;
    if (nt) tries = {section + ".NTx86", section + ".NT"};
    tries.push_back(section);
    for (auto &t : tries)
        if (const Section *s = f.section(t)) return s->name;
    return "";
}

std::string dirid_path(long dirid) {
    WINSIM_LOCK();
    Machine::Impl *m = M_or_null();
    if (!m) return "";
    const Profile &p = *m->profile;
    std::string w = p.windows_dir, s = p.system_dir;
    // Logical disk ids only Windows 9x knows (VxDs go to VMM32, for one).
    if (!p.nt()) {
        switch (dirid) {
        case 13: return w + "\\COMMAND";
        case 21: return s + "\\VIEWERS";
        case 22: return s + "\\VMM32";
        case 23: return s + "\\COLOR";
        case 26: case 28: return w;
        case 31: return "C:\\";
        default: break;
        }
    }
    switch (dirid) {
    case 10: case 25: return w;
    case 11: return s;
    case 12: return p.nt() ? s + "\\drivers" : s + "\\IOSUBSYS";
    case 17: return w + "\\INF";
    case 18: return w + "\\HELP";
    case 20: return w + "\\FONTS";
    case 24: case 30: return "C:\\";
    case 50: return w + "\\SYSTEM";
    case 16422: return "C:\\Program Files";
    case 16427: return "C:\\Program Files\\Common Files";
    default: return "";
    }
}

// ------------------------------------------------------------ installing

namespace {

class Installer {
public:
    Installer(const File &f, const InstallOptions &o, InstallResult *r, bool nt) : f_(f), o_(o), r_(r), nt_(nt) {}

    // Values of every line "key = a, b" of the section whose key matches.
    std::vector<std::string> directive(const Section &s, const char *key) const {
        std::vector<std::string> v;
        for (auto &l : s.lines)
            if (l.has_key && iequals(l.key, key))
                for (auto &x : l.fields)
                    if (!x.empty()) v.push_back(x);
        return v;
    }

    void run(const Section &s) {
        for (auto &l : s.lines)
            if (l.has_key && (iequals(l.key, "Reboot") || iequals(l.key, "Restart"))) r_->reboot = true;
        for (auto &name : directive(s, "DelFiles"))
            if (!fail()) del_files(name);
        for (auto &name : directive(s, "CopyFiles"))
            if (!fail()) copy_files(name);
        for (auto &name : directive(s, "DelReg"))
            if (!fail()) reg_section(name, o_.hkr, false);
        for (auto &name : directive(s, "AddReg"))
            if (!fail()) reg_section(name, o_.hkr, true);
    }

    void services(const Section &s) {
        for (auto &l : s.lines) {
            if (fail() || !l.has_key || l.fields.empty()) continue;
            if (iequals(l.key, "AddService")) add_service(l);
            else if (iequals(l.key, "DelService")) del_service(l);
        }
    }

    bool fail() const { return r_->error != 0; }

private:
    void error(DWORD e) {
        if (!r_->error) r_->error = e;
    }

    // The destination directory of a file list section.
    std::string dest_dir(const std::string &list) {
        const Section *dd = f_.section("DestinationDirs");
        const Line *hit = nullptr;
        if (dd) {
            for (auto &l : dd->lines)
                if (l.has_key && iequals(l.key, list)) hit = &l;
            if (!hit)
                for (auto &l : dd->lines)
                    if (l.has_key && iequals(l.key, "DefaultDestDir")) hit = &l;
        }
        long long id = 11;
        std::string sub;
        if (hit && !hit->fields.empty()) {
            if (!parse_number(hit->fields[0], &id)) {
                error(ERROR_INVALID_PARAMETER);
                return "";
            }
            if (hit->fields.size() > 1) sub = hit->fields[1];
        }
        std::string dir = id == -1 ? sub : dirid_path((long)id);
        if (dir.empty()) {
            error(ERROR_INVALID_PARAMETER);
            return "";
        }
        if (id != -1 && !sub.empty()) dir += "\\" + sub;
        return dir;
    }

    std::string source_of(const std::string &name) {
        std::string dir = o_.source_dir.empty() ? f_.dir() : o_.source_dir;
        const Section *sdf = nullptr;
        if (nt_) sdf = f_.section("SourceDisksFiles.x86");
        if (!sdf) sdf = f_.section("SourceDisksFiles");
        if (sdf)
            for (auto &l : sdf->lines)
                if (l.has_key && iequals(l.key, name) && l.fields.size() > 1 && !l.fields[1].empty())
                    return dir + "\\" + l.fields[1] + "\\" + name;
        return dir + "\\" + name;
    }

    void copy_one(const std::string &dir, const std::string &dest, const std::string &src_name, long long flags) {
        {
            WINSIM_LOCK();
            D().make_dirs(dir);
        }
        std::string to = dir + "\\" + dest;
        std::string from = source_of(src_name);
        const long long no_overwrite = 0x10;
        if (!CopyFileA(from.c_str(), to.c_str(), (flags & no_overwrite) ? TRUE : FALSE)) {
            DWORD e = GetLastError();
            if (e == ERROR_FILE_EXISTS && (flags & no_overwrite)) return;
            if ((e == ERROR_FILE_NOT_FOUND || e == ERROR_PATH_NOT_FOUND) && o_.keep_installed_files &&
                disk::exists(to))
                return;
            error(e);
            return;
        }
        r_->files_copied.push_back(to);
    }

    void copy_files(const std::string &list) {
        if (list[0] == '@') {
            std::string dir = dest_dir("");
            if (!fail()) copy_one(dir, list.substr(1), list.substr(1), 0);
            return;
        }
        const Section *s = f_.section(list);
        if (!s) return error(ERROR_SECTION_NOT_FOUND);
        std::string dir = dest_dir(list);
        for (auto &l : s->lines) {
            if (fail()) return;
            std::string dest, src, fl;
            l.field(0, &dest);
            if (!l.has_key) {
                if (l.fields.size() > 1) src = l.fields[1];
                if (l.fields.size() > 3) fl = l.fields[3];
            }
            if (dest.empty()) continue;
            long long flags = 0;
            if (!fl.empty()) parse_number(fl, &flags);
            copy_one(dir, dest, src.empty() ? dest : src, flags);
        }
    }

    void del_files(const std::string &list) {
        const Section *s = f_.section(list);
        if (!s) return error(ERROR_SECTION_NOT_FOUND);
        std::string dir = dest_dir(list);
        for (auto &l : s->lines) {
            std::string name;
            l.field(0, &name);
            if (name.empty() || fail()) continue;
            std::string path = dir + "\\" + name;
            if (DeleteFileA(path.c_str())) r_->files_deleted.push_back(path);
        }
    }

    // "HKLM", "HKEY_LOCAL_MACHINE", ... and HKR as the caller set it.
    std::string root_of(const std::string &root, const std::string &hkr) {
        std::string u = upper(root);
        if (u == "HKR") return hkr;
        if (u == "HKLM" || u == "HKEY_LOCAL_MACHINE") return "HKLM";
        if (u == "HKCU" || u == "HKEY_CURRENT_USER") return "HKCU";
        if (u == "HKCR" || u == "HKEY_CLASSES_ROOT") return "HKLM\\Software\\Classes";
        if (u == "HKU" || u == "HKEY_USERS") return "HKEY_USERS";
        return "";
    }

    static std::vector<BYTE> bytes_of(const std::string &s, bool terminator) {
        std::vector<BYTE> v(s.begin(), s.end());
        if (terminator) v.push_back(0);
        return v;
    }

public:
    void reg_section(const std::string &name, const std::string &hkr, bool add) {
        const Section *s = f_.section(name);
        if (!s) return error(ERROR_SECTION_NOT_FOUND);
        for (auto &l : s->lines) {
            if (fail()) return;
            if (l.has_key || l.fields.empty()) continue;
            const auto &v = l.fields;
            std::string root = root_of(v[0], hkr);
            if (root.empty()) return error(ERROR_INVALID_PARAMETER);
            std::string key = root;
            if (v.size() > 1 && !v[1].empty()) key += "\\" + v[1];
            long long flags = 0;
            if (v.size() > 3 && !v[3].empty() && !parse_number(v[3], &flags)) return error(ERROR_INVALID_DATA);
            if (add) add_reg(key, v, (DWORD)flags);
            else del_reg(key, v);
        }
    }

private:
    void del_reg(const std::string &key, const std::vector<std::string> &v) {
        WINSIM_LOCK();
        Registry &reg = *M().registry;
        if (v.size() > 2) reg.delete_value(key, v[2]);
        else reg.delete_tree(key);
    }

    void add_reg(const std::string &key, const std::vector<std::string> &v, DWORD flags) {
        WINSIM_LOCK();
        Registry &reg = *M().registry;
        if (flags & 0x10 /* key only */ || v.size() <= 2) {
            if (!reg.create_key(key)) error(ERROR_INVALID_PARAMETER);
            return;
        }
        const std::string &name = v[2];
        DWORD old_type;
        std::vector<BYTE> old;
        bool exists = reg.get_value(key, name, &old_type, &old);
        if (flags & 0x4 /* delete value */) {
            reg.delete_value(key, name);
            return;
        }
        if ((flags & 0x2) && exists) return;   // no clobber
        if ((flags & 0x20) && !exists) return; // overwrite only
        DWORD kind = flags & 0xFFFF0001u;
        DWORD type;
        std::vector<BYTE> data;
        std::vector<std::string> values(v.size() > 4 ? v.begin() + 4 : v.end(), v.end());
        if (kind == 0 || kind == 0x20000) {
            type = kind ? REG_EXPAND_SZ : REG_SZ;
            data = bytes_of(values.empty() ? "" : values[0], true);
        } else if (kind == 0x10000) {
            type = REG_MULTI_SZ;
            std::vector<std::string> items = values;
            if ((flags & 0x8) && exists && old_type == REG_MULTI_SZ) {
                // Appending keeps what is there and adds missing strings.
                std::vector<std::string> have;
                std::string cur;
                for (BYTE b : old) {
                    if (b) cur += (char)b;
                    else if (!cur.empty()) have.push_back(cur), cur.clear();
                }
                for (auto &x : values) {
                    bool dup = false;
                    for (auto &h : have) dup = dup || iequals(h, x);
                    if (!dup) have.push_back(x);
                }
                items = have;
            }
            for (auto &x : items)
                if (!x.empty()) data.insert(data.end(), x.begin(), x.end()), data.push_back(0);
            data.push_back(0);
            if (items.empty()) data.push_back(0);
        } else if (kind == 0x10001 && values.size() <= 1) {
            type = REG_DWORD;
            long long n = 0;
            if (!values.empty() && !values[0].empty() && !parse_number(values[0], &n)) return error(ERROR_INVALID_DATA);
            DWORD d = (DWORD)n;
            data.assign((const BYTE *)&d, (const BYTE *)&d + 4);
        } else {
            type = kind == 0x10001 ? REG_DWORD : kind == 0x20001 ? REG_NONE : kind == 1 ? REG_BINARY : (flags >> 16);
            for (auto &x : values) {
                long long b;
                if (!parse_number("0x" + x, &b) || b > 0xFF) return error(ERROR_INVALID_DATA);
                data.push_back((BYTE)b);
            }
        }
        if (!reg.set_value(key, name, type, data)) error(ERROR_INVALID_PARAMETER);
    }

    void add_service(const Line &l) {
        const std::string &name = l.fields[0];
        long long flags = 0;
        if (l.fields.size() > 1 && !l.fields[1].empty()) parse_number(l.fields[1], &flags);
        if (name.empty()) {
            // "AddService = ,2" marks a device that needs no service.
            return;
        }
        const Section *s = l.fields.size() > 2 ? f_.section(l.fields[2]) : nullptr;
        if (!s) return error(ERROR_SECTION_NOT_FOUND);
        auto value = [&](const char *k) {
            for (auto &x : s->lines)
                if (x.has_key && iequals(x.key, k)) return join(x.fields, ",");
            return std::string();
        };
        long long type, start, err_ctl;
        std::string binary = value("ServiceBinary");
        if (!parse_number(value("ServiceType"), &type) || !parse_number(value("StartType"), &start) ||
            !parse_number(value("ErrorControl"), &err_ctl) || binary.empty())
            return error(ERROR_BAD_SERVICE_INSTALLSECT);
        // Setup creates the service through the service control manager.
        if (DWORD e = fault("CreateServiceA")) return error(e);
        std::string key = std::string(scm::kServicesKey) + "\\" + name;
        {
            WINSIM_LOCK();
            Registry &reg = *M().registry;
            std::string w = M().profile->windows_dir;
            bool exists = reg.key_exists(key);
            // Drivers keep a path relative to the Windows directory, as setup writes it.
            std::string image = binary;
            if ((type & 0xF) && binary.size() > w.size() + 1 && iequals(binary.substr(0, w.size() + 1), w + "\\"))
                image = binary.substr(w.size() + 1);
            reg.set_dword(key, "Type", (DWORD)type);
            if (!exists || !(flags & 0x10)) reg.set_dword(key, "Start", (DWORD)start);
            if (!exists || !(flags & 0x20)) reg.set_dword(key, "ErrorControl", (DWORD)err_ctl);
            reg.set_string(key, "ImagePath", image, REG_EXPAND_SZ);
            std::string display = value("DisplayName");
            if (!display.empty() && (!exists || !(flags & 0x8))) reg.set_string(key, "DisplayName", display);
            std::string desc = value("Description");
            if (!desc.empty() && (!exists || !(flags & 0x100))) reg.set_string(key, "Description", desc);
            std::string group = value("LoadOrderGroup");
            if (!group.empty() && (!exists || !(flags & 0x40))) reg.set_string(key, "Group", group);
            if (!(type & 0xF)) {
                std::string start_name = value("StartName");
                reg.set_string(key, "ObjectName", start_name.empty() ? "LocalSystem" : start_name);
            }
            if (!exists || !(flags & 0x80)) {
                std::vector<BYTE> on_services, on_groups;
                for (auto &x : s->lines)
                    if (x.has_key && iequals(x.key, "Dependencies"))
                        for (auto &d : x.fields) {
                            if (d.empty()) continue;
                            auto &to = d[0] == '+' ? on_groups : on_services;
                            std::string n = d[0] == '+' ? d.substr(1) : d;
                            to.insert(to.end(), n.begin(), n.end());
                            to.push_back(0);
                        }
                if (!on_services.empty()) on_services.push_back(0), reg.set_value(key, "DependOnService", REG_MULTI_SZ, on_services);
                if (!on_groups.empty()) on_groups.push_back(0), reg.set_value(key, "DependOnGroup", REG_MULTI_SZ, on_groups);
            }
        }
        for (auto &n : directive(*s, "DelReg"))
            if (!fail()) reg_section(n, key, false);
        for (auto &n : directive(*s, "AddReg"))
            if (!fail()) reg_section(n, key, true);
        if (fail()) return;
        // Optional event log source.
        if (l.fields.size() > 3 && !l.fields[3].empty()) {
            std::string log = l.fields.size() > 4 && !l.fields[4].empty() ? l.fields[4] : "System";
            std::string source = l.fields.size() > 5 && !l.fields[5].empty() ? l.fields[5] : name;
            const Section *ev = f_.section(l.fields[3]);
            if (!ev) return error(ERROR_SECTION_NOT_FOUND);
            std::string ekey = std::string(scm::kServicesKey) + "\\EventLog\\" + log + "\\" + source;
            {
                WINSIM_LOCK();
                M().registry->create_key(ekey);
            }
            for (auto &n : directive(*ev, "AddReg"))
                if (!fail()) reg_section(n, ekey, true);
        }
        r_->services_added.push_back(name);
        if (flags & 0x2) r_->associated_service = name;
    }

    void del_service(const Line &l) {
        WINSIM_LOCK();
        M().registry->delete_tree(std::string(scm::kServicesKey) + "\\" + l.fields[0]);
    }

    const File &f_;
    const InstallOptions &o_;
    InstallResult *r_;
    bool nt_;
};

} // namespace

InstallResult install_section(const File &f, const std::string &section, const InstallOptions &options) {
    InstallResult r;
    bool nt = nt_machine();
    r.section = options.decorate ? actual_section(f, section, nt) : (f.section(section) ? f.section(section)->name : "");
    const Section *s = r.section.empty() ? nullptr : f.section(r.section);
    if (!s) {
        r.error = ERROR_SECTION_NOT_FOUND;
        return r;
    }
    Installer in(f, options, &r, nt);
    in.run(*s);
    if (!in.fail() && options.services && nt)
        if (const Section *svc = f.section(r.section + ".Services")) in.services(*svc);
    return r;
}

// ------------------------------------------------------------- the hosts

namespace {

const char k_rundll32[] = "winsim-rundll32";
const char k_rundll[] = "winsim-rundll";

// "<image> <dll>,InstallHinfSection <section> <mode> <inf path>".  The host
// exits with 0 whatever the section did, as the real one does; an entry
// point it does not know is refused as the loader would.
DWORD host(const std::string &command_line, const char *dll) {
    std::string u = upper(command_line);
    std::string want = upper(std::string(dll)) + ",INSTALLHINFSECTION";
    size_t at = u.find(want);
    if (at == std::string::npos) return ERROR_PROC_NOT_FOUND;
    std::string rest = command_line.substr(at + want.size());
    InstallHinfSectionA(nullptr, nullptr, rest.c_str(), SW_HIDE);
    return 0;
}

void machine_started(bool loaded) {
    static bool registered = false;
    if (!registered) {
        processes::register_program(k_rundll32, [](const std::string &c) { return host(c, "setupapi.dll"); });
        processes::register_program(k_rundll, [](const std::string &c) { return host(c, "setupx.dll"); });
        registered = true;
    }
    if (!loaded) install_hosts();
}

const bool hooked = add_life_cycle({machine_started, nullptr});

} // namespace

void install_hosts() {
    std::string path;
    bool nt;
    {
        WINSIM_LOCK();
        const Profile &p = *M().profile;
        nt = p.nt();
        path = nt ? std::string(p.system_dir) + "\\rundll32.exe" : std::string(p.windows_dir) + "\\RUNDLL.EXE";
    }
    processes::install_program(path, nt ? k_rundll32 : k_rundll);
}

} // namespace inf
} // namespace winsim
