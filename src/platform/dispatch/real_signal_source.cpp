// Signal sources of the real backend. Resuming the first source for a signal installs a handler
// (sigaction) that only writes the signal number to a self-pipe; one reader thread turns each
// byte into a job on every resumed source's queue. The handler replaces whatever disposition the
// signal had, SIG_IGN included, so a source sees signals the program ignores (on macOS a dispatch
// signal source coexists with SIG_IGN the same way); cancelling the last source for a signal puts
// the earlier disposition back. Deliveries that come faster than the reader drains the pipe may
// coalesce, as in libdispatch.
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <fcntl.h>
#include <map>
#include <string>
#include <mutex>
#include <stdexcept>
#include <system_error>
#include <thread>
#include <unistd.h>
#include <utility>
#include <vector>

#include "platform/dispatch/real_backend.hpp"

namespace quorvane::dispatch::real {

namespace {

std::atomic<int> pipeWriteEnd{-1};
static_assert(std::atomic<int>::is_always_lock_free, "the signal handler needs a lock-free fd");

// Async-signal-safe: one write(2) of one byte, errno preserved.
void noteSignal(int signo) {
    const int savedErrno = errno;
    const auto byte = static_cast<unsigned char>(signo);
    const ssize_t written = write(pipeWriteEnd.load(std::memory_order_relaxed), &byte, 1);
    (void)written;  // a full pipe already holds a delivery the reader has yet to hand out
    errno = savedErrno;
}

class RealSignalSource;

// The process-wide pipe, reader thread and table of watched signals. Created on first use and
// never destroyed: signals may arrive until the process ends. Thread-safe.
class SignalHub {
public:
    static SignalHub& instance() {
        static SignalHub* const hub = new SignalHub;
        return *hub;
    }

    void attach(int signo, std::uint64_t id, std::weak_ptr<RealSignalSource> source) {
        std::lock_guard lock(mutex_);
        auto found = watches_.find(signo);
        if (found == watches_.end()) {
            struct sigaction action {};
            action.sa_handler = noteSignal;
            sigemptyset(&action.sa_mask);
            action.sa_flags = SA_RESTART;
            Watch watch;
            if (sigaction(signo, &action, &watch.previous) != 0) {
                throw std::system_error(errno, std::generic_category(), "sigaction");
            }
            found = watches_.emplace(signo, std::move(watch)).first;
        }
        found->second.sources.emplace_back(id, std::move(source));
    }

    void detach(int signo, std::uint64_t id) {
        std::lock_guard lock(mutex_);
        const auto found = watches_.find(signo);
        if (found == watches_.end()) return;
        auto& sources = found->second.sources;
        std::erase_if(sources, [id](const auto& entry) { return entry.first == id; });
        if (sources.empty()) {
            sigaction(signo, &found->second.previous, nullptr);
            watches_.erase(found);
        }
    }

private:
    struct Watch {
        struct sigaction previous {};
        std::vector<std::pair<std::uint64_t, std::weak_ptr<RealSignalSource>>> sources;
    };

    SignalHub() {
        int fds[2];
        if (pipe2(fds, O_CLOEXEC) != 0) throw std::system_error(errno, std::generic_category(), "pipe2");
        // The handler must never block: a full pipe drops the byte instead.
        fcntl(fds[1], F_SETFL, fcntl(fds[1], F_GETFL) | O_NONBLOCK);
        readEnd_ = fds[0];
        pipeWriteEnd.store(fds[1], std::memory_order_relaxed);
        std::thread([this] { readLoop(); }).detach();
    }

    void readLoop();

    std::mutex mutex_;
    std::map<int, Watch> watches_;  // guarded by mutex_
    int readEnd_ = -1;
};

class RealSignalSource final : public SignalSource, public std::enable_shared_from_this<RealSignalSource> {
public:
    RealSignalSource(int signo, std::shared_ptr<RealQueue> queue)
        : signo_(signo), id_(nextId.fetch_add(1, std::memory_order_relaxed)), queue_(std::move(queue)) {}

    ~RealSignalSource() override {
        if (attached_) SignalHub::instance().detach(signo_, id_);
    }

    void setEventHandler(Job handler) override {
        std::lock_guard lock(mutex_);
        if (cancelled_) return;
        handler_ = std::make_shared<Job>(std::move(handler));
    }

    void resume() override {
        std::lock_guard lock(mutex_);
        if (cancelled_ || attached_) return;
        SignalHub::instance().attach(signo_, id_, weak_from_this());
        attached_ = true;
    }

    void cancel() override {
        std::shared_ptr<Job> released;
        bool wasAttached;
        {
            std::lock_guard lock(mutex_);
            cancelled_ = true;
            wasAttached = std::exchange(attached_, false);
            released = std::move(handler_);
        }
        if (wasAttached) SignalHub::instance().detach(signo_, id_);
    }

    // Called by the reader thread for each delivery.
    void deliver() {
        {
            std::lock_guard lock(mutex_);
            if (cancelled_) return;
        }
        queue_->async([weak = weak_from_this()] {
            if (auto self = weak.lock()) self->runHandler();
        });
    }

private:
    void runHandler() {
        std::shared_ptr<Job> handler;
        {
            std::lock_guard lock(mutex_);
            if (cancelled_) return;
            handler = handler_;
        }
        if (handler && *handler) (*handler)();
    }

    static inline std::atomic<std::uint64_t> nextId{1};
    const int signo_;
    const std::uint64_t id_;
    const std::shared_ptr<RealQueue> queue_;  // a source keeps its queue, as in libdispatch
    std::mutex mutex_;
    std::shared_ptr<Job> handler_;  // guarded by mutex_
    bool attached_ = false;         // guarded by mutex_
    bool cancelled_ = false;        // guarded by mutex_
};

void SignalHub::readLoop() {
    unsigned char bytes[64];
    for (;;) {
        const ssize_t count = read(readEnd_, bytes, sizeof bytes);
        if (count < 0 && errno == EINTR) continue;
        if (count <= 0) return;  // cannot happen while the write end stays open
        for (ssize_t i = 0; i < count; ++i) {
            std::vector<std::shared_ptr<RealSignalSource>> targets;
            {
                std::lock_guard lock(mutex_);
                const auto found = watches_.find(bytes[i]);
                if (found == watches_.end()) continue;
                for (const auto& [id, weak] : found->second.sources) {
                    if (auto source = weak.lock()) targets.push_back(std::move(source));
                }
            }
            for (const auto& source : targets) source->deliver();
        }  // a source dropped meanwhile is destroyed here, outside the hub's lock
    }
}

}  // namespace

std::shared_ptr<SignalSource> makeSignalSource(int signo, std::shared_ptr<Queue> queue) {
    if (signo <= 0 || signo >= NSIG || signo == SIGKILL || signo == SIGSTOP) {
        throw std::invalid_argument("makeSignalSource: " + std::to_string(signo) + " is not a catchable signal");
    }
    return std::make_shared<RealSignalSource>(signo, asRealQueue(std::move(queue), "makeSignalSource"));
}

}  // namespace quorvane::dispatch::real
