// SetupAPI's INF functions over the INF engine: INF handles, line contexts,
// version information, OEM INF copies and the InstallHinfSection entry.
#include "inf.h"
#include "pnp.h"

#include "disk.h"
#include "registry.h"

#include <setupapi.h>

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace winsim {
namespace {

struct InfObject : Object {
    InfObject() : Object(HandleKind::InfFile) {}
    std::shared_ptr<const inf::File> file;
};

std::shared_ptr<const inf::File> file_of(HINF h) {
    auto o = handle_table::get_as<InfObject>((HANDLE)h, HandleKind::InfFile);
    return o ? o->file : nullptr;
}

BOOL fail(DWORD e) {
    SetLastError(e);
    return FALSE;
}

// Buffer rule shared by the string outputs: the size needed (terminator
// included) always goes to *required; no buffer is a size query.
BOOL give(const std::string &s, PSTR buffer, DWORD size, PDWORD required) {
    DWORD need = (DWORD)s.size() + 1;
    if (required) *required = need;
    if (!buffer) {
        if (size) return fail(ERROR_INVALID_PARAMETER);
        return TRUE;
    }
    if (size < need) return fail(ERROR_INSUFFICIENT_BUFFER);
    std::memcpy(buffer, s.c_str(), need);
    return TRUE;
}

const inf::Line *line_of(PINFCONTEXT c, std::shared_ptr<const inf::File> *keep = nullptr) {
    if (!c) return nullptr;
    auto f = file_of(c->CurrentInf);
    if (!f || c->Section >= f->sections.size() || c->Line >= f->sections[c->Section].lines.size()) return nullptr;
    if (keep) *keep = f;
    return &f->sections[c->Section].lines[c->Line];
}

bool find_line(HINF h, const std::shared_ptr<const inf::File> &f, const char *section, const char *key,
               PINFCONTEXT out) {
    for (UINT s = 0; s < f->sections.size(); s++) {
        if (!iequals(f->sections[s].name, section)) continue;
        auto &lines = f->sections[s].lines;
        for (UINT l = 0; l < lines.size(); l++) {
            if (key && !(lines[l].has_key && iequals(lines[l].key, key))) continue;
            *out = {h, h, s, l};
            return true;
        }
    }
    return false;
}


// The version block handed out in SP_INF_INFORMATION: per INF its path, then
// "key\0value\0" pairs, then an empty key.
std::vector<BYTE> version_block(const inf::File &f) {
    std::vector<BYTE> b;
    auto put = [&](const std::string &s) { b.insert(b.end(), s.begin(), s.end()), b.push_back(0); };
    put(f.path);
    if (const inf::Section *v = f.section("Version"))
        for (auto &l : v->lines)
            if (l.has_key) {
                put(l.key);
                put(f.version(l.key));
            }
    b.push_back(0);
    return b;
}

std::string inf_dir() {
    WINSIM_LOCK();
    return std::string(M().profile->windows_dir) + "\\inf";
}

// "oem12.inf" -> 12; -1 for other names.
long oem_number(const std::string &name) {
    std::string u = upper(name);
    if (u.size() < 8 || u.compare(0, 3, "OEM") || u.compare(u.size() - 4, 4, ".INF")) return -1;
    std::string digits = u.substr(3, u.size() - 7);
    if (digits.empty() || digits.size() > 6 || digits.find_first_not_of("0123456789") != std::string::npos) return -1;
    return std::stol(digits);
}

std::string pnf_of(const std::string &inf_path) { return inf_path.substr(0, inf_path.size() - 3) + "pnf"; }

// The precompiled form beside an OEM INF: where it came from and its text.
void write_pnf(const std::string &inf_path, const std::string &source, const std::string &location, DWORD media,
               const std::string &text) {
    std::string pnf = "WINSIM-PNF\r\nOriginalInfName=" + file_part(source) + "\r\nOriginalLocation=" + location +
                      "\r\nMediaType=" + std::to_string(media) + "\r\n\r\n" + text;
    disk::write_text(pnf_of(inf_path), pnf);
}

// The catalog an OEM INF names goes to the system's catalog store as
// "oemN.CAT" (NT only); an INF without one, or a catalog missing from the
// source, installs unsigned.
const char k_catroot[] = "\\CatRoot\\{F750E6C3-38EE-11D1-85E5-00C04FC295EE}\\";

std::string catalog_of(const std::string &oem_inf) {
    WINSIM_LOCK();
    if (!M().profile->nt()) return "";
    std::string name = file_part(oem_inf);
    return std::string(M().profile->system_dir) + k_catroot + name.substr(0, name.size() - 3) + "CAT";
}

void copy_catalog(const inf::File &f, const std::string &source, const std::string &oem_inf) {
    std::string cat = f.version("CatalogFile.NTx86");
    if (cat.empty()) cat = f.version("CatalogFile.NT");
    if (cat.empty()) cat = f.version("CatalogFile");
    std::string to = catalog_of(oem_inf);
    if (cat.empty() || to.empty()) return;
    std::vector<BYTE> bytes;
    if (!disk::read_file(dir_part(source) + "\\" + cat, &bytes)) return;
    disk::write_file(to, bytes);
}

} // namespace
} // namespace winsim

using namespace winsim;

extern "C" {

HINF WINAPI SetupOpenInfFileA(PCSTR FileName, PCSTR InfClass, DWORD InfStyle, PUINT ErrorLine) {
    if (DWORD e = fault("SetupOpenInfFileA")) {
        SetLastError(e);
        return INVALID_HANDLE_VALUE;
    }
    if (!FileName || !*FileName) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    auto f = std::make_shared<inf::File>();
    unsigned line = 0;
    DWORD e = inf::load(FileName, f.get(), &line);
    if (e) {
        if (ErrorLine && line) *ErrorLine = line;
    } else if (!(f->style() & InfStyle)) {
        e = ERROR_WRONG_INF_STYLE;
    } else if (InfClass && !iequals(f->version("Class"), InfClass)) {
        e = ERROR_CLASS_MISMATCH;
    }
    if (e) {
        SetLastError(e);
        return INVALID_HANDLE_VALUE;
    }
    auto o = std::make_shared<InfObject>();
    o->file = f;
    HANDLE h = handle_table::add(o);
    SetLastError(ERROR_SUCCESS);
    return (HINF)h;
}

VOID WINAPI SetupCloseInfFile(HINF InfHandle) {
    if (file_of(InfHandle)) handle_table::remove((HANDLE)InfHandle);
}

BOOL WINAPI SetupGetInfInformationA(LPCVOID InfSpec, DWORD SearchControl, PSP_INF_INFORMATION ReturnBuffer,
                                    DWORD ReturnBufferSize, PDWORD RequiredSize) {
    WINSIM_FAULT_BOOL("SetupGetInfInformationA");
    if (!InfSpec) return fail(ERROR_INVALID_PARAMETER);
    std::shared_ptr<const inf::File> f;
    if (SearchControl == INFINFO_INF_SPEC_IS_HINF) {
        f = file_of((HINF)InfSpec);
        if (!f) return fail(ERROR_INVALID_HANDLE);
    } else if (SearchControl >= INFINFO_INF_NAME_IS_ABSOLUTE && SearchControl <= INFINFO_INF_PATH_LIST_SEARCH) {
        auto loaded = std::make_shared<inf::File>();
        if (DWORD e = inf::load((const char *)InfSpec, loaded.get())) return fail(e);
        f = loaded;
    } else {
        return fail(ERROR_INVALID_PARAMETER);
    }
    std::vector<BYTE> block = version_block(*f);
    DWORD need = (DWORD)(offsetof(SP_INF_INFORMATION, VersionData) + block.size());
    if (RequiredSize) *RequiredSize = need;
    if (!ReturnBuffer) return ReturnBufferSize ? fail(ERROR_INVALID_PARAMETER) : TRUE;
    if (ReturnBufferSize < need) return fail(ERROR_INSUFFICIENT_BUFFER);
    ReturnBuffer->InfStyle = f->style();
    ReturnBuffer->InfCount = 1;
    std::memcpy(ReturnBuffer->VersionData, block.data(), block.size());
    return TRUE;
}

BOOL WINAPI SetupQueryInfVersionInformationA(PSP_INF_INFORMATION InfInformation, UINT InfIndex, PCSTR Key,
                                             PSTR ReturnBuffer, DWORD ReturnBufferSize, PDWORD RequiredSize) {
    WINSIM_FAULT_BOOL("SetupQueryInfVersionInformationA");
    if (!InfInformation || InfIndex >= InfInformation->InfCount) return fail(ERROR_INVALID_PARAMETER);
    const char *p = (const char *)InfInformation->VersionData;
    p += std::strlen(p) + 1; // the INF's path
    std::string all;
    while (*p) {
        const char *k = p;
        const char *v = k + std::strlen(k) + 1;
        p = v + std::strlen(v) + 1;
        if (!Key) {
            all += k;
            all += '\0';
        } else if (iequals(k, Key)) {
            return give(v, ReturnBuffer, ReturnBufferSize, RequiredSize);
        }
    }
    if (Key) return fail(ERROR_INVALID_DATA);
    // Every key: a list of zero-terminated names ended by an empty one; the
    // size counts the final terminator, which give() adds.
    return give(all, ReturnBuffer, ReturnBufferSize, RequiredSize);
}

BOOL WINAPI SetupFindFirstLineA(HINF InfHandle, PCSTR Section, PCSTR Key, PINFCONTEXT Context) {
    WINSIM_FAULT_BOOL("SetupFindFirstLineA");
    auto f = file_of(InfHandle);
    if (!f) return fail(ERROR_INVALID_HANDLE);
    if (!Section || !Context) return fail(ERROR_INVALID_PARAMETER);
    if (!find_line(InfHandle, f, Section, Key, Context)) return fail(ERROR_LINE_NOT_FOUND);
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

BOOL WINAPI SetupFindNextMatchLineA(PINFCONTEXT ContextIn, PCSTR Key, PINFCONTEXT ContextOut) {
    WINSIM_FAULT_BOOL("SetupFindNextMatchLineA");
    std::shared_ptr<const inf::File> f;
    if (!line_of(ContextIn, &f) || !ContextOut) return fail(ERROR_INVALID_PARAMETER);
    auto &lines = f->sections[ContextIn->Section].lines;
    for (UINT l = ContextIn->Line + 1; l < lines.size(); l++) {
        if (Key && !(lines[l].has_key && iequals(lines[l].key, Key))) continue;
        *ContextOut = *ContextIn;
        ContextOut->Line = l;
        SetLastError(ERROR_SUCCESS);
        return TRUE;
    }
    return fail(ERROR_LINE_NOT_FOUND);
}

BOOL WINAPI SetupFindNextLine(PINFCONTEXT ContextIn, PINFCONTEXT ContextOut) {
    WINSIM_FAULT_BOOL("SetupFindNextLine");
    return SetupFindNextMatchLineA(ContextIn, nullptr, ContextOut);
}

BOOL WINAPI SetupGetStringFieldA(PINFCONTEXT Context, DWORD FieldIndex, PSTR ReturnBuffer, DWORD ReturnBufferSize,
                                 PDWORD RequiredSize) {
    WINSIM_FAULT_BOOL("SetupGetStringFieldA");
    std::shared_ptr<const inf::File> f;
    const inf::Line *l = line_of(Context, &f);
    std::string s;
    if (!l || !l->field(FieldIndex, &s)) return fail(ERROR_INVALID_PARAMETER);
    return give(s, ReturnBuffer, ReturnBufferSize, RequiredSize);
}

BOOL WINAPI SetupGetLineTextA(PINFCONTEXT Context, HINF InfHandle, PCSTR Section, PCSTR Key, PSTR ReturnBuffer,
                              DWORD ReturnBufferSize, PDWORD RequiredSize) {
    WINSIM_FAULT_BOOL("SetupGetLineTextA");
    INFCONTEXT found;
    if (!Context) {
        auto f = file_of(InfHandle);
        if (!f) return fail(ERROR_INVALID_HANDLE);
        if (!Section || !Key) return fail(ERROR_INVALID_PARAMETER);
        if (!find_line(InfHandle, f, Section, Key, &found)) return fail(ERROR_LINE_NOT_FOUND);
        Context = &found;
    }
    std::shared_ptr<const inf::File> f;
    const inf::Line *l = line_of(Context, &f);
    if (!l) return fail(ERROR_INVALID_PARAMETER);
    std::string text;
    for (size_t i = 0; i < l->fields.size(); i++) text += (i ? "," : "") + l->fields[i];
    return give(text, ReturnBuffer, ReturnBufferSize, RequiredSize);
}

BOOL WINAPI SetupGetIntField(PINFCONTEXT Context, DWORD FieldIndex, INT *IntegerValue) {
    WINSIM_FAULT_BOOL("SetupGetIntField");
    std::shared_ptr<const inf::File> f;
    const inf::Line *l = line_of(Context, &f);
    std::string s;
    if (!l || !IntegerValue || !l->field(FieldIndex, &s)) return fail(ERROR_INVALID_PARAMETER);
    long long v;
    if (!inf::parse_number(s, &v)) return fail(ERROR_INVALID_DATA);
    *IntegerValue = (INT)v;
    return TRUE;
}

DWORD WINAPI SetupGetFieldCount(PINFCONTEXT Context) {
    if (DWORD e = fault("SetupGetFieldCount")) {
        SetLastError(e);
        return 0;
    }
    const inf::Line *l = line_of(Context);
    if (!l) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    return (DWORD)l->fields.size();
}

LONG WINAPI SetupGetLineCountA(HINF InfHandle, PCSTR Section) {
    if (DWORD e = fault("SetupGetLineCountA")) {
        SetLastError(e);
        return -1;
    }
    auto f = file_of(InfHandle);
    const inf::Section *s = f && Section ? f->section(Section) : nullptr;
    if (!s) {
        SetLastError(f ? ERROR_SECTION_NOT_FOUND : ERROR_INVALID_HANDLE);
        return -1;
    }
    return (LONG)s->lines.size();
}

BOOL WINAPI SetupDiGetINFClassA(PCSTR InfName, LPGUID ClassGuid, PSTR ClassName, DWORD ClassNameSize,
                                PDWORD RequiredSize) {
    WINSIM_FAULT_BOOL("SetupDiGetINFClassA");
    if (!InfName || !ClassGuid || (!ClassName && ClassNameSize)) return fail(ERROR_INVALID_PARAMETER);
    inf::File f;
    if (DWORD e = inf::load(InfName, &f)) return fail(e);
    if (!(f.style() & INF_STYLE_WIN4)) return fail(ERROR_WRONG_INF_STYLE);
    std::string name = f.version("Class"), guid = f.version("ClassGUID");
    GUID g{};
    if (!guid.empty()) {
        if (!pnp::parse_guid(guid, &g)) return fail(ERROR_INVALID_CLASS);
        if (name.empty()) {
            // The class's own key names it.
            WINSIM_LOCK();
            std::string root = M().profile->nt() ? "HKLM\\SYSTEM\\CurrentControlSet\\Control\\Class\\" + upper(guid)
                                                 : std::string();
            if (!root.empty()) M().registry->get_string(root, "Class", &name);
        }
    } else if (!name.empty()) {
        DWORD n = 0;
        GUID list[4];
        if (!SetupDiClassGuidsFromNameA(name.c_str(), list, 4, &n) && GetLastError() != ERROR_INSUFFICIENT_BUFFER)
            return FALSE;
        if (n) g = list[0];
    } else {
        return fail(ERROR_NO_ASSOCIATED_CLASS);
    }
    *ClassGuid = g;
    if (RequiredSize) *RequiredSize = (DWORD)name.size() + 1;
    if (!ClassName) return TRUE;
    if (ClassNameSize < name.size() + 1) return fail(ERROR_INSUFFICIENT_BUFFER);
    std::memcpy(ClassName, name.c_str(), name.size() + 1);
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

BOOL WINAPI SetupCopyOEMInfA(PCSTR SourceInfFileName, PCSTR OEMSourceMediaLocation, DWORD OEMSourceMediaType,
                             DWORD CopyStyle, PSTR DestinationInfFileName, DWORD DestinationInfFileNameSize,
                             PDWORD RequiredSize, PSTR *DestinationInfFileNameComponent) {
    WINSIM_FAULT_BOOL("SetupCopyOEMInfA");
    if (!SourceInfFileName || !*SourceInfFileName || OEMSourceMediaType > SPOST_URL ||
        (!DestinationInfFileName && DestinationInfFileNameSize))
        return fail(ERROR_INVALID_PARAMETER);
    std::string source;
    {
        WINSIM_LOCK();
        if (DWORD e = D().full_path(SourceInfFileName, &source)) return fail(e);
    }
    inf::File f;
    if (DWORD e = inf::load(source, &f)) return fail(e);
    if (!(f.style() & INF_STYLE_WIN4)) return fail(ERROR_WRONG_INF_STYLE);
    std::string dir = inf_dir();
    std::string location = OEMSourceMediaLocation && OEMSourceMediaType == SPOST_PATH
                               ? std::string(OEMSourceMediaLocation)
                               : OEMSourceMediaType == SPOST_PATH ? dir_part(source) : std::string();

    // An INF already copied (same bytes) keeps its number.
    std::string existing;
    long highest = -1;
    std::vector<long> used;
    {
        WINSIM_LOCK();
        PathInfo p = D().resolve(dir);
        for (auto &e : p.exists ? D().list(p) : std::vector<DirEntry>{}) {
            long n = oem_number(e.name);
            if (n < 0 || e.is_dir) continue;
            used.push_back(n);
            highest = std::max(highest, n);
            std::vector<BYTE> bytes;
            if (existing.empty() && !D().read_all(dir + "\\" + e.name, &bytes) &&
                std::string(bytes.begin(), bytes.end()) == f.text)
                existing = dir + "\\" + e.name;
        }
    }
    std::string dest;
    DWORD error = 0;
    if (!existing.empty()) {
        dest = existing;
        if (CopyStyle & SP_COPY_NOOVERWRITE) error = ERROR_FILE_EXISTS;
        else write_pnf(dest, source, location, OEMSourceMediaType, f.text), copy_catalog(f, source, dest);
    } else if (CopyStyle & (SP_COPY_REPLACEONLY | SP_COPY_OEMINF_CATALOG_ONLY)) {
        return fail(ERROR_FILE_NOT_FOUND);
    } else {
        long n = 0;
        while (std::find(used.begin(), used.end(), n) != used.end()) n++;
        dest = dir + "\\oem" + std::to_string(n) + ".inf";
        if (!disk::write_text(dest, f.text)) return fail(ERROR_DISK_FULL);
        write_pnf(dest, source, location, OEMSourceMediaType, f.text);
        copy_catalog(f, source, dest);
    }
    if (!error && (CopyStyle & SP_COPY_DELETESOURCE) && !iequals(source, dest)) DeleteFileA(source.c_str());
    // The name goes out even when the INF was already there.
    DWORD need = (DWORD)dest.size() + 1;
    if (RequiredSize) *RequiredSize = need;
    if (DestinationInfFileName) {
        if (DestinationInfFileNameSize < need) return fail(ERROR_INSUFFICIENT_BUFFER);
        std::memcpy(DestinationInfFileName, dest.c_str(), need);
        if (DestinationInfFileNameComponent)
            *DestinationInfFileNameComponent = DestinationInfFileName + dest.rfind('\\') + 1;
    }
    if (error) return fail(error);
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

BOOL WINAPI SetupUninstallOEMInfA(PCSTR InfFileName, DWORD Flags, PVOID Reserved) {
    WINSIM_FAULT_BOOL("SetupUninstallOEMInfA");
    if (!InfFileName || Reserved || std::strpbrk(InfFileName, "\\/:") || (Flags & ~SUOI_FORCEDELETE))
        return fail(ERROR_INVALID_PARAMETER);
    std::string path = inf_dir() + "\\" + InfFileName;
    if (!disk::exists(path)) return fail(ERROR_FILE_NOT_FOUND);
    if (!(Flags & SUOI_FORCEDELETE)) {
        WINSIM_LOCK();
        Registry &r = *M().registry;
        const std::string root = "HKLM\\SYSTEM\\CurrentControlSet\\Control\\Class";
        for (auto &c : r.subkeys(root))
            for (auto &d : r.subkeys(root + "\\" + c)) {
                std::string used;
                if (r.get_string(root + "\\" + c + "\\" + d, "InfPath", &used) && iequals(used, InfFileName))
                    return fail(ERROR_INF_IN_USE_BY_DEVICES);
            }
    }
    if (!DeleteFileA(path.c_str())) return FALSE;
    DeleteFileA(pnf_of(path).c_str());
    std::string cat = catalog_of(path);
    if (!cat.empty()) DeleteFileA(cat.c_str());
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

// "<section> <mode> <inf path>": the mode's bit 128 makes the INF's folder
// the source of its files; the low bits say how to handle a restart, which
// this host leaves to whoever started it.
VOID WINAPI InstallHinfSectionA(HWND Window, HINSTANCE ModuleHandle, PCSTR CommandLine, INT ShowCommand) {
    (void)Window, (void)ModuleHandle, (void)ShowCommand;
    if (fault("InstallHinfSectionA") || !CommandLine) return;
    std::string s = CommandLine;
    auto next = [&](size_t &i) {
        while (i < s.size() && (s[i] == ' ' || s[i] == '\t')) i++;
        size_t a = i;
        while (i < s.size() && s[i] != ' ' && s[i] != '\t') i++;
        return s.substr(a, i - a);
    };
    size_t i = 0;
    std::string section = next(i);
    std::string mode = next(i);
    while (i < s.size() && (s[i] == ' ' || s[i] == '\t')) i++;
    std::string path = s.substr(i);
    while (!path.empty() && (path.back() == ' ' || path.back() == '\t' || path.back() == '\r' || path.back() == '\n'))
        path.pop_back();
    if (path.size() >= 2 && path.front() == '"' && path.back() == '"') path = path.substr(1, path.size() - 2);
    if (section.empty() || path.empty()) return;
    inf::File f;
    if (inf::load(path, &f)) return;
    inf::InstallOptions o;
    o.source_dir = f.dir();
    inf::install_section(f, section, o);
}

} // extern "C"
