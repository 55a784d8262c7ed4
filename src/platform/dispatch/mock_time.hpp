// Mock-time backend: every queue, delayed job, timer, semaphore wait and clock read of a test runs
// deterministically in virtual time on the thread that drives it. Not thread-safe: one test thread
// drives it (jobs themselves may submit more jobs). Serial-queue rules as in dispatch.hpp.
//
// All queues share one order of jobs: (deadline, submission number across the backend). A job
// starts at its deadline, or when its queue's stall ends if that is later. Both virtual clocks
// start at the same instant, 1000 s (not zero, so "zero means never" mistakes show). A semaphore
// wait runs, in that order, the jobs of every queue that is not running a job already (nor
// stalled) until it is signalled or its deadline comes; on timeout the clock is at the deadline.
// A wait with no deadline (Duration::max()) and nothing left to run throws std::logic_error
// instead of hanging. isCurrent() is true for the queue whose job is innermost on the stack.
#pragma once

#include <cstddef>
#include <optional>

#include "platform/dispatch/dispatch.hpp"

namespace quorvane::dispatch {

class MockTimeBackend final : public Backend {
public:
    MockTimeBackend();
    ~MockTimeBackend() override;
    MockTimeBackend(const MockTimeBackend&) = delete;
    MockTimeBackend& operator=(const MockTimeBackend&) = delete;

    std::shared_ptr<Queue> makeQueue(std::string label) override;
    std::shared_ptr<Semaphore> makeSemaphore(long value) override;
    std::shared_ptr<TimerSource> makeTimer(std::shared_ptr<Queue> queue) override;
    std::shared_ptr<SignalSource> makeSignalSource(int signo, std::shared_ptr<Queue> queue) override;
    const clock::Clock& suspendingClock() const override;
    const clock::Clock& continuousClock() const override;

    // Runs every job that is due now, including jobs those jobs submit for now; time stands still.
    void runUntilIdle();
    // Moves time forward by d, running each job when its deadline comes, in deadline order.
    // Both clocks advance.
    void advanceBy(Duration d);
    void advanceBy(double seconds) { advanceBy(clock::seconds(seconds)); }
    // The machine sleeps for d: the continuous clock advances, the suspending (dispatch) clock does
    // not, and nothing runs.
    void sleepMachine(Duration d);
    // The queue behaves as if its current job were stuck in a call for d: it starts nothing until
    // now + d. Other queues go on. Its jobs stay pending and run in order once the stall ends.
    void stallQueue(const Queue& queue, Duration d);
    // Simulates the delivery of a signal to the process: queues, for now, the event handler of
    // every resumed signal source for signo (run it with runUntilIdle()).
    void deliverSignal(int signo);

    // Jobs waiting to run on any queue (timers count one while armed and resumed).
    std::size_t pendingJobs() const;
    // The earliest instant at which something would run, if anything is pending.
    std::optional<Instant> nextDeadline() const;
    Instant now() const;

    struct State;

private:
    std::shared_ptr<State> state_;
};

}  // namespace quorvane::dispatch
