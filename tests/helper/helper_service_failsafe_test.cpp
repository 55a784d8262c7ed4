// The watchdog timer, the handoff to the hardware queue, the emergency restore over a throwaway
// connection, the exit-time restore, and all five methods called from real threads at once.
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "platform/xpc/connection.hpp"
#include "shared/smc/fan_key.hpp"
#include "tests/helper/helper_service_fixture.hpp"

namespace quorvane::testing {
namespace {

class FailSafeTest : public HelperServiceTest {
protected:
    void engage(const std::string& profile = "intel-desktop") {
        start(profile);
        service->startWatchdog();
        setRPM(0, 1500);
        backend.runUntilIdle();
        ASSERT_EQ(mac->readKey("F0Md"), 1);
        engagedAt = backend.now();
    }
    clock::Instant engagedAt;
};

TEST_F(FailSafeTest, FirstTickComesAfterOneAndAQuarterSeconds) {
    start("intel-desktop");
    service->startWatchdog();
    EXPECT_EQ(backend.nextDeadline(), backend.now() + clock::seconds(1.25));
}

TEST_F(FailSafeTest, SilenceWhileEngagedFailsSafeOnceBetweenFiveAndSixPointFiveFiveSeconds) {
    engage();
    while (lines(log::Level::Error, kHeartbeatLost) == 0 && backend.now() - engagedAt < clock::seconds(10)) {
        backend.advanceBy(0.05);
    }
    const double after = clock::toSeconds(backend.now() - engagedAt);
    EXPECT_GT(after, 5.0);
    EXPECT_LE(after, 6.55);
    EXPECT_EQ(mac->readKey("F0Md"), 0);
    backend.advanceBy(60.0);
    EXPECT_EQ(lines(log::Level::Error, kHeartbeatLost), 1u);
    EXPECT_EQ(logs->count(kEmergencyStart), 0u) << "the hardware queue answered: no escalation";
}

TEST_F(FailSafeTest, HeartbeatsKeepManualControlAndSilenceWithoutEngagementIsHarmless) {
    engage();
    for (int i = 0; i < 20; ++i) {
        backend.advanceBy(2.5);
        service->heartbeat([](double) {});
    }
    EXPECT_EQ(lines(log::Level::Error, kHeartbeatLost), 0u);
    EXPECT_EQ(mac->readKey("F0Md"), 1);
    restore();
    backend.advanceBy(3600.0);
    EXPECT_EQ(lines(log::Level::Error, kHeartbeatLost), 0u);
}

TEST_F(FailSafeTest, StuckHardwareQueueEscalatesToAThrowawayConnection) {
    engage();
    mac->setKey("F0Md", 1);
    mac->setKey("F1Md", 1);
    const auto opensBefore = mac->openCount();
    backend.stallQueue(service->hardwareQueue(), std::chrono::hours(1));
    backend.advanceBy(6.6);
    ASSERT_EQ(lines(log::Level::Error, kHeartbeatLost), 1u);
    EXPECT_TRUE(service->restoreHandoffInFlight());
    backend.advanceBy(4.0);
    EXPECT_EQ(logs->count(log::Level::Fault, "service", kEmergencyStart), 1u);
    EXPECT_EQ(logs->count(log::Level::Fault, "service", "EMERGENCY restore: completed"), 1u);
    EXPECT_EQ(mac->openCount(), opensBefore + 1);
    EXPECT_EQ(mac->readKey("F0Md"), 0);
    EXPECT_EQ(mac->readKey("F1Md"), 0);
    EXPECT_EQ(service->emergencyRestoreEpoch(), 1);
    EXPECT_FALSE(service->restoreHandoffInFlight());
    EXPECT_FALSE(service->watchdogSnapshot().manualControlEngaged());
    backend.advanceBy(30.0);
    EXPECT_EQ(lines(log::Level::Error, kHeartbeatLost), 1u) << "later ticks stay quiet";
}

TEST_F(FailSafeTest, RefusedOpenMakesFiveAttemptsThenReleasesTheHandoff) {
    engage();
    mac->refuseOpen(kIOReturnNotPrivileged);
    backend.stallQueue(service->hardwareQueue(), std::chrono::hours(1));
    backend.advanceBy(6.6);
    ASSERT_EQ(lines(log::Level::Error, kHeartbeatLost), 1u);
    backend.advanceBy(4.0 * 4 + 3.9);
    EXPECT_EQ(logs->count(kEmergencyOpenFailed), 5u);
    EXPECT_EQ(logs->count(kEmergencyStart), 5u);
    EXPECT_EQ(logs->count(log::Level::Fault, "service", kEmergencyExhausted), 1u);
    EXPECT_TRUE(service->watchdogSnapshot().manualControlEngaged());
    backend.advanceBy(1.6);
    EXPECT_EQ(lines(log::Level::Error, kHeartbeatLost), 2u) << "the next tick starts a new handoff";
}

TEST_F(FailSafeTest, EmergencyRestoreUsesTheCachedCountOrEightFans) {
    start("intel-desktop");
    setRPM(0, 1500);  // caches the count of 2
    backend.runUntilIdle();
    mac->resetCounters();
    mac->setKey("FNum", 5);
    EXPECT_TRUE(service->emergencyRestore());
    EXPECT_EQ(mac->writtenKeys(), (std::vector<std::string>{"F0Md", "F1Md"}));
    EXPECT_EQ(mac->exchangeCount(SMCCommand::readKeyInfo, "F2Md"), 0u);
    EXPECT_EQ(mac->exchangeCount(SMCCommand::readKeyInfo, "Ftst"), 1u) << "Ftst is still attempted";
}

TEST_F(FailSafeTest, EmergencyRestoreWithNoCountWritesFansZeroToSevenAndSurvivesFailures) {
    start("fanless-laptop");
    mac->failKey("F2Md", 0x01, SMCCommand::writeBytes);
    EXPECT_TRUE(service->emergencyRestore());
    for (int i = 0; i < 8; ++i) {
        EXPECT_EQ(mac->exchangeCount(SMCCommand::readKeyInfo, FanKey::mode(i)), 1u) << "fan " << i;
    }
    EXPECT_EQ(mac->exchangeCount(SMCCommand::readKeyInfo, "F8Md"), 0u);
    EXPECT_EQ(mac->exchangeCount(SMCCommand::readKeyInfo, "Ftst"), 1u);
    EXPECT_EQ(logs->count("EMERGENCY restore: completed"), 1u);
    EXPECT_EQ(service->emergencyRestoreEpoch(), 1);
}

TEST_F(FailSafeTest, EmergencyRestoreStopsARunningEngage) {
    start("intel-desktop");
    mac->failKey("F0Md", 0x82, SMCCommand::writeBytes);
    auto r = setManual(0, true);
    backend.advanceBy(1.0);
    ASSERT_TRUE(service->emergencyRestore());
    mac->clearFaults();
    mac->resetCounters();
    backend.advanceBy(1.0);
    EXPECT_EQ(mac->exchangeCount(SMCCommand::writeBytes, "F0Md"), 0u) << "attempts of an older epoch stop";
    EXPECT_EQ(r->calls, 0) << "their waiters are answered by the next restore";
    restore();
    backend.runUntilIdle();
    EXPECT_EQ(r->calls, 1);
    EXPECT_EQ(r->error->code, 1003);
}

TEST_F(FailSafeTest, ExitRestoreUsesTheHardwareQueueOrEscalatesAfterTwoSeconds) {
    start("intel-desktop");
    mac->setKey("F0Md", 1);
    service->exitRestore();
    EXPECT_EQ(mac->readKey("F0Md"), 0);
    EXPECT_EQ(logs->count(kEmergencyStart), 0u);

    mac->setKey("F1Md", 1);
    backend.stallQueue(service->hardwareQueue(), std::chrono::hours(1));
    const auto before = backend.now();
    service->exitRestore();
    EXPECT_EQ(backend.now() - before, clock::seconds(2.0));
    EXPECT_EQ(logs->count(log::Level::Fault, "service",
                          "exit restore: hw queue did not respond within 2.000000s — escalating to the emergency SMC "
                          "connection"),
              1u);
    EXPECT_EQ(mac->readKey("F1Md"), 0);
    EXPECT_EQ(service->emergencyRestoreEpoch(), 1);
}

// Real threads: every method from several threads at once while restores happen. Run under
// ThreadSanitizer too.
TEST(HelperServiceConcurrencyTest, AllMethodsFromManyThreadsReplyExactlyOnce) {
    clock::SuspendingClock clock;
    auto mac = sim::VirtualMac::create("intel-desktop", clock);
    auto registration = mac->registerInProcess();
    {
        auto service = std::make_shared<HelperService>(SMCKernelBridge::open(), 10.0, 0.1, 5.0);
        constexpr int kThreads = 4, kRounds = 50;
        std::mutex mutex;
        std::condition_variable cv;
        int replies = 0;
        std::atomic<int> duplicates{0};
        auto once = [&](std::shared_ptr<std::atomic<bool>> seen) {
            if (seen->exchange(true)) ++duplicates;
            std::lock_guard lock(mutex);
            ++replies;
            cv.notify_all();
        };
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t) {
            threads.emplace_back([&, t] {
                xpc::ScopedCurrentConnection current(static_cast<std::uint64_t>(t + 1));
                for (int i = 0; i < kRounds; ++i) {
                    auto a = std::make_shared<std::atomic<bool>>(false), b = std::make_shared<std::atomic<bool>>(false),
                         c = std::make_shared<std::atomic<bool>>(false), d = std::make_shared<std::atomic<bool>>(false),
                         e = std::make_shared<std::atomic<bool>>(false);
                    service->setTargetRPM(i % 2, 1000 + i, [&, a](double, OptionalError) { once(a); });
                    service->setManualControl(i % 3, i % 2 == 0, [&, b](OptionalError) { once(b); });
                    service->heartbeat([&, c](double) { once(c); });
                    service->helperVersion([&, d](std::string) { once(d); });
                    if (i % 5 == 0) service->restoreAutomaticControl([&, e](OptionalError) { once(e); });
                    if (i % 7 == 0) service->clientDisconnected(static_cast<std::uint64_t>(t + 1));
                }
            });
        }
        for (auto& th : threads) th.join();
        const int expected = kThreads * kRounds * 4 + kThreads * ((kRounds + 4) / 5);
        {
            std::unique_lock lock(mutex);
            ASSERT_TRUE(cv.wait_for(lock, std::chrono::seconds(30), [&] { return replies == expected; }))
                << replies << " of " << expected;
        }
        EXPECT_EQ(duplicates.load(), 0);
        service->exitRestore();
    }
    EXPECT_EQ(mac->readKey("F0Md"), 0);
    EXPECT_EQ(mac->readKey("F1Md"), 0);
}

}  // namespace
}  // namespace quorvane::testing
