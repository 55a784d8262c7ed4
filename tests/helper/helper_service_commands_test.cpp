// Fan commands in mock time: target writes, manual engage with its retry window and shared
// waiters, restores and the cancellations they cause, fan-count and bounds caching, heartbeats,
// the version, and the error objects the client sees.
#include <cmath>

#include "tests/helper/helper_service_fixture.hpp"
#include "platform/xpc/connection.hpp"
#include "smc/smc_kernel_bridge.hpp"

namespace quorvane::testing {
namespace {

constexpr std::uint8_t kWrite = SMCCommand::writeBytes;
using Strings = std::vector<std::string>;

TEST_F(HelperServiceTest, RequestsAreClampedOrRejectedWithoutAnyWrite) {
    start("intel-desktop");
    auto high = setRPM(0, 9000);
    auto huge = setRPM(1, 1e300);
    backend.runUntilIdle();
    EXPECT_EQ(high->applied, 2700);
    EXPECT_EQ(mac->readKey("F0Tg"), 2700);
    EXPECT_EQ(huge->applied, 2000);

    struct Row {
        bool enable;
        std::int64_t fan;
        double rpm;
        std::int64_t code;
        std::string message;
    };
    const Row rows[] = {
        {false, 1, std::nan(""), 1001, "rejected: non-finite or negative RPM nan"},
        {false, 1, -5.0, 1001, "rejected: non-finite or negative RPM -5.0"},
        {false, -1, 2000, 1002, "fan index -1 out of range"},
        {false, 2, 2000, 1002, "fan index 2 out of range"},
        {true, -1, 0, 1002, "fan index -1 out of range"},
        {true, 2, 0, 1002, "fan index 2 out of range"},
    };
    for (const auto& row : rows) {
        mac->resetCounters();
        auto r = row.enable ? setManual(row.fan, true) : setRPM(row.fan, row.rpm);
        backend.runUntilIdle();
        ASSERT_EQ(r->calls, 1) << row.message;
        EXPECT_EQ(r->applied, row.enable ? -1 : 0) << row.message;
        expectServiceError(r->error, row.code, row.message);
        EXPECT_EQ(mac->exchangeCount(kWrite), 0u) << row.message;
    }
}

// With no fans a restore writes only Ftst; a zero count is asked again, a positive one cached.
TEST_F(HelperServiceTest, FanlessRestoreWritesOnlyFtstAndOnlyAPositiveFanCountIsCached) {
    auto profile = sim::MachineProfile::load("fanless-laptop");
    profile.hasForceTest = true;
    start(profile);
    auto restored = restore();
    backend.runUntilIdle();
    EXPECT_FALSE(restored->error);
    EXPECT_EQ(writes(), (Strings{"Ftst=0"}));
    EXPECT_FALSE(service->cachedFanCount());
    mac->resetCounters();
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

// Every hardware failure on a command's way hands every fan back before the client hears of it.
TEST_F(HelperServiceTest, HardwareFailureInACommandFailsSafeBeforeReplying) {
    const std::string notResponding = SMCError::callFailed(kIOReturnNotResponding).description();
    struct Row {
        const char* name;
        double rpm;  // negative: an enable
        std::function<void(sim::VirtualMac&)> fault;
        std::string message;
        std::string logged;  // empty: nothing at error level
    };
    const Row rows[] = {
        {"bounds read", 1500, [](auto& m) { m.failKey("F0Mn", 0x85, SMCCommand::readBytes); },
         "hardware write failed: notReadable(\"F0Mn\")", "notReadable(\"F0Mn\")"},
        {"target write", 1500, [](auto& m) { m.failKey("F0Tg", 0x86, kWrite); },
         "hardware write failed: notWritable(\"F0Tg\")", "notWritable(\"F0Tg\")"},
        {"unlock, target", 2500, [](auto& m) { m.failTransport(kIOReturnNotResponding, "Ftst"); },
         "hardware write failed: " + notResponding, notResponding},
        {"unlock, enable", -1, [](auto& m) { m.failTransport(kIOReturnNotResponding, "Ftst"); },
         "engage manual failed: " + notResponding, ""},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        logs->clear();
        start("apple-silicon-laptop");
        mac->setKey("F1Md", 1);  // left manual by someone: the restore takes it back too
        row.fault(*mac);
        auto r = row.rpm < 0 ? setManual(0, true) : setRPM(0, row.rpm);
        backend.advanceBy(5.0);
        ASSERT_EQ(r->calls, 1);
        expectServiceError(r->error, 1003, row.message);
        EXPECT_EQ(r->applied, row.rpm < 0 ? -1 : 0);
        if (!row.logged.empty()) {
            EXPECT_EQ(lines(log::Level::Error, "setTargetRPM failed: " + row.logged + "; failing safe"), 1u);
        }
        EXPECT_TRUE(everyFanAutomatic());
        EXPECT_EQ(mac->exchangeCount(kWrite, "F0Tg"), row.name == std::string("target write") ? 1u : 0u);
        EXPECT_TRUE(service->manualFans().empty());
        EXPECT_FALSE(service->diagnosticUnlocked());
        EXPECT_FALSE(service->watchdogSnapshot().manualControlEngaged());
        // The unlock is tried again next time.
        mac->clearFaults();
        mac->resetCounters();
        setManual(1, true);
        backend.advanceBy(5.0);
        EXPECT_EQ(mac->exchangeCount(kWrite, "Ftst"), 1u);
        TearDown();
    }
}

TEST_F(HelperServiceTest, RestoreWritesEveryModeKeyThenFtstAndReportsTheFirstError) {
    start("apple-silicon-laptop");
    auto ok = restore();
    backend.runUntilIdle();
    EXPECT_FALSE(ok->error);
    EXPECT_EQ(writes(), (Strings{"F0Md=0", "F1Md=0", "Ftst=0"}));

    mac->failKey("F0Md", 0x01, kWrite);
    mac->failTransport(kIOReturnNotResponding, "Ftst");
    auto bad = restore();
    auto disable = setManual(99, false);
    backend.runUntilIdle();
    expectServiceError(bad->error, 1003, "restore failed: smcResult(1)");
    expectServiceError(disable->error, 1003, "disengage failed: smcResult(1)");
    EXPECT_EQ(mac->exchangeCount(kWrite, "F1Md"), 3u) << "a failure must never stop the loop";
    EXPECT_EQ(lines(log::Level::Error, "restore fan 0 failed: smcResult(1)"), 2u);
    EXPECT_EQ(lines(log::Level::Error, "Ftst reset failed: callFailed(-536870163)"), 2u);
}

TEST_F(HelperServiceTest, MacWithoutFtstProbesItOncePerRestoreCycle) {
    start("intel-desktop");
    const std::string absent = "Ftst absent on this Mac — proceeding without diagnostic unlock";
    setManual(0, true);
    setManual(1, true);
    backend.runUntilIdle();
    EXPECT_EQ(lines(log::Level::Default, absent), 1u);
    auto r = restore();
    backend.runUntilIdle();
    EXPECT_FALSE(r->error) << "an absent Ftst is not a restore failure";
    EXPECT_EQ(logs->count(log::Level::Error, "service", "Ftst reset failed: keyNotFound(\"Ftst\")"), 0u);
    setManual(0, true);
    backend.runUntilIdle();
    EXPECT_EQ(lines(log::Level::Default, absent), 2u);
}

// The mode write is retried every 0.1 s for 10 s; refusals inside the window are neither
// replied nor logged, and a window that runs out hands every fan back.
TEST_F(HelperServiceTest, EngageWindowRetriesUntilAcceptedOrRunsOut) {
    struct Row {
        const char* name;
        const char* profile;
        double unlockDelay;  // the firmware's refusal after "Ftst"; 0: the profile's own
        int refusals;        // injected refusals of F0Md; -1: for ever
        double silentUntil, answeredBy;
        std::string error;  // empty: success
    };
    const Row rows[] = {
        {"three refusals", "intel-desktop", 0, 3, 0.25, 0.35, ""},
        {"laptop unlock delay", "apple-silicon-laptop", 0, 0, 3.4, 3.7, ""},
        {"never accepted", "intel-desktop", 0, -1, 9.9, 10.2, "engage manual failed: smcResult(130)"},
        {"firmware never unlocks", "apple-silicon-laptop", 1e6, 0, 9.9, 10.2, "engage manual failed: smcResult(130)"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        logs->clear();
        auto profile = sim::MachineProfile::load(row.profile);
        if (row.unlockDelay > 0) profile.firmware.unlockDelay = row.unlockDelay;
        start(profile);
        mac->setKey("F1Md", 1);
        if (row.refusals > 0) mac->failNext("F0Md", row.refusals, 0x82, kWrite);
        if (row.refusals < 0) mac->failKey("F0Md", 0x82, kWrite);
        auto r = setManual(0, true);
        backend.advanceBy(row.silentUntil);
        EXPECT_EQ(r->calls, 0);
        EXPECT_EQ(linesAt(log::Level::Error), 0u);
        backend.advanceBy(row.answeredBy - row.silentUntil);
        ASSERT_EQ(r->calls, 1);
        if (row.error.empty()) {
            EXPECT_FALSE(r->error);
            EXPECT_EQ(service->manualFans(), (std::set<long>{0}));
            EXPECT_EQ(mac->readKey("F0Md"), 1);
        } else {
            expectServiceError(r->error, 1003, row.error);
            EXPECT_TRUE(everyFanAutomatic());
            EXPECT_GE(mac->exchangeCount(kWrite, "F0Md"), 95u);
            EXPECT_TRUE(service->manualFans().empty());
            EXPECT_EQ(service->engageWaiterCount(), 0u);
            EXPECT_FALSE(service->watchdogSnapshot().manualControlEngaged());
            const auto attempts = mac->exchangeCount(kWrite, "F0Md");
            backend.advanceBy(30.0);
            EXPECT_EQ(mac->exchangeCount(kWrite, "F0Md"), attempts) << "no attempt outlives its window";
            EXPECT_EQ(backend.pendingJobs(), 0u);
        }
        TearDown();
    }
}

// The firmware refuses manual mode for 3.5 s after the unlock; every request waiting meanwhile
// rides the one sequence.
TEST_F(HelperServiceTest, RequestsForOneFanShareOneSequenceAndAnswerInArrivalOrder) {
    start("apple-silicon-laptop");
    std::vector<int> order;
    service->setManualControl(0, true, [&](OptionalError e) { order.push_back(e ? -1 : 1); });
    service->setTargetRPM(0, 2000, [&](double, OptionalError e) { order.push_back(e ? -2 : 2); });
    service->setManualControl(0, true, [&](OptionalError e) { order.push_back(e ? -3 : 3); });
    service->setTargetRPM(0, 3000, [&](double, OptionalError e) { order.push_back(e ? -4 : 4); });
    backend.advanceBy(1.0);
    EXPECT_LE(mac->exchangeCount(kWrite, "F0Md"), 11u) << "one attempt every 0.1 s, not one sequence per request";
    backend.advanceBy(4.0);
    EXPECT_EQ(order, (std::vector<int>{1, 2, 3, 4}));
    EXPECT_EQ(writes(), (Strings{"Ftst=1", "F0Md=1", "F0Tg=2000", "F0Tg=3000"}));
    EXPECT_EQ(lines(log::Level::Default, "Ftst diagnostic mode engaged (M3/M4 unlock)"), 1u);

    // Already manual: no mode write, but the watchdog is refreshed.
    mac->resetCounters();
    backend.advanceBy(3.0);
    auto r = setManual(0, true);
    backend.runUntilIdle();
    EXPECT_FALSE(r->error);
    EXPECT_EQ(mac->exchangeCount(kWrite, "F0Md"), 0u);
    EXPECT_EQ(*service->watchdogSnapshot().lastBeat(), backend.now());
    mac->resetCounters();
    auto warm = setRPM(0, 3500);
    backend.runUntilIdle();
    EXPECT_EQ(warm->applied, 3500);
    EXPECT_EQ(mac->model().totalExchanges(), 1u) << "a warm target write is one exchange";
}

// A restore cancels a running engage: the restore's own reply goes out first, then every waiter
// hears of the cancellation, restores once more and replies 1003. An emergency restore over the
// throwaway connection cancels it too, though nobody on the hardware queue asked for it.
TEST_F(HelperServiceTest, RestoreDuringAnEngageCancelsItsWaitersAfterItsOwnReply) {
    struct Row {
        const char* name;
        bool emergency;
        double rpm;  // negative: an enable
        std::string error;
    };
    const Row rows[] = {
        {"restore, enable", false, -1, "engage manual failed: " + kCancelled},
        {"restore, target", false, 2500, "hardware write failed: " + kCancelled},
        {"emergency, enable", true, -1, "engage manual failed: " + kCancelled},
        {"emergency, target", true, 2500, "hardware write failed: " + kCancelled},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        logs->clear();
        start("apple-silicon-laptop");
        std::vector<std::string> order;
        Reply engage;
        auto record = [&](double applied, OptionalError e) {
            order.push_back("engage");
            engage = {engage.calls + 1, applied, std::move(e)};
        };
        if (row.rpm < 0) {
            service->setManualControl(1, true, [&](OptionalError e) { record(-1, std::move(e)); });
        } else {
            service->setTargetRPM(1, row.rpm, record);
        }
        backend.advanceBy(1.0);
        const auto generation = service->engageGeneration();
        mac->resetCounters();
        if (row.emergency) {
            ASSERT_TRUE(service->emergencyRestore());
            order.push_back("restore");
        } else {
            service->restoreAutomaticControl([&](OptionalError) { order.push_back("restore"); });
        }
        backend.advanceBy(11.0);
        EXPECT_EQ(order, (Strings{"restore", "engage"}));
        EXPECT_EQ(engage.calls, 1);
        expectServiceError(engage.error, 1003, row.error);
        EXPECT_EQ(engage.applied, row.rpm < 0 ? -1 : 0);
        EXPECT_EQ(service->engageGeneration(), generation + 2) << "one restore, then the waiter's own";
        for (const auto& w : mac->writeLog()) EXPECT_EQ(w.value, 0) << w.key << " written after the restore";
        EXPECT_EQ(service->engageWaiterCount(), 0u);
        EXPECT_FALSE(service->diagnosticUnlocked());
        TearDown();
    }
}

// A waiter that fails safe restores every fan; the waiters after it must not be told the fan
// is manual when it no longer is.
TEST_F(HelperServiceTest, WaiterAfterAFailSafeInTheSameEngageIsNotToldItSucceeded) {
    start("intel-desktop");
    mac->failNext("F0Md", 1, 0x82, kWrite);  // keeps all three waiting on one sequence
    mac->failNext("F0Tg", 1, 0x01, kWrite);  // the first target write fails, the second would not
    auto first = setRPM(0, 2000);
    auto second = setManual(0, true);
    auto third = setRPM(0, 2500);
    backend.advanceBy(0.5);
    expectServiceError(first->error, 1003, "hardware write failed: smcResult(1)");
    expectServiceError(second->error, 1003, "engage manual failed: " + kCancelled);
    expectServiceError(third->error, 1003, "hardware write failed: " + kCancelled);
    EXPECT_EQ(mac->readKey("F0Md"), 0.0);
    EXPECT_TRUE(service->manualFans().empty());
}

// The version never waits for the hardware queue; heartbeats do, and their uptime counts sleep.
TEST_F(HelperServiceTest, VersionAtOnceAndUptimeOnTheContinuousClock) {
    start("intel-desktop");
    backend.advanceBy(2.0);
    backend.sleepMachine(std::chrono::hours(1));
    backend.stallQueue(service->hardwareQueue(), clock::seconds(60));
    std::string version;
    service->helperVersion([&](std::string v) { version = std::move(v); });
    EXPECT_EQ(version, "1.2.2");
    double uptime = -1;
    service->heartbeat([&](double u) { uptime = u; });
    backend.advanceBy(1.0);
    EXPECT_EQ(uptime, -1) << "heartbeats wait for the hardware queue";
    backend.advanceBy(59.0);
    EXPECT_DOUBLE_EQ(uptime, 3662.0);
}

}  // namespace
}  // namespace quorvane::testing
