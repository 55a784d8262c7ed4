#include "platform/iokit/kernel_files.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <condition_variable>
#include <mutex>
#include <thread>

namespace quorvane::iokit {

// Shared with the thread, so an abandoned job still has somewhere to put its result.
struct FileWorker::State {
    std::mutex mutex;
    std::condition_variable changed;
    bool hasJob = false;    // guarded by mutex
    bool jobDone = false;   // guarded by mutex
    bool stop = false;      // guarded by mutex
    bool wedged = false;    // guarded by mutex
    bool isWrite = false;   // guarded by mutex
    std::string path;       // guarded by mutex
    std::string text;       // guarded by mutex
    FileResult result;      // guarded by mutex
    std::mutex callers;     // one job at a time
    std::thread thread;
};

namespace {

FileResult access(bool isWrite, const std::string& path, const std::string& text) {
    FileResult r;
    const int fd = ::open(path.c_str(), (isWrite ? O_WRONLY : O_RDONLY) | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) return {errno, {}};
    if (isWrite) {
        const ssize_t n = ::write(fd, text.data(), text.size());
        if (n < 0) r.error = errno;
        else if (static_cast<std::size_t>(n) != text.size()) r.error = EIO;
    } else {
        char buffer[kMaxAttributeBytes + 1];
        std::size_t total = 0;
        for (;;) {
            const ssize_t n = ::read(fd, buffer + total, sizeof buffer - total);
            if (n < 0) {
                if (errno == EINTR) continue;
                r.error = errno;
                break;
            }
            if (n == 0) break;
            total += static_cast<std::size_t>(n);
            if (total > kMaxAttributeBytes) {
                r.error = EOVERFLOW;
                break;
            }
        }
        if (r.error == 0) r.data.assign(buffer, total);
    }
    ::close(fd);
    return r;
}

}  // namespace

FileWorker::FileWorker(std::chrono::milliseconds deadline) : deadline_(deadline), state_(std::make_shared<State>()) {
    state_->thread = std::thread([s = state_] {
        std::unique_lock lock(s->mutex);
        for (;;) {
            s->changed.wait(lock, [&] { return s->stop || s->hasJob; });
            if (s->hasJob) {
                const bool isWrite = s->isWrite;
                const std::string path = s->path, text = s->text;
                lock.unlock();
                FileResult r = access(isWrite, path, text);
                lock.lock();
                s->result = std::move(r);
                s->hasJob = false;
                s->jobDone = true;
                s->changed.notify_all();
                continue;
            }
            if (s->stop) return;
        }
    });
}

FileWorker::~FileWorker() {
    bool wedged;
    {
        std::lock_guard lock(state_->mutex);
        state_->stop = true;
        wedged = state_->wedged;
        state_->changed.notify_all();
    }
    if (wedged) state_->thread.detach();  // it owns its state and ends when the kernel lets go
    else state_->thread.join();
}

bool FileWorker::wedged() const {
    std::lock_guard lock(state_->mutex);
    return state_->wedged;
}

FileResult FileWorker::run(bool isWrite, const std::string& path, const std::string& text) {
    operations_.fetch_add(1, std::memory_order_relaxed);
    std::lock_guard callers(state_->callers);
    std::unique_lock lock(state_->mutex);
    if (state_->wedged) return {ETIMEDOUT, {}};
    state_->isWrite = isWrite;
    state_->path = path;
    state_->text = text;
    state_->jobDone = false;
    state_->hasJob = true;
    state_->changed.notify_all();
    if (!state_->changed.wait_for(lock, deadline_, [&] { return state_->jobDone; })) {
        state_->wedged = true;
        return {ETIMEDOUT, {}};
    }
    state_->jobDone = false;
    return std::move(state_->result);
}

FileResult FileWorker::read(const std::string& path) { return run(false, path, {}); }
FileResult FileWorker::write(const std::string& path, const std::string& text) { return run(true, path, text); }

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
