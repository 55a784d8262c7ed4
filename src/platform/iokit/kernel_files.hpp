// Small-file access to a kernel driver's attribute files (sysfs, or a tree shaped like it). Each
// file is opened once and then read or written in place with pread/pwrite on the calling thread:
// no thread per access, no open per access. A slow driver costs the call that waits for it, and a
// driver that went away (ENODEV, ENOENT) costs the call that saw it: the next call opens afresh.
// AttributeFiles is owned by one connection and used by one thread at a time; the text helpers
// are pure.
#pragma once

#include <cerrno>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

namespace quorvane::iokit {

// Attribute files are a few bytes; anything longer is not the driver's.
inline constexpr std::size_t kMaxAttributeBytes = 256;

// The outcome of one file access: the bytes read (reads), or the errno of the failing call.
struct FileResult {
    int error = 0;
    std::string data;
    bool ok() const { return error == 0; }
};

class AttributeFiles {
public:
    AttributeFiles() = default;
    ~AttributeFiles();
    AttributeFiles(const AttributeFiles&) = delete;
    AttributeFiles& operator=(const AttributeFiles&) = delete;

    // The whole file, at most kMaxAttributeBytes (a longer file is EOVERFLOW), read from its start.
    FileResult read(const std::string& path);
    // The whole text in one pwrite(2), as a shell's echo writes it.
    FileResult write(const std::string& path, std::string_view text);
    // Closes every descriptor, so the next access of each file opens it again (a driver reload).
    void closeAll();
    // Descriptors held now.
    std::size_t openDescriptors() const;
    // Every access attempted so far (for cost figures).
    std::uint64_t operations() const { return operations_; }
    // Opens attempted so far, first ones and re-opens (cost figures).
    std::uint64_t opens() const { return opens_; }

private:
    struct Descriptors {
        int read = -1;
        int write = -1;
    };
    FileResult access(const std::string& path, bool isWrite, std::string_view text);

    std::unordered_map<std::string, Descriptors> files_;
    std::uint64_t operations_ = 0;
    std::uint64_t opens_ = 0;
};

// One read of a file opened for it and closed after it (probes, one-off reads).
FileResult readAttributeOnce(const std::string& path);

// The kernel's integer attribute text ("%d\n"): optional minus, 1 to 18 digits, at most one
// trailing newline. Anything else is none.
std::optional<std::int64_t> parseAttributeInteger(std::string_view text);
// An attribute's text without its one trailing newline ("%s\n").
std::string_view attributeText(std::string_view text);

}  // namespace quorvane::iokit
