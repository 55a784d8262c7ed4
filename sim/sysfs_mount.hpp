// Serves a SysfsTree as a real directory through FUSE, so that programs read and write the
// virtual Mac's driver files with ordinary system calls. Unmounts when destroyed.
// The model's DriverFileFaults apply to every open, read and write.
// Thread-safe: one FUSE thread answers every request, one at a time, so a delayed access holds up
// every other as the driver's one mutex does; construction and destruction on one thread.
#pragma once

#include <memory>
#include <string>
#include <thread>

#include "sim/sysfs_tree.hpp"

struct fuse;

namespace quorvane::sim {

class SysfsMount {
public:
    // Mounts the tree on directory (created when missing; a mount left behind by a killed
    // instance is detached first). Throws std::runtime_error saying what failed.
    SysfsMount(std::shared_ptr<const SysfsTree> tree, std::string directory);
    ~SysfsMount();
    SysfsMount(const SysfsMount&) = delete;
    SysfsMount& operator=(const SysfsMount&) = delete;

    const std::string& directory() const { return directory_; }

    struct State;

private:
    std::shared_ptr<const SysfsTree> tree_;
    std::string directory_;
    std::unique_ptr<State> state_;  // the FUSE loop's; outlives it
    ::fuse* fuse_ = nullptr;
    std::thread loop_;
};

}  // namespace quorvane::sim
