// Fan commands in mock time: target writes, manual engage with its retry window and shared
// waiters, restores and the cancellations they cause, fan-count and bounds caching, and the
// error objects the client sees.
#include <cmath>
#include <tuple>

#include "tests/helper/helper_service_fixture.hpp"

namespace quorvane::testing {
namespace {

TEST_F(HelperServiceTest, RequestsAreClampedOrRejectedWithoutAnyWrite) {
    start("intel-desktop");
    auto high = setRPM(0, 9000), huge = setRPM(1, 1e300);
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
    auto first = setManual(0, true), second = setManual(0, true);
    backend.runUntilIdle();
    expectServiceError(first->error, 1002, "fan index 0 out of range");
    expectServiceError(second->error, 1002, "fan index 0 out of range");
    EXPECT_EQ(mac->exchangeCount(SMCCommand::readBytes, "FNum"), 2u);
    mac->setKey("FNum", 1);
    setRPM(5, 100);
    setRPM(5, 100);
    backend.runUntilIdle();
    EXPECT_EQ(mac->exchangeCount(SMCCommand::readBytes, "FNum"), 3u);
    EXPECT_EQ(service->cachedFanCount(), 1);
}

// Bounds are read once per fan, and again while unusable. A Mac without Ftst is probed once per
// restore cycle, and its absence is no restore failure.
TEST_F(HelperServiceTest, BoundsAreReadOncePerFanAndAMissingFtstIsProbedOncePerRestoreCycle) {
    start("intel-desktop");
    const std::string absent = "Ftst absent on this Mac — proceeding without diagnostic unlock";
    for (int i = 0; i < 3; ++i) setRPM(0, 1500 + i);
    setManual(1, true);
    backend.runUntilIdle();
    EXPECT_EQ(mac->exchangeCount(SMCCommand::readBytes, "F0Mn"), 1u);
    EXPECT_EQ(mac->exchangeCount(SMCCommand::readBytes, "F0Mx"), 1u);
    EXPECT_EQ(lines(log::Level::Default, absent), 1u);

    auto restored = restore();
    backend.runUntilIdle();
    EXPECT_FALSE(restored->error) << "an absent Ftst is not a restore failure";
    EXPECT_EQ(linesAt(log::Level::Error), 0u);
    setManual(0, true);
    backend.runUntilIdle();
    EXPECT_EQ(lines(log::Level::Default, absent), 2u);

    // Either condition failing alone keeps a pair out of the cache.
    for (auto [profile, min, max, text] : {std::tuple{"intel-desktop", 940.0, 0.0, "[940.0, 0.0]"},
                                           {"intel-desktop", 2000.0, 1500.0, "[2000.0, 1500.0]"},
                                           {"apple-silicon-laptop", -100.0, 0.0, "[-100.0, 0.0]"}}) {
        start(profile);
        mac->setKey("F1Mn", min);
        mac->setKey("F1Mx", max);
        for (int i = 0; i < 2; ++i) {
            auto r = setRPM(1, 1500);
            backend.runUntilIdle();
            expectServiceError(r->error, 1001, std::string("rejected: invalid hardware bounds ") + text);
        }
        EXPECT_EQ(mac->exchangeCount(SMCCommand::readBytes, "F1Mx"), 2u) << text;
    }
}

// On a command's way to manual mode the mode write is retried every 0.1 s for 10 s; refusals
// inside that window are neither replied nor logged. A window that runs out, or any hardware
// failure on the way, hands every fan back before the client hears of it.
TEST_F(HelperServiceTest, EngageRetriesInItsWindowAndAnyFailureHandsEveryFanBackBeforeTheReply) {
    const std::string notResponding = SMCError::callFailed(kIOReturnNotResponding).description();
    const auto desktop = sim::MachineProfile::load("intel-desktop");
    const auto laptop = sim::MachineProfile::load("apple-silicon-laptop");
    auto stubborn = laptop;
    stubborn.firmware.unlockDelay = 1e6;  // the firmware never accepts manual mode
    using Fault = std::function<void(sim::VirtualMac&)>;
    const Fault none = [](auto&) {};
    const Fault unlockFails = [](auto& m) { m.failTransport(kIOReturnNotResponding, "Ftst"); };
    struct Row {
        const char* name;
        const sim::MachineProfile& profile;
        double rpm;  // negative: an enable
        Fault fault;
        double silentUntil, answeredBy;  // no reply nor error line until silentUntil (if > 0)
        std::string error;               // empty: success
        std::string logged;              // the fail-safe's error line; empty: none
    };
    const Row rows[] = {
        {"three refusals", desktop, -1, [](auto& m) { m.failNext("F0Md", 3, 0x82, kWrite); }, 0.25, 0.35, "", ""},
        {"laptop unlock delay", laptop, -1, none, 3.4, 3.7, "", ""},
        // The attempt at exactly 10 s is the last.
        {"never accepted", desktop, -1, [](auto& m) { m.failKey("F0Md", 0x82, kWrite); }, 9.9, 10.05,
         "engage manual failed: smcResult(130)", ""},
        {"firmware never unlocks", stubborn, -1, none, 9.9, 10.05, "engage manual failed: smcResult(130)", ""},
        {"bounds read", laptop, 1500, [](auto& m) { m.failKey("F0Mn", 0x85, SMCCommand::readBytes); }, 0, 0.1,
         "hardware write failed: notReadable(\"F0Mn\")", "notReadable(\"F0Mn\")"},
        {"target write", laptop, 1500, [](auto& m) { m.failKey("F0Tg", 0x86, kWrite); }, 3.4, 3.7,
         "hardware write failed: notWritable(\"F0Tg\")", "notWritable(\"F0Tg\")"},
        {"unlock, target", laptop, 2500, unlockFails, 0, 0.1, "hardware write failed: " + notResponding, notResponding},
        {"unlock, enable", laptop, -1, unlockFails, 0, 0.1, "engage manual failed: " + notResponding, ""},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        start(row.profile);
        mac->setKey("F1Md", 1);  // left manual by someone: a restore takes it back too
        row.fault(*mac);
        auto r = row.rpm < 0 ? setManual(0, true) : setRPM(0, row.rpm);
        if (row.silentUntil > 0) {
            backend.advanceBy(row.silentUntil);
            EXPECT_EQ(r->calls, 0);
            EXPECT_EQ(linesAt(log::Level::Error), 0u);
        }
        backend.advanceBy(row.answeredBy - row.silentUntil);
        ASSERT_EQ(r->calls, 1);
        if (row.error.empty()) {
            EXPECT_FALSE(r->error);
            EXPECT_EQ(service->manualFans(), (std::set<long>{0}));
            EXPECT_EQ(mac->readKey("F0Md"), 1);
            continue;
        }
        expectServiceError(r->error, 1003, row.error);
        EXPECT_EQ(r->applied, row.rpm < 0 ? -1 : 0);
        EXPECT_EQ(lines(log::Level::Error, "setTargetRPM failed: " + row.logged + "; failing safe"),
                  row.logged.empty() ? 0u : 1u);
        EXPECT_TRUE(everyFanAutomatic());
        EXPECT_EQ(mac->exchangeCount(kWrite, "F0Tg"), row.name == std::string("target write") ? 1u : 0u);
        EXPECT_GE(mac->exchangeCount(kWrite, "F0Md"), row.silentUntil > 9 ? 95u : 0u) << "a try every 0.1 s";
        EXPECT_TRUE(service->manualFans().empty());
        EXPECT_EQ(service->engageWaiterCount(), 0u);
        EXPECT_FALSE(service->diagnosticUnlocked());
        EXPECT_FALSE(service->watchdogSnapshot().manualControlEngaged());
        const auto attempts = mac->exchangeCount(kWrite, "F0Md");
        backend.advanceBy(30.0);
        EXPECT_EQ(mac->exchangeCount(kWrite, "F0Md"), attempts) << "no attempt outlives its window";
        // A switch that cannot be reached is the one hand-back still being retried.
        const bool unreachableFtst = std::string(row.name).rfind("unlock", 0) == 0;
        EXPECT_EQ(service->fanRelease().pending(),
                  unreachableFtst ? std::set<long>{FanRelease::diagnosticSwitch} : std::set<long>{});
        EXPECT_EQ(backend.pendingJobs(), unreachableFtst ? 1u : 0u);
        // The unlock is tried again next time.
        mac->clearFaults();
        mac->resetCounters();
        setManual(1, true);
        backend.advanceBy(5.0);
        EXPECT_EQ(mac->exchangeCount(kWrite, "Ftst"), mac->hasKey("Ftst") ? 1u : 0u);
    }
}

// Each Mac holds a fan its own way: its bit of the force bitmask (read, set, written back) or its
// mode key, found once. A restore writes only the keys the Mac has, and says nothing of the
// others; a fan with neither key fails at once instead of retrying for the whole window.
TEST_F(HelperServiceTest, EngageAndRestoreUseOnlyTheKeysThisMacHas) {
    struct Row {
        const char* model;
        Strings engaged, restored;
    };
    const Row rows[] = {
        {"MacBookPro11_4", {"FS! =2", "F1Tg=3000", "FS! =3", "F0Tg=2500"}, {"FS! =0"}},
        {"MacBookPro15_1", {"F1Md=1", "F1Tg=3000", "F0Md=1", "F0Tg=2500"}, {"F0Md=0", "F1Md=0"}},
        {"Mac16_7_M4Pro_j616s", {"Ftst=1", "F1Md=1", "F1Tg=3000", "F0Md=1", "F0Tg=2500"},
         {"F0Md=0", "F1Md=0", "Ftst=0"}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.model);
        start(table(row.model));
        auto launch = restore();
        backend.runUntilIdle();
        EXPECT_FALSE(launch->error);
        mac->resetCounters();
        auto first = setRPM(1, 3000);
        backend.advanceBy(4.0);
        auto second = setRPM(0, 2500);
        backend.runUntilIdle();
        EXPECT_FALSE(first->error);
        EXPECT_FALSE(second->error);
        EXPECT_EQ(writes(), row.engaged);
        EXPECT_TRUE(mac->model().stateJSON()["fans"][1]["manual"]);
        mac->resetCounters();
        auto restored = restore();
        backend.runUntilIdle();
        EXPECT_FALSE(restored->error);
        EXPECT_EQ(writes(), row.restored);
        EXPECT_EQ(linesAt(log::Level::Error), 0u) << "no failure for a key this Mac never had";
        EXPECT_EQ(mac->exchangeCount(SMCCommand::readKeyInfo, "FS! ") + mac->exchangeCount(SMCCommand::readKeyInfo, "F0Md"),
                  0u) << "the keys are found once";
    }
    start(table("MacBookPro11_4"));
    mac->model().removeKey("FS! ");  // no way left to hold a fan
    auto none = setManual(0, true);
    backend.advanceBy(0.05);
    expectServiceError(none->error, 1003, "engage manual failed: keyNotFound(\"F0Md\")");
    EXPECT_EQ(linesAt(log::Level::Error), 0u);
}

// Each hand-back that goes wrong is logged once, however often the restore runs again meanwhile.
TEST_F(HelperServiceTest, RestoreWritesEveryModeKeyThenFtstAndReportsTheFirstError) {
    start("apple-silicon-laptop");
    mac->setKey("F0Md", 1);  // held, so a refused write leaves it held
    mac->failKey("F0Md", 0x01, kWrite);
    mac->failTransport(kIOReturnNotResponding, "Ftst");
    auto bad = restore(), disable = setManual(99, false);
    backend.runUntilIdle();
    expectServiceError(bad->error, 1003, "restore failed: smcResult(1)");
    expectServiceError(disable->error, 1003, "disengage failed: smcResult(1)");
    EXPECT_EQ(mac->exchangeCount(kWrite, "F1Md"), 2u) << "a failure must never stop the loop";
    EXPECT_EQ(lines(log::Level::Error, "restore fan 0 failed: smcResult(1) — retrying"), 1u);
    EXPECT_EQ(lines(log::Level::Error, "Ftst reset failed: callFailed(-536870163) — retrying"), 1u);
    EXPECT_EQ(linesAt(log::Level::Error), 2u);
}

// The firmware refuses manual mode for 3.5 s after the unlock; every request waiting meanwhile
// rides the one sequence. A waiter that fails safe restores every fan: the waiters after it in
// its sequence must not be told the fan is manual when it no longer is.
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

    mac->failNext("F1Md", 1, 0x82, kWrite);  // keeps all three waiting on one sequence
    mac->failNext("F1Tg", 1, 0x01, kWrite);  // the first target write fails, the second would not
    auto first = setRPM(1, 2000), second = setManual(1, true), third = setRPM(1, 2500);
    backend.advanceBy(0.5);
    expectServiceError(first->error, 1003, "hardware write failed: smcResult(1)");
    expectServiceError(second->error, 1003, "engage manual failed: " + kCancelled);
    expectServiceError(third->error, 1003, "hardware write failed: " + kCancelled);
    EXPECT_TRUE(everyFanAutomatic());
    EXPECT_TRUE(service->manualFans().empty());
}

// A restore cancels a running engage: the restore's own reply goes out first, then every waiter
// hears of the cancellation, restores once more and replies 1003. An emergency restore over the
// throwaway connection cancels it too, though nobody on the hardware queue asked for it; an
// attempt that comes due before that restore's own queued restore answers the waiters itself.
TEST_F(HelperServiceTest, RestoreDuringAnEngageCancelsItsWaitersAfterItsOwnReply) {
    struct Row {
        const char* name;
        bool emergency, behindADueAttempt;
        double rpm;                   // negative: an enable
        std::int64_t replyGeneration;  // restores done when the waiter hears, its own included
    };
    const Row rows[] = {
        {"restore, enable", false, false, -1, 2},
        {"restore, target", false, false, 2500, 2},
        {"emergency, enable", true, false, -1, 2},
        {"emergency, target", true, false, 2500, 2},
        {"emergency behind a due attempt", true, true, 2500, 1},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        start("apple-silicon-laptop");
        auto engage = row.rpm < 0 ? setManual(1, true) : setRPM(1, row.rpm);
        backend.advanceBy(1.0);
        if (row.behindADueAttempt) {
            backend.stallQueue(service->hardwareQueue(), clock::seconds(0.2));
            backend.advanceBy(0.15);  // the next attempt comes due and waits
        }
        const auto generation = service->engageGeneration();
        mac->resetCounters();
        auto restored = row.emergency ? nullptr : restore();
        ASSERT_TRUE(!row.emergency || service->emergencyRestore().opened);
        EXPECT_EQ(engage->calls, 0);
        backend.advanceBy(11.0);
        EXPECT_EQ(engage->calls, 1);
        EXPECT_LT(restored ? restored->order : 0, engage->order) << "the restore's own reply goes out first";
        expectServiceError(engage->error, 1003,
                           (row.rpm < 0 ? "engage manual failed: " : "hardware write failed: ") + kCancelled);
        EXPECT_EQ(engage->applied, row.rpm < 0 ? -1 : 0);
        EXPECT_EQ(engage->generation, generation + row.replyGeneration);
        EXPECT_EQ(service->engageGeneration(), generation + 2) << "one restore, then the waiter's own";
        for (const auto& w : mac->writeLog()) EXPECT_EQ(w.value, 0) << w.key << " written after the restore";
        EXPECT_TRUE(everyFanAutomatic());
        EXPECT_EQ(service->engageWaiterCount(), 0u);
        EXPECT_FALSE(service->diagnosticUnlocked());
    }
}

// A reset behind the daemon's back (a suspend, another program, the firmware) is found by the next
// command for the fan, which engages it again and gives it its target. A suspend is seen by the
// clocks at once; anything else by one read of the mode, at most once a second.
TEST_F(HelperServiceTest, TheNextCommandAfterAnOutsideResetEngagesTheFanAgainWithItsTarget) {
    const std::string reengaged = "fan 0 was back under automatic control (reset by sleep or firmware) — re-engaging";
    struct Row {
        const char* profile;
        bool suspend;  // else another program writes the mode key
        bool enableOnly;  // the next command is an enable, not a target
    };
    const Row rows[] = {{"apple-silicon-laptop", true, false}, {"apple-silicon-laptop", true, true},
                        {"intel-desktop", false, true}, {"intel-desktop", false, false}};
    for (const Row& row : rows) {
        SCOPED_TRACE(std::string(row.profile) + (row.suspend ? " suspend" : " reset") + (row.enableOnly ? " enable" : ""));
        start(row.profile);
        setRPM(0, 2000);
        backend.advanceBy(5.0);
        mac->resetCounters();
        setRPM(0, 2000);
        backend.runUntilIdle();
        EXPECT_EQ(mac->exchangeCount(SMCCommand::readBytes, "F0Md"), 1u);
        EXPECT_EQ(writes(), Strings{"F0Tg=2000"});
        if (row.suspend) {
            mac->model().sleep(30);
            backend.sleepMachine(clock::seconds(30.0));
        } else {
            mac->setKey("F0Md", 0);
            setRPM(0, 2000);
            backend.runUntilIdle();
            EXPECT_EQ(mac->exchangeCount(SMCCommand::readBytes, "F0Md"), 1u) << "checked at most once a second";
            backend.advanceBy(1.0);
        }
        auto r = row.enableOnly ? setManual(0, true) : setRPM(0, 2100);
        backend.advanceBy(5.0);
        EXPECT_EQ(r->calls, 1);
        EXPECT_FALSE(r->error);
        EXPECT_EQ(mac->readKey("F0Md"), 1);
        EXPECT_EQ(mac->readKey("F0Tg"), row.enableOnly ? 2000 : 2100);
        EXPECT_EQ(lines(log::Level::Default, reengaged), 1u);
    }
}

}  // namespace
}  // namespace quorvane::testing
