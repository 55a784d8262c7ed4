// Serial queues, delayed jobs, timer and signal sources and semaphores, shaped like libdispatch.
// One interface, two backends: real threads (the daemon, integration tests) and mock time
// (unit tests; see mock_time.hpp). Every object here is thread-safe.
//
// Serial queue rules (both backends):
//  - jobs run one at a time, never concurrently with another job of the same queue;
//  - jobs with equal deadlines run in submission order (FIFO); async() has deadline "now";
//  - delayed jobs run in (deadline, submission order) order, never before their deadline;
//  - everything a job wrote is visible to the next job of the same queue.
// Deadlines are on the dispatch clock, which is the suspending clock: time asleep does not count.
//
// Lifetimes (both backends): a job never keeps its queue alive; when the last reference to a
// queue goes, the jobs it has not started are discarded (a real queue waits for the job it is
// running, unless the last reference went inside that very job). Timer and signal sources keep
// their queue, as in libdispatch; destroying a source cancels it. Mixing objects of two backends
// (a mock queue for a real timer, say) throws std::invalid_argument.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "platform/clock/clock.hpp"

namespace quorvane::dispatch {

using Job = std::function<void()>;
using clock::Duration;
using clock::Instant;
inline constexpr Duration forever = Duration::max();

class Queue {
public:
    virtual ~Queue() = default;
    virtual const std::string& label() const = 0;
    // Runs job on this queue as soon as it is free (dispatch_async).
    virtual void async(Job job) = 0;
    // Runs job on this queue no earlier than dispatch-now + delay (dispatch_after).
    virtual void asyncAfter(Duration delay, Job job) = 0;
    // True when the calling code is a job running on this queue. For debug checks of blocking
    // waits that must never run on a given queue.
    virtual bool isCurrent() const = 0;
};

class Semaphore {
public:
    virtual ~Semaphore() = default;
    virtual void signal() = 0;
    // Waits until signalled or until dispatch-now + timeout. Returns true when the semaphore was
    // taken, false on timeout. Blocks the calling thread (in mock time it pumps the virtual clock
    // instead): never call it from a queue whose jobs must signal it. Counting, like
    // dispatch_semaphore: each signal() lets exactly one wait() through, earlier or later.
    virtual bool wait(Duration timeout) = 0;
};

// A repeating timer on a queue (dispatch_source_t of type TIMER). Created suspended.
class TimerSource {
public:
    virtual ~TimerSource() = default;
    // First fire at dispatch-now + firstDelay, then every interval (an interval of zero or less
    // fires once). Leeway is how late the system may fire it; both backends fire on time. Fires
    // missed while the queue was busy are coalesced into one. Rescheduling replaces the series.
    // A first delay of `forever` parks the timer (DISPATCH_TIME_FOREVER): nothing stays queued and
    // it never fires, nor wakes its queue, until it is scheduled again.
    virtual void schedule(Duration firstDelay, Duration interval, Duration leeway) = 0;
    virtual void setEventHandler(Job handler) = 0;
    virtual void resume() = 0;
    // Stops further fires; a fire already queued may still run.
    virtual void cancel() = 0;
};

// Turns deliveries of one signal into jobs on a queue (dispatch_source_t of type SIGNAL). The
// signal handler itself does no work beyond noting the delivery. Created suspended. A resumed
// source sees its signal even if the program set it to SIG_IGN before (as the daemon does, and
// as on macOS); when the last source for a signal is cancelled, the earlier disposition returns.
// Deliveries close together may coalesce into one job.
class SignalSource {
public:
    virtual ~SignalSource() = default;
    virtual void setEventHandler(Job handler) = 0;
    virtual void resume() = 0;
    virtual void cancel() = 0;
};

// The factory for all of the above plus the clocks they run on.
class Backend {
public:
    virtual ~Backend() = default;
    virtual std::shared_ptr<Queue> makeQueue(std::string label) = 0;
    virtual std::shared_ptr<Semaphore> makeSemaphore(long value) = 0;
    virtual std::shared_ptr<TimerSource> makeTimer(std::shared_ptr<Queue> queue) = 0;
    virtual std::shared_ptr<SignalSource> makeSignalSource(int signo, std::shared_ptr<Queue> queue) = 0;
    // The suspending clock, which is also the dispatch clock.
    virtual const clock::Clock& suspendingClock() const = 0;
    virtual const clock::Clock& continuousClock() const = 0;
    Instant dispatchNow() const { return suspendingClock().now(); }
};

// The process-wide real-thread backend. Lives for the whole process.
Backend& realBackend();

// Parks the calling thread for good (dispatch_main): queues keep running on their own threads.
[[noreturn]] void dispatchMain();

}  // namespace quorvane::dispatch
