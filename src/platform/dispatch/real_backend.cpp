// The real-thread backend: the factory, counting semaphores, and dispatchMain().
#include "platform/dispatch/real_backend.hpp"

#include <mutex>
#include <stdexcept>
#include <unistd.h>

#include "platform/dispatch/deadline.hpp"
#include "platform/dispatch/wake_word.hpp"

namespace quorvane::dispatch {

namespace real {
namespace {

// Counting semantics of dispatch_semaphore: signal() adds one, wait() takes one or times out.
class RealSemaphore final : public Semaphore {
public:
    explicit RealSemaphore(long value) : count_(value) {}

    // Wakes under the lock: a waiter that returns may destroy the semaphore at once, so the
    // signaller must be done with the word before the waiter can take the lock.
    void signal() override {
        std::lock_guard lock(mutex_);
        ++count_;
        if (waiters_ > 0) wake_.wake();
    }

    bool wait(Duration timeout) override {
        const Instant deadline = detail::deadlineAfter(clock_.now(), timeout);
        std::unique_lock lock(mutex_);
        for (;;) {
            if (count_ > 0) {
                --count_;
                return true;
            }
            if (clock_.now() >= deadline) return false;
            const std::uint32_t seen = wake_.current();
            ++waiters_;
            lock.unlock();
            wake_.waitUntil(seen, &deadline);
            lock.lock();
            --waiters_;
        }
    }

private:
    const clock::SuspendingClock clock_;
    std::mutex mutex_;
    WakeWord wake_;
    long count_;       // guarded by mutex_
    long waiters_ = 0;  // guarded by mutex_
};

class RealBackend final : public Backend {
public:
    std::shared_ptr<Queue> makeQueue(std::string label) override {
        return std::make_shared<RealQueue>(std::move(label));
    }
    std::shared_ptr<Semaphore> makeSemaphore(long value) override {
        if (value < 0) throw std::invalid_argument("makeSemaphore: the initial value must not be negative");
        return std::make_shared<RealSemaphore>(value);
    }
    std::shared_ptr<TimerSource> makeTimer(std::shared_ptr<Queue> queue) override {
        return real::makeTimer(std::move(queue));
    }
    std::shared_ptr<SignalSource> makeSignalSource(int signo, std::shared_ptr<Queue> queue) override {
        return real::makeSignalSource(signo, std::move(queue));
    }
    const clock::Clock& suspendingClock() const override { return suspending_; }
    const clock::Clock& continuousClock() const override { return continuous_; }

private:
    clock::SuspendingClock suspending_;
    clock::ContinuousClock continuous_;
};

}  // namespace
}  // namespace real

Backend& realBackend() {
    // Never destroyed: queue threads and exit hooks may use it while the process ends.
    static real::RealBackend* const backend = new real::RealBackend;
    return *backend;
}

void dispatchMain() {
    for (;;) pause();
}

}  // namespace quorvane::dispatch
