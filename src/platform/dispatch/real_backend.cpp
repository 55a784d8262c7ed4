// The real-thread backend: the factory, counting semaphores, and dispatchMain().
#include "platform/dispatch/real_backend.hpp"

#include <stdexcept>
#include <unistd.h>

#include "platform/dispatch/deadline.hpp"

namespace quorvane::dispatch {

namespace real {
namespace {

// Counting semantics of dispatch_semaphore: signal() adds one, wait() takes one or times out.
class RealSemaphore final : public Semaphore {
public:
    explicit RealSemaphore(long value) : count_(value) {}

    // Notifies under the lock: a waiter that returns may destroy the semaphore at once, so the
    // signaller must be done with the condition variable before the waiter can take the lock.
    void signal() override {
        std::lock_guard lock(mutex_);
        ++count_;
        available_.notify_one();
    }

    bool wait(Duration timeout) override {
        const auto deadline = detail::toSteady(detail::deadlineAfter(clock_.now(), timeout));
        std::unique_lock lock(mutex_);
        if (!available_.wait_until(lock, deadline, [this] { return count_ > 0; })) return false;
        --count_;
        return true;
    }

private:
    const clock::SuspendingClock clock_;
    std::mutex mutex_;
    std::condition_variable available_;
    long count_;  // guarded by mutex_
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
