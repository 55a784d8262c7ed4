#include "platform/iokit/kernel_files.hpp"

#include <fcntl.h>
#include <unistd.h>

namespace quorvane::iokit {

namespace {

int openAttribute(const std::string& path, bool isWrite) {
    return ::open(path.c_str(), (isWrite ? O_WRONLY : O_RDONLY) | O_CLOEXEC | O_NOCTTY);
}

// A descriptor whose file is gone for good: the device was removed (sysfs answers ENODEV on a
// descriptor of a removed node, even after the device is back) or the file server went away.
bool stale(int error) { return error == ENODEV || error == ENOENT || error == ESTALE || error == EBADF || error == ENOTCONN; }

FileResult readFrom(int fd) {
    // One read from the start is the whole attribute: the driver shows it in one go, and a read at
    // offset 0 shows it afresh.
    char buffer[kMaxAttributeBytes + 1];
    ssize_t n;
    do {
        n = ::pread(fd, buffer, sizeof buffer, 0);
    } while (n < 0 && errno == EINTR);
    if (n < 0) return {errno, {}};
    if (static_cast<std::size_t>(n) > kMaxAttributeBytes) return {EOVERFLOW, {}};
    return {0, std::string(buffer, static_cast<std::size_t>(n))};
}

FileResult writeTo(int fd, std::string_view text) {
    ssize_t n;
    do {
        n = ::pwrite(fd, text.data(), text.size(), 0);
    } while (n < 0 && errno == EINTR);
    if (n < 0) return {errno, {}};
    if (static_cast<std::size_t>(n) != text.size()) return {EIO, {}};
    return {};
}

}  // namespace

AttributeFiles::~AttributeFiles() { closeAll(); }

void AttributeFiles::closeAll() {
    for (auto& [path, d] : files_) {
        if (d.read >= 0) ::close(d.read);
        if (d.write >= 0) ::close(d.write);
    }
    files_.clear();
}

std::size_t AttributeFiles::openDescriptors() const {
    std::size_t n = 0;
    for (const auto& [path, d] : files_) n += (d.read >= 0) + (d.write >= 0);
    return n;
}

FileResult AttributeFiles::access(const std::string& path, bool isWrite, std::string_view text) {
    ++operations_;
    auto it = files_.find(path);
    if (it == files_.end()) it = files_.emplace(path, Descriptors{}).first;
    int& fd = isWrite ? it->second.write : it->second.read;
    // A descriptor kept from before may belong to a device that has since gone and come back:
    // such a call is tried once more on a fresh descriptor.
    for (bool fresh = fd < 0;; fresh = true) {
        if (fd < 0) {
            ++opens_;
            fd = openAttribute(path, isWrite);
            if (fd < 0) return {errno, {}};
        }
        FileResult r = isWrite ? writeTo(fd, text) : readFrom(fd);
        if (r.ok()) return r;
        // Whatever failed, the next call starts from a fresh descriptor: cheap, and never stuck
        // with one that went bad.
        ::close(fd);
        fd = -1;
        if (fresh || !stale(r.error)) return r;
    }
}

FileResult AttributeFiles::read(const std::string& path) { return access(path, false, {}); }
FileResult AttributeFiles::write(const std::string& path, std::string_view text) { return access(path, true, text); }

FileResult readAttributeOnce(const std::string& path) {
    const int fd = openAttribute(path, false);
    if (fd < 0) return {errno, {}};
    FileResult r = readFrom(fd);
    ::close(fd);
    return r;
}

std::string_view attributeText(std::string_view text) {
    if (!text.empty() && text.back() == '\n') text.remove_suffix(1);
    return text;
}

std::optional<std::int64_t> parseAttributeInteger(std::string_view text) {
    text = attributeText(text);
    const bool negative = !text.empty() && text.front() == '-';
    if (negative) text.remove_prefix(1);
    if (text.empty() || text.size() > 18) return std::nullopt;
    std::int64_t value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        value = value * 10 + (c - '0');
    }
    return negative ? -value : value;
}

}  // namespace quorvane::iokit
