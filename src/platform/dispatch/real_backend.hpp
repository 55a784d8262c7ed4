// Private to the real-thread dispatch backend: the serial queue with its worker thread and the
// makers of the sources and semaphore that run on it. Thread-safe, like everything in dispatch.hpp.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <thread>

#include "platform/dispatch/dispatch.hpp"

namespace quorvane::dispatch::real {

// What a queue can run without a job allocated per run: a timer's fire, held weakly, with the
// deadline and generation it was armed for.
class FireTarget {
public:
    virtual ~FireTarget() = default;
    virtual void fire(Instant deadline, std::uint64_t generation) = 0;
};

// A serial queue served by one worker thread of its own, started on creation. Jobs wait in a
// min-heap keyed by (deadline, submission number) on CLOCK_MONOTONIC. An idle worker sleeps until
// its front deadline and is woken only when a submission moves that deadline earlier: a busy
// worker or a timer-only queue costs no wake-up call. Destroying the queue
// discards the jobs that have not started and joins the worker (or detaches it when the last
// reference goes away inside one of the queue's own jobs). Jobs never hold the queue.
class RealQueue final : public Queue {
public:
    explicit RealQueue(std::string label);
    ~RealQueue() override;
    RealQueue(const RealQueue&) = delete;
    RealQueue& operator=(const RealQueue&) = delete;

    const std::string& label() const override { return label_; }
    void async(Job job) override;
    void asyncAfter(Duration delay, Job job) override;
    bool isCurrent() const override;

    // Runs job no earlier than the given instant of the dispatch clock (timers use it so that
    // their fires stay on their exact series instead of drifting by each submission's latency).
    void asyncAt(Instant deadline, Job job);
    // Runs target->fire(deadline, generation) no earlier than deadline, if target still exists.
    // Ordered with the jobs like asyncAt(); allocates nothing, so a repeating timer costs no
    // allocation per fire.
    void asyncFireAt(Instant deadline, std::weak_ptr<FireTarget> target, std::uint64_t generation);
    // Withdraws every fire of target that has not started (a rescheduled or parked timer's).
    void dropFires(const std::weak_ptr<FireTarget>& target);

    struct Pending;  // defined in real_queue.cpp

private:
    struct Core;
    void submit(Pending pending);
    std::string label_;
    std::shared_ptr<Core> core_;  // shared with the worker thread, which outlives a detach
    std::thread worker_;
};

std::shared_ptr<TimerSource> makeTimer(std::shared_ptr<Queue> queue);
std::shared_ptr<SignalSource> makeSignalSource(int signo, std::shared_ptr<Queue> queue);

// The queue argument of a source maker as a real queue; throws std::invalid_argument for a null
// queue or one of another backend.
std::shared_ptr<RealQueue> asRealQueue(std::shared_ptr<Queue> queue, const char* what);

}  // namespace quorvane::dispatch::real
