// The real-thread backend. These tests run under ThreadSanitizer too. They never assert on how
// long something took: waits are generous upper bounds, and the only time checks are the
// backend's own guarantee that a delayed job does not run before its deadline.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/dispatch/dispatch.hpp"

namespace quorvane::dispatch {
namespace {

using namespace std::chrono_literals;

constexpr Duration generous = 5s;

TEST(RealDispatchQueue, RunsJobsInOrderOfDeadlineThenSubmissionOnlyOnItsOwnThreadAndNeverEarly) {
    auto queue = realBackend().makeQueue("com.quorvane.test.order");
    auto other = realBackend().makeQueue("com.quorvane.test.other");
    auto done = realBackend().makeSemaphore(0);
    const auto& clock = realBackend().suspendingClock();
    // Plain, unsynchronised data: the queue's ordering and the final semaphore make this race-free.
    std::vector<std::string> delayed;
    int last = -1;
    bool ordered = true;
    bool early = false;
    const auto after = [&](std::string name, Duration delay) {
        queue->asyncAfter(delay, [&, name, deadline = clock.now() + delay] {
            early = early || clock.now() < deadline;
            delayed.push_back(name);
        });
    };
    for (int i = 0; i < 1000; ++i) {
        queue->async([&, i] {
            ordered = ordered && last == i - 1 && delayed.empty() && queue->isCurrent() && !other->isCurrent();
            last = i;
        });
    }
    after("300ms-a", 300ms);
    after("10ms", 10ms);
    after("300ms-b", 300ms);
    queue->asyncAfter(400ms, [done] { done->signal(); });
    ASSERT_TRUE(done->wait(generous));
    EXPECT_TRUE(ordered);
    EXPECT_EQ(last, 999);
    EXPECT_EQ(delayed, (std::vector<std::string>{"10ms", "300ms-a", "300ms-b"}));
    EXPECT_FALSE(early);
    EXPECT_FALSE(queue->isCurrent());
    EXPECT_EQ(queue->label(), "com.quorvane.test.order");
}

TEST(RealDispatchQueue, AnIdleWorkerAsleepUntilAFarDeadlineWakesForEachEarlierJob) {
    auto queue = realBackend().makeQueue("com.quorvane.test.wake");
    auto ran = realBackend().makeSemaphore(0);
    queue->asyncAfter(1h, [] {});
    for (int i = 0; i < 20; ++i) {
        // Alternately right away and after the worker has gone back to sleep on the hour.
        if (i % 2) std::this_thread::sleep_for(2ms);
        queue->async([ran] { ran->signal(); });
        ASSERT_TRUE(ran->wait(generous)) << "job " << i << " waited for the far deadline";
    }
}

TEST(RealDispatchQueue, DestroyingAQueueDiscardsPendingJobsEvenFromInsideOne) {
    auto ran = std::make_shared<std::atomic<bool>>(false);
    auto queue = realBackend().makeQueue("com.quorvane.test.discard");
    queue->asyncAfter(1h, [ran] { *ran = true; });
    queue.reset();  // returns at once: the hour-long job is discarded, not awaited
    EXPECT_FALSE(*ran);
    EXPECT_EQ(ran.use_count(), 1);  // the discarded job released what it captured

    auto gate = realBackend().makeSemaphore(0);
    auto done = realBackend().makeSemaphore(0);
    auto holder = std::make_shared<std::shared_ptr<Queue>>(realBackend().makeQueue("com.quorvane.test.self"));
    std::weak_ptr<Queue> weak = *holder;
    (*holder)->async([holder, gate, done] {
        gate->wait(generous);  // lets async() return before the queue goes away
        holder->reset();       // destroys the queue from its own thread: the worker is detached
        done->signal();
    });
    gate->signal();
    ASSERT_TRUE(done->wait(generous));
    EXPECT_TRUE(weak.expired());
}

TEST(RealDispatchSemaphore, CountsLikeADispatchSemaphoreAndWakesASleepingWaiter) {
    auto semaphore = realBackend().makeSemaphore(2);
    semaphore->signal();
    for (const bool expected : {true, true, true, false}) EXPECT_EQ(semaphore->wait(0s), expected);
    EXPECT_FALSE(semaphore->wait(20ms));
    auto queue = realBackend().makeQueue("com.quorvane.test.semaphore");
    queue->asyncAfter(10ms, [semaphore] { semaphore->signal(); });
    EXPECT_TRUE(semaphore->wait(generous));
    EXPECT_THROW(realBackend().makeSemaphore(-1), std::invalid_argument);
}

// Cancelled, or parked by a first delay of forever (which a later schedule starts again).
TEST(RealDispatchTimer, RepeatsOnItsQueueUntilCancelledOrParked) {
    for (const bool park : {false, true}) {
        SCOPED_TRACE(park ? "parked" : "cancelled");
        auto queue = realBackend().makeQueue("com.quorvane.test.timer");
        auto timer = realBackend().makeTimer(queue);
        auto tick = realBackend().makeSemaphore(0);
        std::atomic<int> fires{0};
        std::atomic<bool> onQueue{true};
        timer->setEventHandler([&] {
            if (!queue->isCurrent()) onQueue = false;
            ++fires;
            tick->signal();
        });
        timer->schedule(10ms, 10ms, 1ms);
        timer->resume();
        for (int i = 0; i < 3; ++i) ASSERT_TRUE(tick->wait(generous));
        if (park) {
            timer->schedule(forever, 10ms, 1ms);
        } else {
            timer->cancel();
        }

        // Once a job queued after the stop has run, no fire can be outstanding.
        auto flushed = realBackend().makeSemaphore(0);
        queue->async([flushed] { flushed->signal(); });
        ASSERT_TRUE(flushed->wait(generous));
        const int afterStop = fires;
        queue->asyncAfter(50ms, [flushed] { flushed->signal(); });
        ASSERT_TRUE(flushed->wait(generous));
        EXPECT_GE(afterStop, 3);
        EXPECT_EQ(fires, afterStop);
        EXPECT_TRUE(onQueue);
        while (tick->wait(Duration::zero())) {
        }
        timer->schedule(10ms, 10ms, 1ms);
        EXPECT_EQ(tick->wait(park ? generous : Duration(50ms)), park) << "a parked timer starts again, a cancelled one never";
        timer->cancel();
    }
}

TEST(RealDispatchTimer, SourcesOfAnotherBackendQueueAreRefused) {
    // A queue that is not the real backend's cannot carry a real timer or signal source.
    struct ForeignQueue final : Queue {
        const std::string& label() const override { return name; }
        void async(Job) override {}
        void asyncAfter(Duration, Job) override {}
        bool isCurrent() const override { return false; }
        std::string name = "foreign";
    };
    auto foreign = std::make_shared<ForeignQueue>();
    EXPECT_THROW(realBackend().makeTimer(foreign), std::invalid_argument);
    EXPECT_THROW(realBackend().makeSignalSource(SIGUSR1, foreign), std::invalid_argument);
    EXPECT_THROW(realBackend().makeSignalSource(SIGKILL, realBackend().makeQueue("q")), std::invalid_argument);
}

TEST(RealDispatchSignal, IgnoredSignalStillReachesTheSourceAsAJobOnItsQueue) {
    // The daemon ignores the signal first, then creates the source, as on macOS.
    std::signal(SIGUSR1, SIG_IGN);
    auto queue = realBackend().makeQueue("com.quorvane.test.signal");
    auto source = realBackend().makeSignalSource(SIGUSR1, queue);
    auto delivered = realBackend().makeSemaphore(0);
    std::atomic<bool> onQueue{false};
    source->setEventHandler([&] {
        onQueue = queue->isCurrent();
        delivered->signal();
    });
    source->resume();

    ASSERT_EQ(std::raise(SIGUSR1), 0);
    ASSERT_TRUE(delivered->wait(generous));
    EXPECT_TRUE(onQueue);
    ASSERT_EQ(std::raise(SIGUSR1), 0);
    ASSERT_TRUE(delivered->wait(generous));

    source->cancel();
    // With the last source gone the signal is ignored again, as the program had set it.
    struct sigaction current {};
    ASSERT_EQ(sigaction(SIGUSR1, nullptr, &current), 0);
    EXPECT_EQ(current.sa_handler, SIG_IGN);
    ASSERT_EQ(std::raise(SIGUSR1), 0);  // ignored: does not end the test program
    std::signal(SIGUSR1, SIG_DFL);
}

}  // namespace
}  // namespace quorvane::dispatch
