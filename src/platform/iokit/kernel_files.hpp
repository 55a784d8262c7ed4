// Small-file access to a kernel driver's attribute files (sysfs, or a tree shaped like it), each
// access bounded by a deadline: a wedged driver or file server costs one parked thread, never a
// hung caller. FileWorker is thread-safe; one job runs at a time. The text helpers are pure.
#pragma once

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace quorvane::iokit {

// Attribute files are a few bytes; anything longer is not the driver's.
inline constexpr std::size_t kMaxAttributeBytes = 256;

// The outcome of one file access: the bytes read (reads), or the errno of the first failing call.
// ETIMEDOUT means the deadline passed and the access was abandoned.
struct FileResult {
    int error = 0;
    std::string data;
    bool ok() const { return error == 0; }
};

class FileWorker {
public:
    explicit FileWorker(std::chrono::milliseconds deadline);
    // Joins the thread, or leaves it parked in the kernel when an access never came back.
    ~FileWorker();
    FileWorker(const FileWorker&) = delete;
    FileWorker& operator=(const FileWorker&) = delete;

    // Reads at most kMaxAttributeBytes (a longer file is EOVERFLOW).
    FileResult read(const std::string& path);
    // Writes the whole text in one write(2), as a shell's echo does.
    FileResult write(const std::string& path, const std::string& text);
    // After one abandoned access the worker refuses every later one at once (ETIMEDOUT): its
    // thread is still blocked, and a fresh connection gets a fresh worker.
    bool wedged() const;
    // Every access attempted so far (for cost figures).
    std::uint64_t operations() const { return operations_.load(std::memory_order_relaxed); }

private:
    struct State;
    FileResult run(bool isWrite, const std::string& path, const std::string& text);

    const std::chrono::milliseconds deadline_;
    std::shared_ptr<State> state_;
    std::atomic<std::uint64_t> operations_{0};
};

// The kernel's integer attribute text ("%d\n"): optional minus, 1 to 18 digits, at most one
// trailing newline. Anything else is none.
std::optional<std::int64_t> parseAttributeInteger(std::string_view text);
// An attribute's text without its one trailing newline ("%s\n").
std::string_view attributeText(std::string_view text);

}  // namespace quorvane::iokit
