// The simulated disk: drive C: kept in a host directory, with Windows'
// case-insensitive names and file attributes.
#ifndef WINSIM_DISK_H
#define WINSIM_DISK_H

#include "core.h"

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace winsim {

// What a file HANDLE names: a disk file (files.cpp) or a device object that
// a simulated driver hands out for "\\\\.\\NAME".  Results are 0 or a Win32
// error code; the defaults refuse with ERROR_INVALID_FUNCTION.
struct FileObject : Object {
    FileObject() : Object(HandleKind::File) {}
    virtual DWORD read(void *buffer, DWORD size, DWORD *done, LPOVERLAPPED at);
    virtual DWORD write(const void *buffer, DWORD size, DWORD *done, LPOVERLAPPED at);
    virtual DWORD size(uint64_t *bytes);
    // `method` is FILE_BEGIN/CURRENT/END; the new position comes back.
    virtual DWORD seek(int64_t distance, DWORD method, uint64_t *position);
    virtual DWORD flush();
    // DeviceIoControl (devio.cpp): 0 with *returned set, ERROR_MORE_DATA with
    // the part that fits, or another error.
    virtual DWORD ioctl(DWORD code, const void *in, DWORD in_size, void *out, DWORD out_size, DWORD *returned) {
        (void)code, (void)in, (void)in_size, (void)out, (void)out_size, (void)returned;
        return ERROR_INVALID_FUNCTION;
    }
};

// Opens the device behind "\\\\.\\NAME" for CreateFileA.  Called without
// big_lock() held.  Returns 0 and the object, or an error code.
// `flags` are CreateFileA's dwFlagsAndAttributes (FILE_FLAG_OVERLAPPED, ...).
using DeviceOpener = std::function<DWORD(const std::string &name, DWORD access, DWORD share, DWORD flags,
                                         std::shared_ptr<FileObject> *object)>;

// A Windows path looked up on the disk.
struct PathInfo {
    DWORD error = 0;               // why the path names nothing on C: (0 if it does)
    bool device = false;           // "\\\\.\\NAME": see device_name (error is 0)
    std::string device_name;       // NAME as given
    std::string full;              // normalised Windows path, as GetFullPathNameA gives it
    std::string key;               // upper-cased full path without a trailing separator
    std::filesystem::path host;    // existing components in their on-disk case, the rest as given
    bool exists = false;           // the last component exists (only when error is 0)
    bool is_dir = false;
    bool is_root = false;          // "C:\\"
    bool trailing_separator = false;
    bool wildcards = false;        // '*' or '?' in the last component
    std::string name;              // last component, on-disk spelling when it exists
    std::string parent_key;        // key of the containing directory
};

// One entry of a directory listing.
struct DirEntry {
    std::string name;    // on-disk spelling
    bool is_dir = false;
    uint64_t size = 0;
    DWORD attributes = 0; // as GetFileAttributesA reports them
    FILETIME write_time{};
};

// Sharing state of the open disk files, kept apart from the Disk so that a
// file object outliving its machine can still deregister safely.
struct OpenFiles {
    struct Entry {
        std::string key;
        DWORD access; // reduced to FILE_READ_DATA / FILE_WRITE_DATA / DELETE
        DWORD share;
    };
    std::map<const void *, Entry> entries;
    // ERROR_SHARING_VIOLATION when an open handle of `key` forbids this access.
    DWORD check(const std::string &key, DWORD access, DWORD share) const;
    bool is_open(const std::string &key) const;
    void renamed(const std::string &from_key, const std::string &to_key);
};

// GENERIC_* and specific rights reduced to FILE_READ_DATA, FILE_WRITE_DATA, DELETE.
DWORD reduce_file_access(DWORD access);

// Windows' wildcard match of one name against a FindFirstFileA pattern
// (DOS rules: "*.*" matches names without a dot, "*." only those, "?" may
// match nothing at the end of a name or before a dot).  Case-insensitive.
bool wildcard_match(const std::string &pattern, const std::string &name);

// True when a name holds characters Windows refuses in file names.
bool invalid_name_chars(const std::string &name, bool allow_wildcards);

class Disk {
public:
    // `root` is the host directory that holds drive C:; `state_file` keeps
    // attributes that the host file system cannot (read-only, hidden, system).
    Disk(std::filesystem::path root, std::filesystem::path state_file);
    ~Disk();

    // Host path of a Windows path on drive C:, resolving each existing
    // component case-insensitively; "" when the path is not on C:.
    std::string host_path(const std::string &win_path) const;
    bool make_dirs(const std::string &win_path);
    void save() const;

    // ---- paths
    // GetFullPathNameA's expansion against the current directory; no disk access.
    DWORD full_path(const std::string &win_path, std::string *full) const;
    // Expands and looks up a path.  A missing or non-directory intermediate
    // component gives ERROR_PATH_NOT_FOUND; other drives and UNC names too.
    PathInfo resolve(const std::string &win_path) const;
    std::string current_directory() const;
    // `full` must be an existing directory's full path.
    void set_current_directory(const std::string &full);

    // ---- attributes
    // What GetFileAttributesA reports for an existing entry.
    DWORD attributes(const PathInfo &p) const;
    // Stores READONLY/HIDDEN/SYSTEM/ARCHIVE/TEMPORARY bits (others ignored).
    void set_attributes(const PathInfo &p, DWORD attributes);
    // Drops what is stored for a key and everything below it.
    void forget(const std::string &key);
    // Carries stored attributes (and open-file records) along with a rename.
    void renamed(const std::string &from_key, const std::string &to_key);

    // ---- listings and contents
    // The entries of an existing directory, sorted case-insensitively.
    std::vector<DirEntry> list(const PathInfo &dir) const;
    // Whole content of a file; 0 or a Win32 error code.
    DWORD read_all(const std::string &win_path, std::vector<BYTE> *bytes,
                   size_t limit = 64u << 20) const;

    // ---- state
    bool full() const;
    void set_full(bool full);
    const std::shared_ptr<OpenFiles> &open_files() const;

    // ---- devices ("\\\\.\\NAME"), consulted by CreateFileA before the disk
    void add_device(const std::string &name, DeviceOpener opener);
    void remove_device(const std::string &name);
    // The opener for a name (case-insensitive), empty when none.
    DeviceOpener device(const std::string &name) const;

    struct Impl;
    Impl *impl() const { return impl_.get(); }

private:
    std::unique_ptr<Impl> impl_;
};

// The current machine's disk.
Disk &D();

// Opens a host file read-write and empty.  When no handle of ours has it
// open the old file is unlinked and a new one made, which is much cheaper
// than truncating on host file systems that flush on truncation.  -1 on failure.
int open_empty(const std::filesystem::path &host, bool open_elsewhere);

// FILETIME of a host file's last write (zero when it cannot be read).
FILETIME host_write_time(const std::filesystem::path &host);

} // namespace winsim

#endif
