// Edge cases of the fan-control service in mock time that the command and fail-safe suites leave
// open: the error object's exact shape, restores on Macs without "Ftst" or without fans, the
// firmware that never unlocks, target commands that meet a restore or a failing unlock, waiters
// that outlive a restore run by an earlier waiter, departures with no controller on record, and
// the watchdog's timing around ticks, sleep and handoffs.
#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "tests/helper/helper_service_fixture.hpp"
#include "helper/helper_service.hpp"
#include "platform/dispatch/mock_time.hpp"
#include "platform/iokit/iokit.hpp"
#include "platform/log/log.hpp"
#include "platform/xpc/connection.hpp"
#include "shared/smc/service_error.hpp"
#include "sim/machine_profile.hpp"
#include "sim/virtual_mac.hpp"
#include "smc/smc_error.hpp"
#include "smc/smc_kernel_bridge.hpp"

namespace quorvane {
namespace {

constexpr std::uint8_t kWrite = SMCCommand::writeBytes;
constexpr std::uint8_t kInfo = SMCCommand::readKeyInfo;

using Outcome = testing::Reply;
using namespace testing;

void expectServiceError(const OptionalError& error, std::int64_t code, const std::string& message) {
    ASSERT_TRUE(error.has_value()) << "expected error " << code << " \"" << message << "\"";
    EXPECT_EQ(error->domain, "com.quorvane.SMCService");
    EXPECT_EQ(error->code, code);
    ASSERT_EQ(error->userInfo.size(), 1u) << "the message is the only user-info entry";
    EXPECT_EQ(error->userInfo.begin()->first, kLocalizedDescriptionKey);
    EXPECT_EQ(error->userInfo.begin()->second, message);
}

std::string cancelRendering() {
    return makeServiceError(ServiceErrorCode::engageCanceled, "manual-mode engage canceled by restore").rendering();
}

class ServiceEdgeTest : public testing::HelperServiceTest {
protected:
    // A laptop whose firmware keeps refusing manual mode whatever "Ftst" says.
    static sim::MachineProfile refusingLaptop() {
        auto p = sim::MachineProfile::load("apple-silicon-laptop");
        p.firmware.unlockDelay = 1e6;
        return p;
    }
    std::size_t linesAt(log::Level level) const {
        std::size_t n = 0;
        for (const auto& r : logs->records()) n += r.level == level && r.category == "service";
        return n;
    }
};

using W = std::vector<std::pair<std::string, double>>;

// ---- the error object ----

TEST_F(ServiceEdgeTest, EveryReplyCodeCarriesTheDomainTheCodeAndOnlyTheMessage) {
    start("intel-desktop");
    auto rejected = setRPM(0, -5.0);
    auto outOfRange = setManual(-1, true);
    backend.runUntilIdle();
    expectServiceError(rejected->error, 1001, "rejected: non-finite or negative RPM -5.0");
    expectServiceError(outOfRange->error, 1002, "fan index -1 out of range");

    mac->failKey("F1Md", 0x01, kWrite);
    auto restoreFailed = restore();
    auto disengageFailed = setManual(0, false);
    backend.runUntilIdle();
    expectServiceError(restoreFailed->error, 1003, "restore failed: smcResult(1)");
    expectServiceError(disengageFailed->error, 1003, "disengage failed: smcResult(1)");

    mac->failKey("F0Tg", 0x86, kWrite);
    auto targetFailed = setRPM(0, 1500);
    backend.runUntilIdle();
    expectServiceError(targetFailed->error, 1003, "hardware write failed: notWritable(\"F0Tg\")");
    EXPECT_EQ(targetFailed->applied, 0.0);

    // 1004 reaches the client only inside the 1003 of the engage it cancelled.
    mac->clearFaults();
    mac->failKey("F0Md", 0x82, kWrite);
    auto cancelled = setManual(0, true);
    backend.advanceBy(0.5);
    restore();
    backend.runUntilIdle();
    expectServiceError(cancelled->error, 1003, "engage manual failed: " + cancelRendering());
    EXPECT_NE(cancelRendering().find("Code=1004"), std::string::npos);
    EXPECT_NE(cancelRendering().find("com.quorvane.SMCService"), std::string::npos);
}

// ---- restore ----

TEST_F(ServiceEdgeTest, RestoreWithNoFansWritesOnlyFtst) {
    auto profile = sim::MachineProfile::load("fanless-laptop");
    profile.hasForceTest = true;
    start(profile);
    auto r = restore();
    backend.runUntilIdle();
    EXPECT_FALSE(r->error);
    EXPECT_EQ(writePairs(), (W{{"Ftst", 0}}));
    EXPECT_EQ(mac->exchangeCount(kInfo, "F0Md"), 0u);
    EXPECT_FALSE(service->cachedFanCount()) << "a count of 0 is never cached";
}

TEST_F(ServiceEdgeTest, EachRestoreRaisesTheGenerationAndKeepsBoundsCountAndController) {
    start("intel-desktop");
    {
        xpc::ScopedCurrentConnection a(41);
        setRPM(0, 1500);
    }
    backend.runUntilIdle();
    const auto generation = service->engageGeneration();
    const auto lastBeat = service->watchdogSnapshot().lastBeat();
    mac->resetCounters();
    restore();
    restore();
    backend.runUntilIdle();
    EXPECT_EQ(service->engageGeneration(), generation + 2);
    EXPECT_EQ(service->controllingClient(), 41u);
    EXPECT_EQ(service->cachedFanCount(), 2);
    EXPECT_EQ(service->watchdogSnapshot().lastBeat(), lastBeat) << "a restore is not a heartbeat";
    EXPECT_FALSE(service->diagnosticUnlocked());
    auto again = setRPM(0, 1600);
    backend.runUntilIdle();
    EXPECT_EQ(again->applied, 1600.0);
    EXPECT_EQ(mac->exchangeCount(SMCCommand::readBytes, "F0Mn"), 0u) << "bounds survive restores";
}

// ---- manual engage on the laptop's firmware ----

TEST_F(ServiceEdgeTest, LaptopAcceptsManualModeOnlyAfterTheUnlockDelay) {
    start("apple-silicon-laptop");
    auto r = setManual(1, true);
    backend.advanceBy(3.4);
    EXPECT_EQ(r->calls, 0) << "refusals inside the window are neither replied nor logged";
    EXPECT_EQ(linesAt(log::Level::Error), 0u);
    EXPECT_GT(mac->exchangeCount(kWrite, "F1Md"), 30u);
    backend.advanceBy(0.3);
    ASSERT_EQ(r->calls, 1);
    EXPECT_FALSE(r->error);
    EXPECT_EQ(mac->readKey("F1Md"), 1.0);
    EXPECT_EQ(service->manualFans(), (std::set<long>{1}));
    EXPECT_EQ(writePairs(), (W{{"Ftst", 1}, {"F1Md", 1}}));
}

TEST_F(ServiceEdgeTest, FirmwareThatNeverUnlocksIsAnsweredAfterTheWindowWithEverythingHandedBack) {
    start(refusingLaptop());
    auto r = setManual(0, true);
    backend.advanceBy(9.9);
    EXPECT_EQ(r->calls, 0);
    backend.advanceBy(0.3);
    ASSERT_EQ(r->calls, 1);
    expectServiceError(r->error, 1003, "engage manual failed: smcResult(130)");
    EXPECT_EQ(writePairs(), (W{{"Ftst", 1}, {"F0Md", 0}, {"F1Md", 0}, {"Ftst", 0}}));
    EXPECT_TRUE(service->manualFans().empty());
    EXPECT_EQ(service->engageWaiterCount(), 0u);
    EXPECT_FALSE(service->watchdogSnapshot().manualControlEngaged());
    const auto attempts = mac->exchangeCount(kWrite, "F0Md");
    backend.advanceBy(30.0);
    EXPECT_EQ(mac->exchangeCount(kWrite, "F0Md"), attempts) << "no attempt outlives its window";
    EXPECT_EQ(backend.pendingJobs(), 0u);
}

// ---- target commands meeting failures and restores ----

TEST_F(ServiceEdgeTest, TargetCommandWhoseUnlockFailsRepliesHardwareWriteFailed) {
    start("apple-silicon-laptop");
    mac->failTransport(kIOReturnNotResponding, "Ftst");
    const std::string error = SMCError::callFailed(kIOReturnNotResponding).description();
    auto r = setRPM(0, 2500);
    backend.runUntilIdle();
    ASSERT_EQ(r->calls, 1);
    EXPECT_EQ(r->applied, 0.0);
    expectServiceError(r->error, 1003, "hardware write failed: " + error);
    EXPECT_EQ(lines(log::Level::Error, "setTargetRPM failed: " + error + "; failing safe"), 1u);
    EXPECT_EQ(mac->exchangeCount(kWrite, "F0Tg"), 0u);
    for (const auto& [key, value] : writePairs()) EXPECT_EQ(value, 0.0) << key << " must not be set manual";
    EXPECT_FALSE(service->diagnosticUnlocked());
}

TEST_F(ServiceEdgeTest, TargetCommandCancelledByARestoreFailsSafeWithTheCancellation) {
    start("apple-silicon-laptop");
    std::vector<std::string> order;
    Outcome target;
    service->setTargetRPM(0, 2500, [&](double applied, OptionalError e) {
        order.push_back("target");
        target = {1, applied, std::move(e)};
    });
    backend.advanceBy(1.0);
    service->restoreAutomaticControl([&](OptionalError) { order.push_back("restore"); });
    backend.advanceBy(10.0);
    EXPECT_EQ(order, (std::vector<std::string>{"restore", "target"}));
    expectServiceError(target.error, 1003, "hardware write failed: " + cancelRendering());
    EXPECT_EQ(target.applied, 0.0);
    EXPECT_EQ(lines(log::Level::Error, "setTargetRPM failed: " + cancelRendering() + "; failing safe"), 1u);
    EXPECT_EQ(mac->exchangeCount(kWrite, "F0Tg"), 0u);
}

TEST_F(ServiceEdgeTest, TargetsQueuedInOneWindowAreWrittenInArrivalOrder) {
    start("apple-silicon-laptop");
    auto first = setRPM(0, 2000);
    auto second = setRPM(0, 3000);
    backend.advanceBy(4.0);
    EXPECT_EQ(first->applied, 2000.0);
    EXPECT_EQ(second->applied, 3000.0);
    EXPECT_EQ(writePairs(), (W{{"Ftst", 1}, {"F0Md", 1}, {"F0Tg", 2000}, {"F0Tg", 3000}}));
    EXPECT_EQ(mac->readKey("F0Tg"), 3000.0);
}

// A waiter that fails safe restores every fan; the waiters after it must not be told the fan
// is manual when it no longer is.
TEST_F(ServiceEdgeTest, WaiterAfterAFailSafeInTheSameEngageIsNotToldItSucceeded) {
    start("intel-desktop");
    mac->failNext("F0Md", 1, 0x82, kWrite);  // keeps both commands waiting on one sequence
    mac->failNext("F0Tg", 1, 0x01, kWrite);  // the first target write fails, the second would not
    auto first = setRPM(0, 2000);
    auto second = setManual(0, true);
    auto third = setRPM(0, 2500);
    backend.advanceBy(0.5);
    ASSERT_EQ(first->calls, 1);
    ASSERT_EQ(second->calls, 1);
    ASSERT_EQ(third->calls, 1);
    expectServiceError(first->error, 1003, "hardware write failed: smcResult(1)");
    expectServiceError(second->error, 1003, "engage manual failed: " + cancelRendering());
    expectServiceError(third->error, 1003, "hardware write failed: " + cancelRendering());
    EXPECT_EQ(third->applied, 0.0);
    EXPECT_EQ(mac->readKey("F0Md"), 0.0);
    EXPECT_TRUE(service->manualFans().empty());
    EXPECT_FALSE(service->watchdogSnapshot().manualControlEngaged());
}

// ---- departures ----

TEST_F(ServiceEdgeTest, DepartureWithNoControllerOnRecordStillRestoresAnEngagedFan) {
    start("intel-desktop");
    setManual(0, true);  // delivered without a current connection: nobody is recorded
    backend.runUntilIdle();
    ASSERT_EQ(mac->readKey("F0Md"), 1.0);
    ASSERT_FALSE(service->controllingClient());
    service->clientDisconnected(9);
    backend.runUntilIdle();
    EXPECT_EQ(lines(log::Level::Default, "ignoring disconnect from a connection that never held fan control"), 0u);
    EXPECT_EQ(lines(log::Level::Default, "client disconnected while manual engaged — failing safe"), 1u);
    EXPECT_EQ(mac->readKey("F0Md"), 0.0);
    EXPECT_FALSE(service->controllingClient());
}

TEST_F(ServiceEdgeTest, IgnoredDepartureQueuesNothing) {
    start("intel-desktop");
    {
        xpc::ScopedCurrentConnection b(2);
        setRPM(0, 1500);
    }
    backend.runUntilIdle();
    mac->resetCounters();
    service->clientDisconnected(1);
    EXPECT_EQ(backend.pendingJobs(), 0u) << "a non-controller's departure never reaches the hardware queue";
    EXPECT_EQ(lines(log::Level::Default, "ignoring disconnect from a connection that never held fan control"), 1u);
    EXPECT_EQ(service->controllingClient(), 2u);
    EXPECT_EQ(mac->model().totalExchanges(), 0u);
}

// ---- watchdog timing ----

TEST_F(ServiceEdgeTest, AlreadyExpiredWatchdogActsAtTheFirstTickNotAtStart) {
    start("intel-desktop");
    setManual(0, true);
    backend.runUntilIdle();
    backend.advanceBy(30.0);  // long silent, but no timer yet
    service->startWatchdog();
    backend.runUntilIdle();
    EXPECT_EQ(lines(log::Level::Error, kHeartbeatLost), 0u);
    backend.advanceBy(1.24);
    EXPECT_EQ(lines(log::Level::Error, kHeartbeatLost), 0u);
    backend.advanceBy(0.02);
    EXPECT_EQ(lines(log::Level::Error, kHeartbeatLost), 1u);
    EXPECT_EQ(mac->readKey("F0Md"), 0.0);
}

TEST_F(ServiceEdgeTest, SleepDoesNotCountTowardTheTimeoutWhileTheTimerRuns) {
    start("intel-desktop");
    service->startWatchdog();
    setManual(0, true);
    backend.runUntilIdle();
    backend.advanceBy(4.0);
    service->heartbeat([](double) {});
    backend.runUntilIdle();
    backend.sleepMachine(std::chrono::hours(2));
    backend.advanceBy(4.9);
    EXPECT_EQ(lines(log::Level::Error, kHeartbeatLost), 0u) << "two hours asleep are not silence";
    EXPECT_EQ(mac->readKey("F0Md"), 1.0);
    backend.advanceBy(1.7);
    EXPECT_EQ(lines(log::Level::Error, kHeartbeatLost), 1u);
}

TEST_F(ServiceEdgeTest, TicksDuringASlowHandoffAddNothingAndNoEscalationFollowsIt) {
    start("intel-desktop");
    service->startWatchdog();
    setManual(0, true);
    backend.runUntilIdle();
    const auto opens = mac->openCount();
    backend.advanceBy(6.0);
    ASSERT_EQ(lines(log::Level::Error, kHeartbeatLost), 0u) << "a silence of exactly 5 s is not yet a failure";
    backend.stallQueue(service->hardwareQueue(), clock::seconds(3.5));
    backend.advanceBy(0.3);  // the tick at 6.25 s hands off to the stalled queue
    ASSERT_EQ(lines(log::Level::Error, kHeartbeatLost), 1u);
    EXPECT_TRUE(service->restoreHandoffInFlight());
    EXPECT_EQ(mac->readKey("F0Md"), 1.0);
    backend.advanceBy(3.0);  // ticks at 7.5 s and 8.75 s find the watchdog expired and the handoff in flight
    EXPECT_EQ(lines(log::Level::Error, kHeartbeatLost), 1u);
    EXPECT_TRUE(service->restoreHandoffInFlight());
    backend.advanceBy(0.3);  // the stall ends at 9.5 s and the handed-off restore runs
    EXPECT_FALSE(service->restoreHandoffInFlight());
    EXPECT_EQ(mac->readKey("F0Md"), 0.0);
    backend.advanceBy(20.0);  // the check at 10.25 s finds the work done
    EXPECT_EQ(logs->count(kEmergencyStart), 0u);
    EXPECT_EQ(mac->openCount(), opens);
    EXPECT_EQ(lines(log::Level::Error, kHeartbeatLost), 1u);
}

// ---- emergency restore on a Mac with "Ftst" ----

TEST_F(ServiceEdgeTest, StuckQueueOnTheLaptopHandsBackEveryModeKeyAndFtst) {
    start("apple-silicon-laptop");
    service->startWatchdog();
    setRPM(0, 2500);
    backend.advanceBy(4.0);
    ASSERT_EQ(mac->readKey("F0Md"), 1.0);
    ASSERT_EQ(mac->readKey("Ftst"), 1.0);
    backend.stallQueue(service->hardwareQueue(), std::chrono::hours(1));
    mac->resetCounters();
    const auto opens = mac->openCount();
    while (lines(log::Level::Error, kHeartbeatLost) == 0) backend.advanceBy(0.05);
    backend.advanceBy(3.9);
    EXPECT_EQ(logs->count(kEmergencyStart), 0u) << "the check waits 4 s after the handoff";
    backend.advanceBy(0.2);
    EXPECT_EQ(lines(log::Level::Fault, kEmergencyStart), 1u);
    EXPECT_EQ(lines(log::Level::Fault, kEmergencyCompleted), 1u);
    EXPECT_EQ(mac->openCount(), opens + 1);
    EXPECT_EQ(writePairs(), (W{{"F0Md", 0}, {"F1Md", 0}, {"Ftst", 0}}));
    EXPECT_EQ(service->emergencyRestoreEpoch(), 1);
}

TEST_F(ServiceEdgeTest, LastAttemptOfTheBudgetStillRestoresOnceOpensWorkAgain) {
    start("intel-desktop");
    service->startWatchdog();
    setManual(0, true);
    backend.runUntilIdle();
    mac->refuseOpen(kIOReturnNotPrivileged);
    backend.stallQueue(service->hardwareQueue(), std::chrono::hours(1));
    backend.advanceBy(26.2);  // the handoff at 6.25 s, then failed attempts at 10.25, 14.25, 18.25, 22.25 s
    ASSERT_EQ(lines(log::Level::Error, kHeartbeatLost), 1u);
    ASSERT_EQ(logs->count(kEmergencyOpenFailed), 4u);
    mac->refuseOpen(std::nullopt);
    const auto opens = mac->openCount();
    backend.advanceBy(0.1);  // the fifth attempt, at 26.25 s
    EXPECT_EQ(mac->openCount(), opens + 1);
    EXPECT_EQ(lines(log::Level::Fault, kEmergencyCompleted), 1u);
    EXPECT_EQ(logs->count(kEmergencyExhausted), 0u);
    EXPECT_EQ(mac->readKey("F0Md"), 0.0);
    EXPECT_FALSE(service->restoreHandoffInFlight());
    EXPECT_FALSE(service->watchdogSnapshot().manualControlEngaged());
    backend.advanceBy(30.0);
    EXPECT_EQ(lines(log::Level::Error, kHeartbeatLost), 1u) << "a completed escalation ends the fail-safe";
}

TEST_F(ServiceEdgeTest, ExitRestoreEscalationLeavesTheWatchdogAndHandoffAlone) {
    start("apple-silicon-laptop");
    setManual(0, true);
    backend.advanceBy(4.0);
    ASSERT_TRUE(service->watchdogSnapshot().manualControlEngaged());
    backend.stallQueue(service->hardwareQueue(), std::chrono::hours(1));
    const auto opens = mac->openCount();
    mac->resetCounters();
    service->exitRestore();
    EXPECT_EQ(mac->openCount(), opens + 1) << "exactly one emergency restore";
    EXPECT_EQ(lines(log::Level::Fault, kEmergencyStart), 1u);
    EXPECT_EQ(writePairs(), (W{{"F0Md", 0}, {"F1Md", 0}, {"Ftst", 0}}));
    EXPECT_TRUE(service->watchdogSnapshot().manualControlEngaged());
    EXPECT_FALSE(service->restoreHandoffInFlight());
    EXPECT_EQ(service->emergencyRestoreEpoch(), 1);
}

TEST_F(ServiceEdgeTest, ExitRestoreWithAnAnsweringQueueNeverOpensASecondConnection) {
    start("apple-silicon-laptop");
    const auto opens = mac->openCount();
    const auto before = backend.now();
    service->exitRestore();
    EXPECT_EQ(mac->openCount(), opens);
    EXPECT_LT(backend.now() - before, clock::seconds(2.0));
    EXPECT_EQ(writePairs(), (W{{"F0Md", 0}, {"F1Md", 0}, {"Ftst", 0}}));
    EXPECT_EQ(linesAt(log::Level::Fault), 0u);
}

}  // namespace
}  // namespace quorvane
