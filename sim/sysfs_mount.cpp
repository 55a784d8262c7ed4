#define FUSE_USE_VERSION 31

#include "sim/sysfs_mount.hpp"

#include <fuse.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <unordered_map>
#include <vector>

namespace quorvane::sim {

// One open file: the show a read from the start took, and the files' generation it was opened in
// (after a vanish the files are new ones, and this one stays dead).
struct SysfsOpenFile {
    std::string snapshot;
    std::uint64_t generation = 0;
};

// What the FUSE loop's operations share: the tree, and every file opened and not yet released.
// A mount detached while a program still holds a file never sees its release; the state frees
// those with the mount. Used by the FUSE thread only, then by the destructor after it has ended.
struct SysfsMount::State {
    const SysfsTree* tree = nullptr;
    std::unordered_map<SysfsOpenFile*, std::unique_ptr<SysfsOpenFile>> open;
};

namespace {

SysfsMount::State& stateOf() { return *static_cast<SysfsMount::State*>(fuse_get_context()->private_data); }
const SysfsTree& treeOf() { return *stateOf().tree; }
DriverFileFaults& faults() { return treeOf().faults(); }

// "/fan1_manual" → "fan1_manual"; the tree is one flat directory.
std::string_view nameOf(const char* path) { return std::string_view(path).substr(1); }

using OpenFile = SysfsOpenFile;

OpenFile& openFileOf(fuse_file_info* fi) { return *reinterpret_cast<OpenFile*>(fi->fh); }

int getattrOp(const char* path, struct stat* st, fuse_file_info* fi) {
    std::memset(st, 0, sizeof *st);  // owner and group root, as every sysfs file
    if (std::strcmp(path, "/") == 0) {
        st->st_mode = S_IFDIR | 0755;
        st->st_nlink = 2;
        return 0;
    }
    // A vanished name is gone; a file still open keeps its attributes, as a removed kernfs node does.
    if (fi == nullptr && faults().vanished()) return -ENOENT;
    const auto* file = treeOf().find(nameOf(path));
    if (file == nullptr) return -ENOENT;
    // Sysfs reports a page for every attribute, whatever it holds; a store makes it 0644.
    st->st_mode = S_IFREG | (file->writable ? 0644 : 0444);
    st->st_nlink = 1;
    st->st_size = SysfsTree::kPageSize;
    return 0;
}

int readdirOp(const char* path, void* buffer, fuse_fill_dir_t fill, off_t, fuse_file_info*, fuse_readdir_flags) {
    if (std::strcmp(path, "/") != 0) return -ENOTDIR;
    fill(buffer, ".", nullptr, 0, fuse_fill_dir_flags{});
    fill(buffer, "..", nullptr, 0, fuse_fill_dir_flags{});
    if (faults().vanished()) return 0;
    for (const auto& file : treeOf().files()) fill(buffer, file.name.c_str(), nullptr, 0, fuse_fill_dir_flags{});
    return 0;
}

int openOp(const char* path, fuse_file_info* fi) {
    std::uint64_t generation = 0;
    if (const int e = faults().open(generation); e != 0) return e;
    const auto* file = treeOf().find(nameOf(path));
    if (file == nullptr) return -ENOENT;
    // Sysfs refuses to open a file without a store for writing, even to root.
    if ((fi->flags & O_ACCMODE) != O_RDONLY && !file->writable) return -EACCES;
    fi->direct_io = 1;
    auto opened = std::make_unique<OpenFile>(OpenFile{{}, generation});
    fi->fh = reinterpret_cast<std::uint64_t>(opened.get());
    stateOf().open.emplace(opened.get(), std::move(opened));
    return 0;
}

int releaseOp(const char*, fuse_file_info* fi) {
    stateOf().open.erase(&openFileOf(fi));
    return 0;
}

int readOp(const char* path, char* buffer, size_t size, off_t offset, fuse_file_info* fi) {
    auto& open = openFileOf(fi);
    // Only a read from the start reaches the driver's show, and so can fail there.
    const auto kind = offset == 0 ? DriverFileFaults::Access::read : DriverFileFaults::Access::readContinued;
    if (const int e = faults().access(kind, open.generation); e != 0) return e;
    auto& snapshot = open.snapshot;
    // A read from the start shows the attribute afresh; later offsets continue that snapshot.
    if (offset == 0) {
        auto content = treeOf().read(nameOf(path));
        if (const int* e = std::get_if<int>(&content)) return *e;
        snapshot = std::move(std::get<std::string>(content));
    }
    if (offset < 0 || static_cast<std::size_t>(offset) >= snapshot.size()) return 0;
    const std::size_t n = std::min(size, snapshot.size() - static_cast<std::size_t>(offset));
    std::memcpy(buffer, snapshot.data() + offset, n);
    return static_cast<int>(n);
}

int writeOp(const char* path, const char* buffer, size_t size, off_t, fuse_file_info* fi) {
    if (const int e = faults().access(DriverFileFaults::Access::write, openFileOf(fi).generation); e != 0) return e;
    const std::size_t n = std::min(size, SysfsTree::kPageSize);
    const int e = treeOf().write(nameOf(path), std::string_view(buffer, n));
    return e != 0 ? e : static_cast<int>(n);
}

// A shell's "echo 1 > file" truncates first; sysfs ignores that.
int truncateOp(const char* path, off_t, fuse_file_info* fi) {
    // A file opened before a vanish is dead for a truncate too.
    if (fi != nullptr && fi->fh != 0) {
        if (!faults().alive(openFileOf(fi).generation)) return -ENODEV;
    } else if (faults().vanished()) {
        return -ENOENT;
    }
    return treeOf().find(nameOf(path)) ? 0 : -ENOENT;
}

void* initOp(fuse_conn_info*, fuse_config* config) {
    // Every read reaches the tree: the values are live and the cursor files depend on each other.
    config->direct_io = 1;
    config->kernel_cache = 0;
    config->entry_timeout = 0;
    config->attr_timeout = 0;
    config->negative_timeout = 0;
    return fuse_get_context()->private_data;
}

const fuse_operations kOperations = [] {
    fuse_operations ops{};
    ops.getattr = getattrOp;
    ops.readdir = readdirOp;
    ops.open = openOp;
    ops.release = releaseOp;
    ops.read = readOp;
    ops.write = writeOp;
    ops.truncate = truncateOp;
    ops.init = initOp;
    return ops;
}();

}  // namespace

SysfsMount::SysfsMount(std::shared_ptr<const SysfsTree> tree, std::string directory)
    : tree_(std::move(tree)), directory_(std::move(directory)) {
    if (access("/dev/fuse", R_OK | W_OK) != 0)
        throw std::runtime_error("cannot mount " + directory_ + ": /dev/fuse is not available");
    std::error_code ec;
    struct stat st;
    if (stat(directory_.c_str(), &st) != 0 && errno == ENOTCONN) umount2(directory_.c_str(), MNT_DETACH);
    std::filesystem::create_directories(directory_, ec);

    std::vector<std::string> argv = {"quorvane-virtual-mac", "-o", "fsname=quorvane-virtual-mac,subtype=sysfs"};
    // Root's daemon reads a tree that another root process serves: let every user in when we may,
    // and let the kernel check the files' modes, so a user without root reads the 0444 and 0644
    // files but stores into none, as on sysfs.
    if (geteuid() == 0) argv.back() += ",allow_other,default_permissions";
    std::vector<char*> raw;
    for (auto& a : argv) raw.push_back(a.data());
    fuse_args args = FUSE_ARGS_INIT(static_cast<int>(raw.size()), raw.data());
    state_ = std::make_unique<State>();
    state_->tree = tree_.get();
    fuse_ = fuse_new(&args, &kOperations, sizeof kOperations,
                     state_.get());
    fuse_opt_free_args(&args);
    if (fuse_ == nullptr) throw std::runtime_error("cannot mount " + directory_ + ": FUSE refused the options");
    if (fuse_mount(fuse_, directory_.c_str()) != 0) {
        fuse_destroy(fuse_);
        throw std::runtime_error("cannot mount " + directory_ + " with FUSE");
    }
    loop_ = std::thread([f = fuse_] { fuse_loop(f); });
}

SysfsMount::~SysfsMount() {
    // Detaching the mount ends the kernel's connection, so the loop's read of the device returns;
    // only after the loop is gone is the device closed (fuse_unmount) and the handle freed. Without
    // the privilege to detach, closing the device is what ends the read.
    fuse_exit(fuse_);
    const bool detached = umount2(directory_.c_str(), MNT_DETACH) == 0;
    if (!detached) fuse_unmount(fuse_);
    if (loop_.joinable()) loop_.join();
    if (detached) fuse_unmount(fuse_);
    fuse_destroy(fuse_);
}

}  // namespace quorvane::sim
