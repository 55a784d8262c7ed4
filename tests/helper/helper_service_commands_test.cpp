// Fan commands in mock time: target writes, manual engage with its retries and shared waiters,
// restores and their cancellations, fan-count and bounds caching, heartbeats and the version.
#include <cmath>
#include <limits>

#include "tests/helper/helper_service_fixture.hpp"
#include "platform/xpc/connection.hpp"
#include "smc/smc_kernel_bridge.hpp"

namespace quorvane::testing {
namespace {

constexpr std::uint8_t kWrite = SMCCommand::writeBytes;

TEST_F(HelperServiceTest, TargetWriteUnlocksEngagesThenWritesAndWarmWritesCostOneExchange) {
    start("apple-silicon-laptop");
    auto r = setRPM(0, 2500);
    backend.advanceBy(5.0);  // the firmware refuses manual mode for 3.5 s after the unlock
    ASSERT_EQ(r->calls, 1);
    EXPECT_EQ(r->applied, 2500);
    EXPECT_FALSE(r->error);
    EXPECT_EQ(writes(), (std::vector<std::string>{"Ftst=1", "F0Md=1", "F0Tg=2500"}));
    EXPECT_EQ(mac->readKey("F0Md"), 1);
    EXPECT_EQ(lines(log::Level::Default, "Ftst diagnostic mode engaged (M3/M4 unlock)"), 1u);

    mac->resetCounters();
    auto again = setRPM(0, 3000);
    backend.runUntilIdle();
    EXPECT_EQ(again->applied, 3000);
    EXPECT_EQ(mac->model().totalExchanges(), 1u);
    EXPECT_EQ(mac->exchangeCount(kWrite, "F0Tg"), 1u);
}

TEST_F(HelperServiceTest, RequestsAreClampedOrRejectedByTheWritePolicy) {
    start("intel-desktop");
    auto high = setRPM(0, 9000);
    backend.runUntilIdle();
    EXPECT_EQ(high->applied, 2700);
    EXPECT_EQ(mac->readKey("F0Tg"), 2700);

    for (double bad : {std::nan(""), -5.0, std::numeric_limits<double>::infinity()}) {
        mac->resetCounters();
        auto r = setRPM(1, bad);
        backend.runUntilIdle();
        ASSERT_EQ(r->calls, 1);
        EXPECT_EQ(r->applied, 0);
        ASSERT_TRUE(r->error);
        EXPECT_EQ(r->error->code, 1001);
        EXPECT_EQ(mac->exchangeCount(kWrite), 0u) << "nothing may be written for a rejected request";
    }
    auto nan = setRPM(1, std::nan(""));
    backend.runUntilIdle();
    EXPECT_EQ(message(nan->error), "rejected: non-finite or negative RPM nan");
    auto huge = setRPM(1, 1e300);
    backend.runUntilIdle();
    EXPECT_EQ(huge->applied, 2000);
}

TEST_F(HelperServiceTest, FanIndexOutsideTheCountIsRejectedWithoutWrites) {
    start("intel-desktop");
    mac->resetCounters();
    auto negative = setRPM(-1, 2000);
    backend.runUntilIdle();
    EXPECT_EQ(message(negative->error), "fan index -1 out of range");
    EXPECT_EQ(negative->error->code, 1002);
    EXPECT_EQ(mac->model().totalExchanges(), 0u);
    auto beyond = setManual(2, true);
    backend.runUntilIdle();
    EXPECT_EQ(message(beyond->error), "fan index 2 out of range");
    EXPECT_EQ(mac->exchangeCount(kWrite), 0u);
}

TEST_F(HelperServiceTest, ZeroFanCountIsAskedAgainButAPositiveCountIsCached) {
    start("fanless-laptop");
    for (int i = 0; i < 2; ++i) {
        auto r = setManual(0, true);
        backend.runUntilIdle();
        EXPECT_EQ(message(r->error), "fan index 0 out of range");
    }
    EXPECT_EQ(mac->exchangeCount(SMCCommand::readBytes, "FNum"), 2u);
    mac->setKey("FNum", 1);
    setRPM(5, 100);
    setRPM(5, 100);
    backend.runUntilIdle();
    EXPECT_EQ(mac->exchangeCount(SMCCommand::readBytes, "FNum"), 3u);
    EXPECT_EQ(service->cachedFanCount(), 1);
}

TEST_F(HelperServiceTest, BoundsAreReadOncePerFanAndAgainWhileUnusable) {
    start("intel-desktop");
    for (int i = 0; i < 3; ++i) setRPM(0, 1500 + i);
    backend.runUntilIdle();
    EXPECT_EQ(mac->exchangeCount(SMCCommand::readBytes, "F0Mn"), 1u);
    EXPECT_EQ(mac->exchangeCount(SMCCommand::readBytes, "F0Mx"), 1u);

    mac->setKey("F1Mx", 0);
    auto r = setRPM(1, 1500);
    backend.runUntilIdle();
    EXPECT_EQ(message(r->error), "rejected: invalid hardware bounds [940.0, 0.0]");
    setRPM(1, 1500);
    backend.runUntilIdle();
    EXPECT_EQ(mac->exchangeCount(SMCCommand::readBytes, "F1Mx"), 2u);
}

TEST_F(HelperServiceTest, FailedBoundsReadFailsSafeBeforeReplying) {
    start("intel-desktop");
    mac->setKey("F0Md", 1);
    mac->failKey("F0Mn", 0x85, SMCCommand::readBytes);
    auto r = setRPM(0, 1500);
    backend.runUntilIdle();
    EXPECT_EQ(message(r->error), "hardware write failed: notReadable(\"F0Mn\")");
    EXPECT_EQ(r->error->code, 1003);
    EXPECT_EQ(lines(log::Level::Error, "setTargetRPM failed: notReadable(\"F0Mn\"); failing safe"), 1u);
    EXPECT_EQ(mac->readKey("F0Md"), 0);
    EXPECT_EQ(mac->readKey("F1Md"), 0);
}

TEST_F(HelperServiceTest, FailedTargetWriteRestoresAndForgetsTheManualFan) {
    start("intel-desktop");
    mac->failKey("F0Tg", 0x86, kWrite);
    auto r = setRPM(0, 1500);
    backend.runUntilIdle();
    EXPECT_EQ(message(r->error), "hardware write failed: notWritable(\"F0Tg\")");
    EXPECT_EQ(r->applied, 0);
    EXPECT_TRUE(service->manualFans().empty());
    EXPECT_EQ(mac->readKey("F0Md"), 0);
    EXPECT_FALSE(service->watchdogSnapshot().manualControlEngaged());
}

TEST_F(HelperServiceTest, RestoreWritesEveryModeKeyThenFtstAndReportsTheFirstError) {
    start("apple-silicon-laptop");
    auto ok = restore();
    backend.runUntilIdle();
    EXPECT_FALSE(ok->error);
    EXPECT_EQ(writes(), (std::vector<std::string>{"F0Md=0", "F1Md=0", "Ftst=0"}));

    mac->failKey("F0Md", 0x01, kWrite);
    mac->failTransport(kIOReturnNotResponding, "Ftst");
    auto bad = restore();
    backend.runUntilIdle();
    ASSERT_TRUE(bad->error);
    EXPECT_EQ(message(bad->error), "restore failed: smcResult(1)");
    EXPECT_EQ(mac->exchangeCount(kWrite, "F1Md"), 2u) << "a failure must never stop the loop";
    EXPECT_EQ(lines(log::Level::Error, "restore fan 0 failed: smcResult(1)"), 1u);
    EXPECT_EQ(lines(log::Level::Error, "Ftst reset failed: callFailed(-536870163)"), 1u);
}

TEST_F(HelperServiceTest, MacWithoutFtstProbesItOncePerRestoreCycle) {
    start("intel-desktop");
    setManual(0, true);
    setManual(1, true);
    backend.runUntilIdle();
    EXPECT_EQ(lines(log::Level::Default, "Ftst absent on this Mac — proceeding without diagnostic unlock"), 1u);
    auto r = restore();
    backend.runUntilIdle();
    EXPECT_FALSE(r->error) << "an absent Ftst is not a restore failure";
    EXPECT_EQ(logs->count(log::Level::Error, "service", "Ftst reset failed: keyNotFound(\"Ftst\")"), 0u);
    setManual(0, true);
    backend.runUntilIdle();
    EXPECT_EQ(lines(log::Level::Default, "Ftst absent on this Mac — proceeding without diagnostic unlock"), 2u);
}

TEST_F(HelperServiceTest, FtstTransportFailureWritesNoModeKeyAndIsRetriedNextTime) {
    start("apple-silicon-laptop");
    mac->failTransport(kIOReturnNotResponding, "Ftst");
    auto r = setManual(0, true);
    backend.runUntilIdle();
    EXPECT_EQ(message(r->error), "engage manual failed: callFailed(-536870163)");
    for (const auto& w : mac->writeLog()) EXPECT_FALSE(w.key == "F0Md" && w.value == 1);
    mac->clearFaults();
    auto again = setManual(0, true);
    backend.advanceBy(5.0);
    EXPECT_FALSE(again->error);
    EXPECT_EQ(mac->readKey("Ftst"), 1);
}

TEST_F(HelperServiceTest, ModeWriteRetriesUntilAcceptedAndTimesOutAfterTheWindow) {
    start("intel-desktop");
    mac->failNext("F0Md", 3, 0x82, kWrite);
    auto r = setManual(0, true);
    backend.advanceBy(0.25);
    EXPECT_EQ(r->calls, 0);
    backend.advanceBy(0.1);
    EXPECT_EQ(r->calls, 1);
    EXPECT_FALSE(r->error);
    EXPECT_EQ(service->manualFans().count(0), 1u);

    mac->failKey("F1Md", 0x82, kWrite);
    auto never = setManual(1, true);
    backend.advanceBy(9.9);
    EXPECT_EQ(never->calls, 0);
    backend.advanceBy(0.3);
    ASSERT_EQ(never->calls, 1);
    EXPECT_EQ(message(never->error), "engage manual failed: smcResult(130)");
    EXPECT_EQ(mac->readKey("F0Md"), 0) << "the failed engage hands every fan back";
    EXPECT_GE(mac->exchangeCount(kWrite, "F1Md"), 95u);
}

TEST_F(HelperServiceTest, EnablesForOneFanShareOneSequenceAndReplyInOrder) {
    start("apple-silicon-laptop");
    std::vector<int> order;
    service->setManualControl(0, true, [&](OptionalError e) { order.push_back(e ? -1 : 1); });
    service->setTargetRPM(0, 2000, [&](double, OptionalError e) { order.push_back(e ? -2 : 2); });
    service->setManualControl(0, true, [&](OptionalError e) { order.push_back(e ? -3 : 3); });
    backend.advanceBy(1.0);
    const auto attemptsAfterOneSecond = mac->exchangeCount(kWrite, "F0Md");
    EXPECT_LE(attemptsAfterOneSecond, 11u) << "one attempt every 0.1 s, not one sequence per request";
    backend.advanceBy(4.0);
    EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));
    EXPECT_EQ(mac->exchangeCount(kWrite, "Ftst"), 1u);

    // Already manual: no mode write, but the watchdog is refreshed.
    mac->resetCounters();
    backend.advanceBy(3.0);
    auto r = setManual(0, true);
    backend.runUntilIdle();
    EXPECT_FALSE(r->error);
    EXPECT_EQ(mac->exchangeCount(kWrite, "F0Md"), 0u);
    EXPECT_EQ(*service->watchdogSnapshot().lastBeat(), backend.now());
}

TEST_F(HelperServiceTest, RestoreDuringEngageRepliesFirstThenCancelsTheWaiter) {
    start("apple-silicon-laptop");
    std::vector<std::string> order;
    OptionalError enableError;
    service->setManualControl(1, true, [&](OptionalError e) {
        order.push_back("enable");
        enableError = std::move(e);
    });
    backend.advanceBy(1.0);
    const auto generation = service->engageGeneration();
    service->restoreAutomaticControl([&](OptionalError) { order.push_back("restore"); });
    mac->resetCounters();
    backend.advanceBy(11.0);
    EXPECT_EQ(order, (std::vector<std::string>{"restore", "enable"}));
    ASSERT_TRUE(enableError);
    EXPECT_EQ(enableError->code, 1003);
    EXPECT_EQ(message(enableError),
              "engage manual failed: Error Domain=com.quorvane.SMCService Code=1004 \"manual-mode engage canceled by "
              "restore\" UserInfo={NSLocalizedDescription=manual-mode engage canceled by restore}");
    EXPECT_EQ(service->engageGeneration(), generation + 2) << "the cancelled waiter restores once more";
    for (const auto& w : mac->writeLog()) EXPECT_EQ(w.value, 0) << w.key << " written after the restore";
    EXPECT_EQ(service->engageWaiterCount(), 0u);
}

TEST_F(HelperServiceTest, DisableRestoresEveryFanWhateverTheIndex) {
    start("intel-desktop");
    setRPM(0, 1500);
    setRPM(1, 1500);
    backend.runUntilIdle();
    auto r = setManual(99, false);
    backend.runUntilIdle();
    EXPECT_FALSE(r->error);
    EXPECT_EQ(mac->readKey("F0Md"), 0);
    EXPECT_EQ(mac->readKey("F1Md"), 0);
    mac->failKey("F1Md", 0x01, kWrite);
    auto bad = setManual(0, false);
    backend.runUntilIdle();
    EXPECT_EQ(message(bad->error), "disengage failed: smcResult(1)");
}

TEST_F(HelperServiceTest, VersionIsAnsweredWhileTheHardwareQueueIsStalled) {
    start("intel-desktop");
    backend.stallQueue(service->hardwareQueue(), clock::seconds(60));
    std::string version;
    service->helperVersion([&](std::string v) { version = std::move(v); });
    EXPECT_EQ(version, "1.2.2");
    double uptime = -1;
    service->heartbeat([&](double u) { uptime = u; });
    backend.advanceBy(1.0);
    EXPECT_EQ(uptime, -1) << "heartbeats wait for the hardware queue";
    backend.advanceBy(60.0);
    EXPECT_GT(uptime, 0);
}

TEST_F(HelperServiceTest, UptimeCountsSleepButTheWatchdogDoesNot) {
    start("intel-desktop");
    double first = -1, second = -1;
    backend.advanceBy(2.0);
    service->heartbeat([&](double u) { first = u; });
    backend.runUntilIdle();
    backend.sleepMachine(std::chrono::hours(1));
    service->heartbeat([&](double u) { second = u; });
    backend.runUntilIdle();
    EXPECT_DOUBLE_EQ(first, 2.0);
    EXPECT_DOUBLE_EQ(second, 3602.0);

    // Engaged, a beat, then an hour asleep: only the time awake counts as silence.
    setManual(0, true);
    backend.runUntilIdle();
    service->heartbeat([](double) {});
    backend.runUntilIdle();
    backend.sleepMachine(std::chrono::hours(1));
    EXPECT_FALSE(service->watchdogSnapshot().shouldFailSafe(backend.suspendingClock().now()));
}

TEST_F(HelperServiceTest, LatestCommandingConnectionControlsAndOnlyItsDepartureFailsSafe) {
    start("intel-desktop");
    {
        xpc::ScopedCurrentConnection a(1);
        setRPM(0, 1500);
    }
    {
        xpc::ScopedCurrentConnection b(2);
        setManual(1, true);
    }
    {
        xpc::ScopedCurrentConnection a(1);
        restore();
        setManual(0, true);
        service->heartbeat([](double) {});
    }
    backend.runUntilIdle();
    EXPECT_EQ(service->controllingClient(), 1u);
    {
        xpc::ScopedCurrentConnection b(2);
        setManual(1, true);
    }
    backend.runUntilIdle();
    EXPECT_EQ(service->controllingClient(), 2u);

    service->clientDisconnected(1);
    backend.runUntilIdle();
    EXPECT_EQ(lines(log::Level::Default, "ignoring disconnect from a connection that never held fan control"), 1u);
    EXPECT_EQ(mac->readKey("F1Md"), 1);

    service->clientDisconnected(2);
    service->clientDisconnected(2);  // interruption, then invalidation
    backend.runUntilIdle();
    EXPECT_FALSE(service->controllingClient());
    EXPECT_EQ(lines(log::Level::Default, "client disconnected while manual engaged — failing safe"), 1u);
    EXPECT_EQ(mac->readKey("F0Md"), 0);
    EXPECT_EQ(mac->readKey("F1Md"), 0);
}

TEST_F(HelperServiceTest, DepartureAfterRestoreChangesNothing) {
    start("intel-desktop");
    {
        xpc::ScopedCurrentConnection a(7);
        setRPM(0, 1500);
    }
    restore();
    backend.runUntilIdle();
    mac->resetCounters();
    service->clientDisconnected(7);
    backend.runUntilIdle();
    EXPECT_FALSE(service->controllingClient());
    EXPECT_EQ(mac->exchangeCount(kWrite), 0u);
    EXPECT_EQ(lines(log::Level::Default, "client disconnected while manual engaged — failing safe"), 0u);
}

}  // namespace
}  // namespace quorvane::testing
