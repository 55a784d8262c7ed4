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

TEST_F(MockDispatch, IsCurrentOnlyInsideItsOwnJobs) {
    auto queue = backend.makeQueue("q");
    auto other = backend.makeQueue("other");
    auto semaphore = backend.makeSemaphore(0);
    std::vector<bool> seen;
    queue->async([&] {
        seen.push_back(queue->isCurrent());
        seen.push_back(other->isCurrent());
        // A wait pumps other queues; inside their jobs this queue is not the current one.
        semaphore->wait(1s);
        seen.push_back(queue->isCurrent());
    });
    other->async([&] {
        seen.push_back(queue->isCurrent());
        seen.push_back(other->isCurrent());
        semaphore->signal();
    });
    EXPECT_FALSE(queue->isCurrent());
    backend.runUntilIdle();
    EXPECT_EQ(seen, (std::vector<bool>{true, false, false, true, true}));
    EXPECT_FALSE(queue->isCurrent());
    EXPECT_EQ(queue->label(), "q");
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

TEST_F(MockDispatch, FirstFireComesAfterTheFirstDelayThenEveryInterval) {
    auto queue = backend.makeQueue("watchdog");
    auto timer = backend.makeTimer(queue);
    bool onQueue = true;
    timer->setEventHandler([&] {
        onQueue = onQueue && queue->isCurrent();
        trace.noteWithTime("tick")();
    });
    timer->schedule(1250ms, 1250ms, 300ms);
    timer->resume();

    backend.runUntilIdle();
    EXPECT_TRUE(trace.entries.empty());
    backend.advanceBy(1250ms - 1ns);
    EXPECT_TRUE(trace.entries.empty());
    backend.advanceBy(1ns);
    ASSERT_EQ(trace.entries, (std::vector<std::string>{at("tick", 1250ms)}));
    backend.advanceBy(4s);  // up to 5.25 s
    EXPECT_EQ(trace.entries, (std::vector<std::string>{at("tick", 1250ms), at("tick", 2500ms), at("tick", 3750ms),
                                                       at("tick", 5000ms)}));
    EXPECT_TRUE(onQueue);
}

TEST_F(MockDispatch, SuspendedTimerDoesNotFireAndCountsNoJob) {
    auto timer = backend.makeTimer(backend.makeQueue("q"));
    int fires = 0;
    timer->setEventHandler([&] { ++fires; });
    timer->schedule(1s, 1s, 0s);
    EXPECT_EQ(backend.pendingJobs(), 0u);
    backend.advanceBy(3s);
    EXPECT_EQ(fires, 0);

    timer->resume();  // the first deadline was set by schedule(), so it is already due
    EXPECT_EQ(backend.pendingJobs(), 1u);
    backend.runUntilIdle();
    EXPECT_EQ(fires, 1);
}

TEST_F(MockDispatch, CancelAndDestructionStopFurtherFires) {
    auto queue = backend.makeQueue("q");
    auto cancelled = backend.makeTimer(queue);
    auto destroyed = backend.makeTimer(queue);
    int cancelledFires = 0;
    int destroyedFires = 0;
    cancelled->setEventHandler([&] { ++cancelledFires; });
    destroyed->setEventHandler([&] { ++destroyedFires; });
    for (const auto& timer : {cancelled, destroyed}) {
        timer->schedule(1s, 1s, 0s);
        timer->resume();
    }
    EXPECT_EQ(backend.pendingJobs(), 2u);  // one pending fire per resumed timer
    backend.advanceBy(2s);
    EXPECT_EQ(cancelledFires, 2);
    EXPECT_EQ(destroyedFires, 2);

    cancelled->cancel();
    destroyed.reset();
    EXPECT_EQ(backend.pendingJobs(), 0u);
    backend.advanceBy(5s);
    EXPECT_EQ(cancelledFires, 2);
    EXPECT_EQ(destroyedFires, 2);
    cancelled->resume();  // a cancelled timer stays cancelled
    cancelled->schedule(1s, 1s, 0s);
    backend.advanceBy(5s);
    EXPECT_EQ(cancelledFires, 2);
}

TEST_F(MockDispatch, HandlerMayCancelItsOwnTimer) {
    auto timer = backend.makeTimer(backend.makeQueue("q"));
    int fires = 0;
    timer->setEventHandler([&] {
        if (++fires == 3) timer->cancel();
    });
    timer->schedule(1s, 1s, 0s);
    timer->resume();
    backend.advanceBy(10s);
    EXPECT_EQ(fires, 3);
    EXPECT_EQ(backend.pendingJobs(), 0u);
}

TEST_F(MockDispatch, RescheduleReplacesThePendingFire) {
    auto timer = backend.makeTimer(backend.makeQueue("q"));
    timer->setEventHandler(trace.noteWithTime("tick"));
    timer->schedule(1s, 10s, 0s);
    timer->resume();
    timer->schedule(3s, 0s, 0s);  // a one-shot now
    EXPECT_EQ(backend.pendingJobs(), 1u);
    backend.advanceBy(30s);
    EXPECT_EQ(trace.entries, (std::vector<std::string>{at("tick", 3s)}));
}

TEST_F(MockDispatch, FiresMissedDuringAStallAreCoalesced) {
    auto queue = backend.makeQueue("q");
    auto timer = backend.makeTimer(queue);
    timer->setEventHandler(trace.noteWithTime("tick"));
    timer->schedule(1s, 1s, 0s);
    timer->resume();
    backend.stallQueue(*queue, 3500ms);
    backend.advanceBy(5s);
    EXPECT_EQ(trace.entries, (std::vector<std::string>{at("tick", 3500ms), at("tick", 4s), at("tick", 5s)}));
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

    // A wait for a job of a stalled queue times out.
    auto done = backend.makeSemaphore(0);
    backend.stallQueue(*hw, 30s);
    hw->async([done] { done->signal(); });
    const Instant start = backend.now();
    EXPECT_FALSE(done->wait(2s));
    EXPECT_EQ(backend.now() - start, 2s);

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
    EXPECT_TRUE(semaphore->wait(0s));
    EXPECT_TRUE(semaphore->wait(0s));
    EXPECT_TRUE(semaphore->wait(0s));
    EXPECT_FALSE(semaphore->wait(0s));
    EXPECT_THROW(backend.makeSemaphore(-1), std::invalid_argument);
    EXPECT_THROW(semaphore->wait(Duration::max()), std::logic_error);  // nothing could ever signal it
}

TEST_F(MockDispatch, NestedWaitNeverRunsTheWaitingQueuesOwnJobs) {
    auto watchdog = backend.makeQueue("watchdog");
    auto hw = backend.makeQueue("hw");
    auto ownJob = backend.makeSemaphore(0);
    auto otherJob = backend.makeSemaphore(0);
    watchdog->async([&] {
        watchdog->async([&] { ownJob->signal(); });
        hw->asyncAfter(1s, [&] {
            trace.noteWithTime("hw")();
            otherJob->signal();
        });
        trace.entries.push_back(otherJob->wait(4s) ? "other-signalled" : "other-timeout");
        // The job just queued on this same queue cannot run while this job waits: it times out.
        trace.entries.push_back(ownJob->wait(4s) ? "own-signalled" : "own-timeout");
        trace.noteWithTime("end")();
    });
    backend.runUntilIdle();
    EXPECT_EQ(trace.entries,
              (std::vector<std::string>{at("hw", 1s), "other-signalled", "own-timeout", at("end", 5s)}));
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
    term->resume();
    interrupt->resume();
    cancelled->resume();
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
