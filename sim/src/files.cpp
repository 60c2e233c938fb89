// Kernel32 file, directory and search calls on the simulated disk.
#include "disk.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

namespace fs = std::filesystem;

namespace winsim {
namespace {

// An open disk file.  The host descriptor follows the file through renames;
// sharing is recorded in the disk's OpenFiles until the handle closes.
struct DiskFile : FileObject {
    int fd = -1;
    DWORD access = 0; // reduced rights
    uint64_t pos = 0;
    std::weak_ptr<OpenFiles> open;

    ~DiskFile() override {
        if (fd >= 0) ::close(fd);
        if (auto o = open.lock()) {
            WINSIM_LOCK();
            o->entries.erase(this);
        }
    }

    DWORD read(void *buffer, DWORD size, DWORD *done, LPOVERLAPPED at) override {
        WINSIM_LOCK();
        if (!(access & FILE_READ_DATA)) return ERROR_ACCESS_DENIED;
        uint64_t where = at ? ((uint64_t)at->OffsetHigh << 32 | at->Offset) : pos;
        size_t got = 0;
        while (got < size) {
            ssize_t n = ::pread(fd, (char *)buffer + got, size - got, (off_t)(where + got));
            if (n < 0) return ERROR_READ_FAULT;
            if (n == 0) break;
            got += (size_t)n;
        }
        pos = where + got;
        *done = (DWORD)got;
        return 0;
    }

    DWORD write(const void *buffer, DWORD size, DWORD *done, LPOVERLAPPED at) override {
        WINSIM_LOCK();
        if (!(access & FILE_WRITE_DATA)) return ERROR_ACCESS_DENIED;
        if (size == 0) return 0;
        Machine::Impl *m = M_or_null();
        if (m && m->disk && m->disk->full()) return ERROR_DISK_FULL;
        uint64_t where = at ? ((uint64_t)at->OffsetHigh << 32 | at->Offset) : pos;
        size_t put = 0;
        while (put < size) {
            ssize_t n = ::pwrite(fd, (const char *)buffer + put, size - put, (off_t)(where + put));
            if (n <= 0) return ERROR_WRITE_FAULT;
            put += (size_t)n;
        }
        pos = where + put;
        *done = (DWORD)put;
        return 0;
    }

    DWORD size(uint64_t *bytes) override {
        WINSIM_LOCK();
        struct stat st;
        if (::fstat(fd, &st) != 0) return ERROR_INVALID_HANDLE;
        *bytes = (uint64_t)st.st_size;
        return 0;
    }

    DWORD seek(int64_t distance, DWORD method, uint64_t *position) override {
        WINSIM_LOCK();
        int64_t base;
        switch (method) {
        case FILE_BEGIN: base = 0; break;
        case FILE_CURRENT: base = (int64_t)pos; break;
        case FILE_END: {
            uint64_t s = 0;
            if (DWORD e = size(&s)) return e;
            base = (int64_t)s;
            break;
        }
        default: return ERROR_INVALID_PARAMETER;
        }
        int64_t np = base + distance;
        if (np < 0) return ERROR_NEGATIVE_SEEK;
        pos = (uint64_t)np;
        *position = pos;
        return 0;
    }

    DWORD flush() override {
        WINSIM_LOCK();
        return (access & FILE_WRITE_DATA) ? 0 : ERROR_ACCESS_DENIED;
    }
};

struct Search : Object {
    Search() : Object(HandleKind::FindSearch) {}
    std::vector<DirEntry> entries;
    size_t next = 0;
};

template <class T> T fail(DWORD error, T value) {
    SetLastError(error);
    return value;
}

bool nt() { return M().profile->nt(); }

// Path lookup shared by calls that need an existing file or directory.
DWORD existing(const char *name, PathInfo *p) {
    if (!name) return ERROR_INVALID_PARAMETER;
    *p = D().resolve(name);
    if (p->error) return p->error;
    if (p->device) return ERROR_PATH_NOT_FOUND;
    if (p->wildcards) return ERROR_INVALID_NAME;
    if (!p->exists) return ERROR_FILE_NOT_FOUND;
    if (p->trailing_separator && !p->is_dir) return ERROR_INVALID_NAME;
    return 0;
}

// Lookup for the target of a create, copy or move.
DWORD target(const char *name, PathInfo *p) {
    if (!name) return ERROR_INVALID_PARAMETER;
    *p = D().resolve(name);
    if (p->error) return p->error;
    if (p->device) return ERROR_PATH_NOT_FOUND;
    if (p->wildcards) return ERROR_INVALID_NAME;
    return 0;
}

DWORD stored_bits(const PathInfo &p) {
    return D().attributes(p) & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                                FILE_ATTRIBUTE_ARCHIVE);
}

HANDLE open_disk_file(const PathInfo &p, DWORD desired, DWORD share, DWORD disposition, DWORD flags) {
    if (p.error) return fail(p.error, INVALID_HANDLE_VALUE);
    if (p.wildcards) return fail(ERROR_INVALID_NAME, INVALID_HANDLE_VALUE);
    if (disposition < CREATE_NEW || disposition > TRUNCATE_EXISTING)
        return fail(ERROR_INVALID_PARAMETER, INVALID_HANDLE_VALUE);
    DWORD access = reduce_file_access(desired);
    if (disposition == TRUNCATE_EXISTING && !(access & FILE_WRITE_DATA))
        return fail(ERROR_INVALID_PARAMETER, INVALID_HANDLE_VALUE);
    if (p.exists && p.is_dir)
        return fail(disposition == CREATE_NEW ? ERROR_FILE_EXISTS : ERROR_ACCESS_DENIED, INVALID_HANDLE_VALUE);
    if (p.trailing_separator) return fail(ERROR_INVALID_NAME, INVALID_HANDLE_VALUE);
    Disk &d = D();
    const DWORD given = flags & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                                 FILE_ATTRIBUTE_ARCHIVE);
    bool creating = disposition == CREATE_NEW || disposition == CREATE_ALWAYS;
    bool truncating = disposition == CREATE_ALWAYS || disposition == TRUNCATE_EXISTING;
    int fd = -1;
    DWORD last_error = 0;
    PathInfo now = p;
    if (p.exists) {
        if (disposition == CREATE_NEW) return fail(ERROR_FILE_EXISTS, INVALID_HANDLE_VALUE);
        DWORD bits = stored_bits(p);
        if ((bits & FILE_ATTRIBUTE_READONLY) && ((access & FILE_WRITE_DATA) || truncating))
            return fail(ERROR_ACCESS_DENIED, INVALID_HANDLE_VALUE);
        // Overwriting a hidden or system file must restate those attributes.
        if (disposition == CREATE_ALWAYS &&
            (bits & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM) & ~given))
            return fail(ERROR_ACCESS_DENIED, INVALID_HANDLE_VALUE);
        if (DWORD e = d.open_files()->check(p.key, access | (truncating ? FILE_WRITE_DATA : 0), share))
            return fail(e, INVALID_HANDLE_VALUE);
        if (creating && d.full()) return fail(ERROR_DISK_FULL, INVALID_HANDLE_VALUE);
        if (truncating) {
            fd = open_empty(p.host, d.open_files()->is_open(p.key));
        } else {
            fd = ::open(p.host.c_str(), O_RDWR | O_CLOEXEC);
            if (fd < 0) fd = ::open(p.host.c_str(), O_RDONLY | O_CLOEXEC);
        }
        if (fd < 0) return fail(ERROR_ACCESS_DENIED, INVALID_HANDLE_VALUE);
        if (disposition == CREATE_ALWAYS) d.set_attributes(p, given | FILE_ATTRIBUTE_ARCHIVE);
        if (disposition == CREATE_ALWAYS || disposition == OPEN_ALWAYS) last_error = ERROR_ALREADY_EXISTS;
    } else {
        if (disposition == OPEN_EXISTING || disposition == TRUNCATE_EXISTING)
            return fail(ERROR_FILE_NOT_FOUND, INVALID_HANDLE_VALUE);
        if (d.full()) return fail(ERROR_DISK_FULL, INVALID_HANDLE_VALUE);
        fd = ::open(p.host.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        if (fd < 0) return fail(ERROR_ACCESS_DENIED, INVALID_HANDLE_VALUE);
        d.forget(p.key);
        now.exists = true;
        now.is_dir = false;
        d.set_attributes(now, given | FILE_ATTRIBUTE_ARCHIVE);
    }
    auto f = std::make_shared<DiskFile>();
    f->fd = fd;
    f->access = access;
    f->open = d.open_files();
    d.open_files()->entries[f.get()] = OpenFiles::Entry{p.key, access, share};
    HANDLE h = handle_table::add(f);
    SetLastError(last_error);
    return h;
}

void fill(const DirEntry &e, LPWIN32_FIND_DATAA data) {
    std::memset(data, 0, sizeof *data);
    data->dwFileAttributes = e.attributes;
    data->ftCreationTime = data->ftLastAccessTime = data->ftLastWriteTime = e.write_time;
    data->nFileSizeHigh = (DWORD)(e.size >> 32);
    data->nFileSizeLow = (DWORD)e.size;
    std::strncpy(data->cFileName, e.name.c_str(), sizeof data->cFileName - 1);
}

} // namespace
} // namespace winsim

using namespace winsim;

// ------------------------------------------------------------ open files

extern "C" HANDLE WINAPI CreateFileA(LPCSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES,
                                     DWORD disposition, DWORD flags, HANDLE) {
    if (DWORD e = fault("CreateFileA")) return fail(e, INVALID_HANDLE_VALUE);
    if (!name) return fail(ERROR_INVALID_PARAMETER, INVALID_HANDLE_VALUE);
    DeviceOpener opener;
    std::string device;
    {
        WINSIM_LOCK();
        // Windows 9x has no delete sharing and refuses the flag.
        if ((share & FILE_SHARE_DELETE) && !nt()) return fail(ERROR_INVALID_PARAMETER, INVALID_HANDLE_VALUE);
        PathInfo p = D().resolve(name);
        if (!p.device) return open_disk_file(p, access, share, disposition, flags);
        opener = D().device(p.device_name);
        device = p.device_name;
        if (!opener) return fail(ERROR_FILE_NOT_FOUND, INVALID_HANDLE_VALUE);
    }
    // Drivers may block while opening: no lock held here.
    std::shared_ptr<FileObject> object;
    DWORD e = opener(device, access, share, flags, &object);
    if (e || !object) return fail(e ? e : (DWORD)ERROR_GEN_FAILURE, INVALID_HANDLE_VALUE);
    HANDLE h = handle_table::add(object);
    SetLastError(0);
    return h;
}

extern "C" BOOL WINAPI ReadFile(HANDLE h, LPVOID buffer, DWORD size, LPDWORD read, LPOVERLAPPED overlapped) {
    WINSIM_FAULT_BOOL("ReadFile");
    if (read) *read = 0;
    auto f = handle_table::get_as<FileObject>(h, HandleKind::File);
    if (!f) return fail(ERROR_INVALID_HANDLE, FALSE);
    // A null count with no OVERLAPPED faults inside kernel32 on real systems.
    if ((!buffer && size) || (!read && !overlapped)) return fail(ERROR_NOACCESS, FALSE);
    DWORD done = 0;
    if (DWORD e = f->read(buffer, size, &done, overlapped)) return fail(e, FALSE);
    if (read) *read = done;
    return TRUE;
}

extern "C" BOOL WINAPI WriteFile(HANDLE h, LPCVOID buffer, DWORD size, LPDWORD written, LPOVERLAPPED overlapped) {
    WINSIM_FAULT_BOOL("WriteFile");
    if (written) *written = 0;
    auto f = handle_table::get_as<FileObject>(h, HandleKind::File);
    if (!f) return fail(ERROR_INVALID_HANDLE, FALSE);
    if ((!buffer && size) || (!written && !overlapped)) return fail(ERROR_NOACCESS, FALSE);
    DWORD done = 0;
    if (DWORD e = f->write(buffer, size, &done, overlapped)) return fail(e, FALSE);
    if (written) *written = done;
    return TRUE;
}

extern "C" DWORD WINAPI GetFileSize(HANDLE h, LPDWORD high) {
    if (DWORD e = fault("GetFileSize")) return fail(e, INVALID_FILE_SIZE);
    auto f = handle_table::get_as<FileObject>(h, HandleKind::File);
    if (!f) return fail(ERROR_INVALID_HANDLE, INVALID_FILE_SIZE);
    uint64_t s = 0;
    if (DWORD e = f->size(&s)) return fail(e, INVALID_FILE_SIZE);
    if (high) *high = (DWORD)(s >> 32);
    // 0xFFFFFFFF is also a size: callers tell by the last error.
    if ((DWORD)s == INVALID_FILE_SIZE) SetLastError(NO_ERROR);
    return (DWORD)s;
}

extern "C" DWORD WINAPI SetFilePointer(HANDLE h, LONG distance, PLONG high, DWORD method) {
    if (DWORD e = fault("SetFilePointer")) return fail(e, INVALID_SET_FILE_POINTER);
    auto f = handle_table::get_as<FileObject>(h, HandleKind::File);
    if (!f) return fail(ERROR_INVALID_HANDLE, INVALID_SET_FILE_POINTER);
    int64_t d = high ? (int64_t)(((uint64_t)(uint32_t)*high << 32) | (uint32_t)distance) : (int64_t)distance;
    uint64_t np = 0;
    if (DWORD e = f->seek(d, method, &np)) return fail(e, INVALID_SET_FILE_POINTER);
    if (high) *high = (LONG)(np >> 32);
    SetLastError(NO_ERROR);
    return (DWORD)np;
}

extern "C" BOOL WINAPI FlushFileBuffers(HANDLE h) {
    WINSIM_FAULT_BOOL("FlushFileBuffers");
    auto f = handle_table::get_as<FileObject>(h, HandleKind::File);
    if (!f) return fail(ERROR_INVALID_HANDLE, FALSE);
    if (DWORD e = f->flush()) return fail(e, FALSE);
    return TRUE;
}

// --------------------------------------------------------------- searches

extern "C" HANDLE WINAPI FindFirstFileA(LPCSTR name, LPWIN32_FIND_DATAA data) {
    if (DWORD e = fault("FindFirstFileA")) return fail(e, INVALID_HANDLE_VALUE);
    if (!name) return fail(ERROR_INVALID_PARAMETER, INVALID_HANDLE_VALUE);
    if (!data) return fail(ERROR_NOACCESS, INVALID_HANDLE_VALUE);
    std::string s = name;
    if (s.empty()) return fail(ERROR_PATH_NOT_FOUND, INVALID_HANDLE_VALUE);
    if (s.size() > MAX_PATH) return fail(ERROR_FILENAME_EXCED_RANGE, INVALID_HANDLE_VALUE);
    // Split into the directory and the pattern as written (the pattern is not
    // normalised: "*." must keep its dot).
    size_t cut = s.find_last_of("\\/");
    std::string dir, pattern;
    if (cut != std::string::npos) {
        dir = s.substr(0, cut + 1);
        pattern = s.substr(cut + 1);
    } else if (s.size() >= 2 && s[1] == ':') {
        dir = s.substr(0, 2);
        pattern = s.substr(2);
    } else {
        dir = ".";
        pattern = s;
    }
    // "dir\\" names nothing to list.
    if (pattern.empty()) return fail(ERROR_FILE_NOT_FOUND, INVALID_HANDLE_VALUE);
    if (invalid_name_chars(pattern, true)) return fail(ERROR_INVALID_NAME, INVALID_HANDLE_VALUE);
    WINSIM_LOCK();
    PathInfo d = D().resolve(dir);
    if (d.error) return fail(d.error, INVALID_HANDLE_VALUE);
    if (d.wildcards) return fail(ERROR_INVALID_NAME, INVALID_HANDLE_VALUE);
    if (d.device || !d.exists || !d.is_dir) return fail(ERROR_PATH_NOT_FOUND, INVALID_HANDLE_VALUE);
    std::vector<DirEntry> all;
    if (!d.is_root) {
        DirEntry self, parent;
        self.name = ".";
        self.is_dir = true;
        self.attributes = D().attributes(d);
        self.write_time = host_write_time(d.host);
        parent.name = "..";
        parent.is_dir = true;
        parent.attributes = FILE_ATTRIBUTE_DIRECTORY;
        parent.write_time = host_write_time(d.host.parent_path());
        all.push_back(self);
        all.push_back(parent);
    }
    for (auto &e : D().list(d)) all.push_back(std::move(e));
    auto search = std::make_shared<Search>();
    for (auto &e : all)
        if (wildcard_match(pattern, e.name)) search->entries.push_back(e);
    if (search->entries.empty()) return fail(ERROR_FILE_NOT_FOUND, INVALID_HANDLE_VALUE);
    fill(search->entries[0], data);
    search->next = 1;
    HANDLE h = handle_table::add(search);
    SetLastError(NO_ERROR);
    return h;
}

extern "C" BOOL WINAPI FindNextFileA(HANDLE h, LPWIN32_FIND_DATAA data) {
    WINSIM_FAULT_BOOL("FindNextFileA");
    auto s = handle_table::get_as<Search>(h, HandleKind::FindSearch);
    if (!s) return fail(ERROR_INVALID_HANDLE, FALSE);
    if (!data) return fail(ERROR_NOACCESS, FALSE);
    WINSIM_LOCK();
    if (s->next >= s->entries.size()) return fail(ERROR_NO_MORE_FILES, FALSE);
    fill(s->entries[s->next++], data);
    return TRUE;
}

extern "C" BOOL WINAPI FindClose(HANDLE h) {
    WINSIM_FAULT_BOOL("FindClose");
    if (!handle_table::get_as<Search>(h, HandleKind::FindSearch)) return fail(ERROR_INVALID_HANDLE, FALSE);
    handle_table::remove(h);
    return TRUE;
}

// ------------------------------------------------- copy, delete, move, dirs

extern "C" BOOL WINAPI CopyFileA(LPCSTR from, LPCSTR to, BOOL fail_if_exists) {
    WINSIM_FAULT_BOOL("CopyFileA");
    WINSIM_LOCK();
    Disk &d = D();
    PathInfo s, t;
    if (DWORD e = existing(from, &s)) return fail(e, FALSE);
    if (s.is_dir) return fail(ERROR_ACCESS_DENIED, FALSE);
    if (DWORD e = d.open_files()->check(s.key, FILE_READ_DATA, FILE_SHARE_READ)) return fail(e, FALSE);
    if (DWORD e = target(to, &t)) return fail(e, FALSE);
    if (t.is_root || t.trailing_separator) return fail(t.is_root ? ERROR_ACCESS_DENIED : ERROR_INVALID_NAME, FALSE);
    if (t.exists) {
        if (t.is_dir) return fail(ERROR_ACCESS_DENIED, FALSE);
        if (fail_if_exists) return fail(ERROR_FILE_EXISTS, FALSE);
        // The source is open for reading without write sharing.
        if (t.key == s.key) return fail(ERROR_SHARING_VIOLATION, FALSE);
        if (stored_bits(t) & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN)) return fail(ERROR_ACCESS_DENIED, FALSE);
        if (DWORD e = d.open_files()->check(t.key, FILE_WRITE_DATA, 0)) return fail(e, FALSE);
    }
    if (d.full()) return fail(ERROR_DISK_FULL, FALSE);
    std::error_code ec;
    if (t.exists && !d.open_files()->is_open(t.key)) fs::remove(t.host, ec); // cheaper than truncating
    fs::copy_file(s.host, t.host, fs::copy_options::overwrite_existing, ec);
    if (ec) return fail(ERROR_ACCESS_DENIED, FALSE);
    auto when = fs::last_write_time(s.host, ec);
    if (!ec) fs::last_write_time(t.host, when, ec);
    if (!t.exists) d.forget(t.key);
    t.exists = true;
    t.is_dir = false;
    d.set_attributes(t, stored_bits(s) | FILE_ATTRIBUTE_ARCHIVE);
    return TRUE;
}

extern "C" BOOL WINAPI DeleteFileA(LPCSTR name) {
    WINSIM_FAULT_BOOL("DeleteFileA");
    WINSIM_LOCK();
    PathInfo p;
    if (DWORD e = existing(name, &p)) return fail(e, FALSE);
    if (p.is_dir) return fail(ERROR_ACCESS_DENIED, FALSE);
    if (stored_bits(p) & FILE_ATTRIBUTE_READONLY) return fail(ERROR_ACCESS_DENIED, FALSE);
    if (DWORD e = D().open_files()->check(p.key, DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE))
        return fail(e, FALSE);
    std::error_code ec;
    if (!fs::remove(p.host, ec) || ec) return fail(ERROR_ACCESS_DENIED, FALSE);
    D().forget(p.key);
    return TRUE;
}

extern "C" BOOL WINAPI MoveFileA(LPCSTR from, LPCSTR to) {
    WINSIM_FAULT_BOOL("MoveFileA");
    WINSIM_LOCK();
    Disk &d = D();
    PathInfo s, t;
    if (DWORD e = existing(from, &s)) return fail(e, FALSE);
    if (s.is_root) return fail(ERROR_ACCESS_DENIED, FALSE);
    if (DWORD e = target(to, &t)) return fail(e, FALSE);
    if (t.is_root) return fail(ERROR_ACCESS_DENIED, FALSE);
    if (t.exists && t.key != s.key) return fail(ERROR_ALREADY_EXISTS, FALSE);
    const DWORD all = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    if (s.is_dir) {
        std::string cwd = upper(d.current_directory());
        if (cwd == s.key || cwd.rfind(s.key + "\\", 0) == 0) return fail(ERROR_SHARING_VIOLATION, FALSE);
        // A directory cannot move into itself.
        if (t.key.rfind(s.key + "\\", 0) == 0) return fail(ERROR_SHARING_VIOLATION, FALSE);
        if (d.open_files()->is_open(s.key)) return fail(ERROR_ACCESS_DENIED, FALSE);
    } else if (DWORD e = d.open_files()->check(s.key, DELETE, all)) {
        return fail(e, FALSE);
    }
    fs::path dest = t.host;
    if (t.key == s.key) {
        // Same file under another spelling: only the case of its name changes.
        std::string given = t.full;
        while (!given.empty() && given.back() == '\\') given.pop_back();
        dest = s.host.parent_path() / given.substr(given.find_last_of('\\') + 1);
    }
    std::error_code ec;
    fs::rename(s.host, dest, ec);
    if (ec) return fail(ERROR_ACCESS_DENIED, FALSE);
    d.renamed(s.key, t.key);
    return TRUE;
}

extern "C" BOOL WINAPI CreateDirectoryA(LPCSTR name, LPSECURITY_ATTRIBUTES) {
    WINSIM_FAULT_BOOL("CreateDirectoryA");
    WINSIM_LOCK();
    PathInfo p;
    if (DWORD e = target(name, &p)) return fail(e, FALSE);
    // Room must be left for an 8.3 name inside the new directory.
    if (p.key.size() > MAX_PATH - 12) return fail(ERROR_FILENAME_EXCED_RANGE, FALSE);
    if (p.exists) return fail(ERROR_ALREADY_EXISTS, FALSE);
    std::error_code ec;
    if (!fs::create_directory(p.host, ec) || ec) return fail(ERROR_ACCESS_DENIED, FALSE);
    D().forget(p.key);
    return TRUE;
}

extern "C" BOOL WINAPI RemoveDirectoryA(LPCSTR name) {
    WINSIM_FAULT_BOOL("RemoveDirectoryA");
    WINSIM_LOCK();
    PathInfo p;
    if (DWORD e = existing(name, &p)) return fail(e, FALSE);
    if (!p.is_dir) return fail(ERROR_DIRECTORY, FALSE);
    if (p.is_root) return fail(ERROR_ACCESS_DENIED, FALSE);
    if (D().attributes(p) & FILE_ATTRIBUTE_READONLY) return fail(ERROR_ACCESS_DENIED, FALSE);
    if (upper(D().current_directory()) == p.key) return fail(ERROR_SHARING_VIOLATION, FALSE);
    std::error_code ec;
    if (!fs::is_empty(p.host, ec) || ec) return fail(ERROR_DIR_NOT_EMPTY, FALSE);
    if (!fs::remove(p.host, ec) || ec) return fail(ERROR_ACCESS_DENIED, FALSE);
    D().forget(p.key);
    return TRUE;
}

// ------------------------------------------------------------- attributes

extern "C" DWORD WINAPI GetFileAttributesA(LPCSTR name) {
    if (DWORD e = fault("GetFileAttributesA")) return fail(e, INVALID_FILE_ATTRIBUTES);
    WINSIM_LOCK();
    PathInfo p;
    if (DWORD e = existing(name, &p)) return fail(e, INVALID_FILE_ATTRIBUTES);
    return D().attributes(p);
}

extern "C" BOOL WINAPI SetFileAttributesA(LPCSTR name, DWORD attributes) {
    WINSIM_FAULT_BOOL("SetFileAttributesA");
    WINSIM_LOCK();
    PathInfo p;
    if (DWORD e = existing(name, &p)) return fail(e, FALSE);
    if (p.is_root) return TRUE;
    D().set_attributes(p, attributes);
    return TRUE;
}

// -------------------------------------------------- directories and names

extern "C" DWORD WINAPI GetCurrentDirectoryA(DWORD size, LPSTR buffer) {
    if (DWORD e = fault("GetCurrentDirectoryA")) return fail(e, (DWORD)0);
    WINSIM_LOCK();
    return copy_out(D().current_directory(), buffer, size);
}

extern "C" BOOL WINAPI SetCurrentDirectoryA(LPCSTR name) {
    WINSIM_FAULT_BOOL("SetCurrentDirectoryA");
    WINSIM_LOCK();
    PathInfo p;
    if (DWORD e = existing(name, &p)) return fail(e, FALSE);
    if (!p.is_dir) return fail(ERROR_DIRECTORY, FALSE);
    D().set_current_directory(p.full);
    return TRUE;
}

extern "C" DWORD WINAPI GetFullPathNameA(LPCSTR name, DWORD size, LPSTR buffer, LPSTR *file_part) {
    if (DWORD e = fault("GetFullPathNameA")) return fail(e, (DWORD)0);
    if (!name) return fail(ERROR_INVALID_PARAMETER, (DWORD)0);
    if (!*name) return fail(ERROR_INVALID_NAME, (DWORD)0);
    WINSIM_LOCK();
    std::string full;
    if (DWORD e = D().full_path(name, &full)) return fail(e, (DWORD)0);
    DWORD r = copy_out(full, buffer, size);
    if (r < size && buffer && file_part) {
        size_t cut = full.find_last_of('\\');
        *file_part = cut + 1 < full.size() ? buffer + cut + 1 : nullptr;
    }
    return r;
}

extern "C" DWORD WINAPI GetTempPathA(DWORD size, LPSTR buffer) {
    if (DWORD e = fault("GetTempPathA")) return fail(e, (DWORD)0);
    WINSIM_LOCK();
    // The same order of choice as Windows: TMP, TEMP, USERPROFILE, then the
    // Windows directory.
    auto &env = M().environment;
    std::string dir = M().profile->windows_dir;
    for (const char *var : {"TMP", "TEMP", "USERPROFILE"}) {
        auto it = env.find(var);
        if (it != env.end() && !it->second.empty()) {
            dir = it->second;
            break;
        }
    }
    std::string full;
    if (D().full_path(dir, &full)) full = dir;
    if (full.empty() || full.back() != '\\') full += '\\';
    return copy_out(full, buffer, size);
}
