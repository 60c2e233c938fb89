// The simulated disk: drive C: kept in a host directory, with Windows'
// case-insensitive names and file attributes.
#ifndef WINSIM_DISK_H
#define WINSIM_DISK_H

#include "core.h"

#include <filesystem>
#include <string>

namespace winsim {

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

    struct Impl;
    Impl *impl() const { return impl_.get(); }

private:
    std::unique_ptr<Impl> impl_;
};

} // namespace winsim

#endif
