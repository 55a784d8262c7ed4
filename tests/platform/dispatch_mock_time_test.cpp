#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "platform/dispatch/mock_time.hpp"

namespace quorvane::dispatch {
namespace {

using namespace std::chrono_literals;

// Records what ran, and when on the dispatch clock, relative to the start of the test.
struct Trace {
    explicit Trace(const MockTimeBackend& backend) : backend(backend), start(backend.now()) {}
    Job note(std::string what) {
        return [this, what] { entries.push_back(what); };
    }
    Job noteWithTime(std::string what) {
        return [this, what] { entries.push_back(what + "@" + std::to_string((backend.now() - start).count())); };
    }
    const MockTimeBackend& backend;
    Instant start;
    std::vector<std::string> entries;
};

std::string at(std::string what, Duration since) { return what + "@" + std::to_string(since.count()); }

class MockDispatch : public ::testing::Test {
protected:
    MockTimeBackend backend;
    Trace trace{backend};
};

// --- Serial queue rules ---------------------------------------------------------------------

TEST_F(MockDispatch, JobsRunByDeadlineThenSubmissionAcrossQueuesNeverEarly) {
    auto first = backend.makeQueue("first");
    auto second = backend.makeQueue("second");
    EXPECT_EQ(backend.nextDeadline(), std::nullopt);
    first->asyncAfter(3s, trace.noteWithTime("3s-first"));
    second->asyncAfter(1s, trace.noteWithTime("1s-second"));
    first->asyncAfter(1s, trace.noteWithTime("1s-first"));
    for (const char* name : {"a", "b", "c"}) second->async(trace.noteWithTime(name));

    backend.runUntilIdle();
    EXPECT_EQ(trace.entries, (std::vector<std::string>{at("a", 0s), at("b", 0s), at("c", 0s)}));
    EXPECT_EQ(backend.nextDeadline(), trace.start + 1s);
    backend.advanceBy(1s - 1ns);
    EXPECT_EQ(trace.entries.size(), 3u);
    backend.advanceBy(10s);
    EXPECT_EQ(trace.entries, (std::vector<std::string>{at("a", 0s), at("b", 0s), at("c", 0s), at("1s-second", 1s),
                                                       at("1s-first", 1s), at("3s-first", 3s)}));
    EXPECT_EQ(backend.now() - trace.start, 11s - 1ns);
    EXPECT_EQ(backend.dispatchNow(), backend.now());
    EXPECT_EQ(first->label(), "first");
}

TEST_F(MockDispatch, JobsSubmittedForNowByJobsRunInTheSameIdleRun) {
    auto queue = backend.makeQueue("q");
    auto other = backend.makeQueue("other");
    queue->async([&] {
        trace.entries.push_back("outer");
        other->async([&] {
            trace.entries.push_back("inner");
            queue->async(trace.note("innermost"));
            queue->asyncAfter(1ns, trace.note("later"));
        });
    });
    backend.runUntilIdle();
    EXPECT_EQ(trace.entries, (std::vector<std::string>{"outer", "inner", "innermost"}));
    EXPECT_EQ(backend.now(), trace.start);
    EXPECT_EQ(backend.pendingJobs(), 1u);
}

TEST_F(MockDispatch, DestroyingAQueueDropsItsJobsEvenFromInsideOne) {
    auto queue = backend.makeQueue("q");
    auto other = backend.makeQueue("other");
    std::weak_ptr<Queue> weak = queue;
    bool ran = false;
    queue->async([&] { ran = true; });
    queue->asyncAfter(5s, [&] { ran = true; });
    other->asyncAfter(1s, [] {});
    ASSERT_EQ(backend.pendingJobs(), 3u);

    queue.reset();
    EXPECT_TRUE(weak.expired());
    EXPECT_EQ(backend.pendingJobs(), 1u);
    backend.advanceBy(10s);
    EXPECT_FALSE(ran);

    // A job may drop the last reference to its own queue.
    auto self = backend.makeQueue("self");
    bool laterRan = false;
    self->asyncAfter(1s, [&laterRan] { laterRan = true; });
    auto holder = std::make_shared<std::shared_ptr<Queue>>(self);
    self->async([holder] { holder->reset(); });
    self.reset();  // now only the job's captured holder keeps the queue

    backend.advanceBy(2s);
    EXPECT_FALSE(laterRan);
    EXPECT_EQ(backend.pendingJobs(), 0u);
}

// --- Timers -------------------------------------------------------------------------------------

// Each row schedules a timer on a fresh backend, takes its steps and lists its fires over the first
// 6 s: a fire at the wrong instant, a missing or an extra one shows in the list.
TEST(MockDispatchTimer, FiresOnItsQueueAfterTheFirstDelayThenEveryIntervalUntilStopped) {
    enum Step { resume, advance2s, stall3500ms, oneShotIn3s, cancel, destroy, park };
    struct Row {
        const char* what;
        Duration first, interval;
        std::vector<Step> steps;
        std::size_t pendingArmed;  // a resumed timer counts one pending job, a suspended one none
        std::vector<Duration> fires;
        std::size_t pendingAfter;
        std::size_t cancelOnFire = 0;  // the handler cancels its own timer on this fire
    };
    const Row rows[] = {
        {"periodic", 1250ms, 1250ms, {resume}, 1, {1250ms, 2500ms, 3750ms, 5000ms}, 1},
        {"never resumed", 1s, 1s, {advance2s}, 0, {}, 0},
        {"resumed when already due", 1s, 1s, {advance2s, resume}, 1, {2s, 3s, 4s, 5s, 6s}, 1},
        {"rescheduled as a one-shot", 1s, 10s, {resume, oneShotIn3s}, 1, {3s}, 0},
        {"queue stalled: missed fires coalesce", 1s, 1s, {resume, stall3500ms}, 1, {3500ms, 4s, 5s, 6s}, 1},
        {"cancelled, then resumed and rescheduled", 1s, 1s, {resume, advance2s, cancel, resume, oneShotIn3s}, 0,
         {1s, 2s}, 0},
        {"destroyed", 1s, 1s, {resume, advance2s, destroy}, 0, {1s, 2s}, 0},
        {"cancelled by its own handler", 1s, 1s, {resume}, 1, {1s, 2s, 3s}, 0, 3},
        {"parked: nothing pending", 1s, 1s, {resume, advance2s, park}, 0, {1s, 2s}, 0},
        {"parked before it was resumed", 1s, 1s, {park, resume}, 0, {}, 0},
        {"parked, then scheduled again", 1s, 1s, {resume, park, advance2s, oneShotIn3s}, 1, {5s}, 0},
    };
    for (const auto& row : rows) {
        MockTimeBackend backend;
        const Instant start = backend.now();
        auto queue = backend.makeQueue("watchdog");
        auto timer = backend.makeTimer(queue);
        std::vector<Duration> fires;
        bool onQueue = true;
        timer->setEventHandler([&] {
            onQueue = onQueue && queue->isCurrent();
            fires.push_back(backend.now() - start);
            if (fires.size() == row.cancelOnFire) timer->cancel();
        });
        timer->schedule(row.first, row.interval, 300ms);
        for (const Step step : row.steps) {
            switch (step) {
                case resume: timer->resume(); break;
                case advance2s: backend.advanceBy(2s); break;
                case stall3500ms: backend.stallQueue(*queue, 3500ms); break;
                case oneShotIn3s: timer->schedule(3s, 0s, 0s); break;
                case cancel: timer->cancel(); break;
                case destroy: timer.reset(); break;
                case park: timer->schedule(forever, 1s, 0s); break;
            }
        }
        EXPECT_EQ(backend.pendingJobs(), row.pendingArmed) << row.what;
        backend.advanceBy(start + 6s - backend.now());
        EXPECT_EQ(fires, row.fires) << row.what;
        EXPECT_EQ(backend.pendingJobs(), row.pendingAfter) << row.what;
        EXPECT_TRUE(onQueue) << row.what;
    }
}

// --- Determinism ----------------------------------------------------------------------------

std::vector<std::string> runScenario() {
    MockTimeBackend backend;
    Trace trace(backend);
    auto hw = backend.makeQueue("hw");
    auto watchdog = backend.makeQueue("watchdog");
    auto signals = backend.makeQueue("signal");
    auto timer = backend.makeTimer(watchdog);
    auto source = backend.makeSignalSource(15, signals);
    int ticks = 0;
    timer->setEventHandler([&] {
        trace.noteWithTime("tick")();
        if (++ticks == 2) {
            auto done = backend.makeSemaphore(0);
            hw->asyncAfter(300ms, [&trace, done] {
                trace.noteWithTime("hw-restore")();
                done->signal();
            });
            trace.entries.push_back(done->wait(4s) ? "handoff-done" : "handoff-timeout");
        }
    });
    timer->schedule(1250ms, 1250ms, 300ms);
    timer->resume();
    source->setEventHandler(trace.noteWithTime("sigterm"));
    source->resume();
    for (int i = 0; i < 5; ++i) hw->asyncAfter(std::chrono::milliseconds(700 * i), trace.noteWithTime("cmd"));
    backend.advanceBy(2s);
    backend.stallQueue(*hw, 1s);
    backend.deliverSignal(15);
    backend.advanceBy(4s);
    trace.entries.push_back("pending=" + std::to_string(backend.pendingJobs()));
    return trace.entries;
}

TEST(MockDispatchDeterminism, SameProgramGivesTheSameTraceTwice) {
    const auto first = runScenario();
    const auto second = runScenario();
    EXPECT_EQ(first, second);
    EXPECT_EQ(first, (std::vector<std::string>{
                         at("cmd", 0s), at("cmd", 700ms), at("tick", 1250ms), at("cmd", 1400ms), at("sigterm", 2s),
                         at("tick", 2500ms), at("cmd", 3000ms), at("cmd", 3000ms), at("hw-restore", 3000ms),
                         "handoff-done", at("tick", 3750ms), at("tick", 5000ms), "pending=1"}));
}

// --- Clocks and sleep -----------------------------------------------------------------------

TEST_F(MockDispatch, SleepAdvancesOnlyTheContinuousClock) {
    const Instant suspendingStart = backend.suspendingClock().now();
    const Instant continuousStart = backend.continuousClock().now();
    EXPECT_GT(suspendingStart.sinceOrigin, Duration::zero());  // so "zero means never" mistakes show
    auto queue = backend.makeQueue("q");
    bool ran = false;
    queue->asyncAfter(5s, [&] { ran = true; });

    backend.sleepMachine(1h);
    EXPECT_EQ(backend.suspendingClock().now(), suspendingStart);
    EXPECT_EQ(backend.continuousClock().now() - continuousStart, 1h);
    EXPECT_FALSE(ran);
    EXPECT_EQ(backend.nextDeadline(), suspendingStart + 5s);

    backend.advanceBy(5s);
    EXPECT_TRUE(ran);
    EXPECT_EQ(backend.suspendingClock().now() - suspendingStart, 5s);
    EXPECT_EQ(backend.continuousClock().now() - continuousStart, 1h + 5s);
}

// --- Stalled queues -------------------------------------------------------------------------

TEST_F(MockDispatch, StalledQueueStartsNothingUntilTheStallEndsWhileOthersGoOn) {
    auto hw = backend.makeQueue("hw");
    auto watchdog = backend.makeQueue("watchdog");
    backend.stallQueue(*hw, 10s);
    hw->async(trace.noteWithTime("hw-1"));
    hw->asyncAfter(2s, trace.noteWithTime("hw-2"));
    watchdog->async(trace.noteWithTime("wd-1"));
    watchdog->asyncAfter(4s, trace.noteWithTime("wd-2"));

    backend.runUntilIdle();
    EXPECT_EQ(trace.entries, (std::vector<std::string>{at("wd-1", 0s)}));
    EXPECT_EQ(backend.nextDeadline(), trace.start + 4s);
    backend.advanceBy(10s - 1ns);
    EXPECT_EQ(trace.entries, (std::vector<std::string>{at("wd-1", 0s), at("wd-2", 4s)}));
    EXPECT_EQ(backend.pendingJobs(), 2u);
    EXPECT_EQ(backend.nextDeadline(), trace.start + 10s);
    backend.advanceBy(1ns);
    EXPECT_EQ(trace.entries,
              (std::vector<std::string>{at("wd-1", 0s), at("wd-2", 4s), at("hw-1", 10s), at("hw-2", 10s)}));

    MockTimeBackend other;  // a queue of another backend cannot be stalled or carry sources
    auto foreign = other.makeQueue("foreign");
    EXPECT_THROW(backend.stallQueue(*foreign, 1s), std::invalid_argument);
    EXPECT_THROW(backend.makeTimer(foreign), std::invalid_argument);
    EXPECT_THROW(backend.makeSignalSource(15, foreign), std::invalid_argument);
}

// --- Semaphores -----------------------------------------------------------------------------

TEST_F(MockDispatch, WaitPumpsUntilSignalledOrTimesOutWithTheClockAtTheDeadline) {
    auto hw = backend.makeQueue("hw");
    auto done = backend.makeSemaphore(0);
    hw->asyncAfter(1500ms, [done] { done->signal(); });
    Instant start = backend.now();
    EXPECT_TRUE(done->wait(2s));
    EXPECT_EQ(backend.now() - start, 1500ms);

    bool lateRan = false;
    hw->asyncAfter(3s, [&] {
        lateRan = true;
        done->signal();
    });
    start = backend.now();
    EXPECT_FALSE(done->wait(2s));
    EXPECT_EQ(backend.now() - start, 2s);
    EXPECT_FALSE(lateRan);
    EXPECT_EQ(backend.pendingJobs(), 1u);  // the job is not withdrawn and runs later
    backend.advanceBy(1s);
    EXPECT_TRUE(lateRan);
    EXPECT_TRUE(done->wait(0s));  // its signal is still counted
}

TEST_F(MockDispatch, CountsSignalsAndInitialValue) {
    auto semaphore = backend.makeSemaphore(2);
    semaphore->signal();
    for (const bool expected : {true, true, true, false}) EXPECT_EQ(semaphore->wait(0s), expected);
    EXPECT_THROW(backend.makeSemaphore(-1), std::invalid_argument);
    EXPECT_THROW(semaphore->wait(Duration::max()), std::logic_error);  // nothing could ever signal it
}

// isCurrent() names the queue of the innermost job: inside the jobs a wait runs, the waiting queue
// is not current; once the wait returns it is again.
TEST_F(MockDispatch, NestedWaitNeverRunsTheWaitingQueuesOwnJobs) {
    auto watchdog = backend.makeQueue("watchdog");
    auto hw = backend.makeQueue("hw");
    auto ownJob = backend.makeSemaphore(0);
    auto otherJob = backend.makeSemaphore(0);
    const auto current = [&] {
        return std::string(watchdog->isCurrent() ? "watchdog" : "") + (hw->isCurrent() ? "hw" : "");
    };
    watchdog->async([&] {
        watchdog->async([&] { ownJob->signal(); });
        hw->asyncAfter(1s, [&] {
            trace.noteWithTime("hw:" + current())();
            otherJob->signal();
        });
        trace.entries.push_back(otherJob->wait(4s) ? "other-signalled" : "other-timeout");
        // The job just queued on this same queue cannot run while this job waits: it times out.
        trace.entries.push_back(ownJob->wait(4s) ? "own-signalled" : "own-timeout");
        trace.noteWithTime("end:" + current())();
    });
    EXPECT_EQ(current(), "");
    backend.runUntilIdle();
    EXPECT_EQ(trace.entries, (std::vector<std::string>{at("hw:hw", 1s), "other-signalled", "own-timeout",
                                                       at("end:watchdog", 5s)}));
    EXPECT_EQ(current(), "");
    EXPECT_EQ(backend.pendingJobs(), 0u);  // the queued own job ran right after the waiting job ended
    EXPECT_TRUE(ownJob->wait(0s));
}

// --- Signals --------------------------------------------------------------------------------

TEST_F(MockDispatch, DeliveryQueuesTheHandlerOfEveryResumedSourceForThatSignal) {
    auto signals = backend.makeQueue("signal");
    auto term = backend.makeSignalSource(15, signals);
    auto interrupt = backend.makeSignalSource(2, signals);
    auto suspended = backend.makeSignalSource(15, signals);
    auto cancelled = backend.makeSignalSource(15, signals);
    bool onQueue = false;
    term->setEventHandler([&] {
        onQueue = signals->isCurrent();
        trace.entries.push_back("term");
    });
    interrupt->setEventHandler(trace.note("int"));
    suspended->setEventHandler(trace.note("suspended"));
    cancelled->setEventHandler(trace.note("cancelled"));
    for (const auto& source : {term, interrupt, cancelled}) source->resume();
    cancelled->cancel();

    backend.deliverSignal(15);
    EXPECT_EQ(backend.pendingJobs(), 1u);
    EXPECT_TRUE(trace.entries.empty());  // delivery only queues the handler
    backend.runUntilIdle();
    EXPECT_EQ(trace.entries, (std::vector<std::string>{"term"}));
    EXPECT_TRUE(onQueue);

    backend.deliverSignal(2);
    backend.deliverSignal(15);
    term->cancel();  // a queued delivery of a cancelled source does not run
    backend.runUntilIdle();
    EXPECT_EQ(trace.entries, (std::vector<std::string>{"term", "int"}));
}

// --- Backend lifetime -----------------------------------------------------------------------

TEST(MockDispatchBackend, DestroyingTheBackendDropsEverything) {
    auto captured = std::make_shared<int>(0);
    std::shared_ptr<Queue> survivor;
    std::shared_ptr<TimerSource> timer;
    {
        MockTimeBackend backend;
        survivor = backend.makeQueue("survivor");
        survivor->asyncAfter(1s, [captured] {});
        timer = backend.makeTimer(survivor);
        timer->setEventHandler([captured] {});
        timer->schedule(1s, 1s, 0s);
        timer->resume();
        EXPECT_EQ(captured.use_count(), 3);
    }
    EXPECT_EQ(captured.use_count(), 2);  // the pending job is gone; the timer still holds its handler
    survivor->async([captured] {});      // harmless: dropped
    timer->cancel();
    EXPECT_EQ(captured.use_count(), 1);
}

}  // namespace
}  // namespace quorvane::dispatch
