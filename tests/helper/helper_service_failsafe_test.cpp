// The fail-safe roads in mock time: departures, the watchdog timer and its handoff, the emergency
// restore over a throwaway connection, the exit-time restore and termination; then real threads:
// every method at once, and a service dropped while a watchdog tick runs.
#include <atomic>
#include <future>
#include <mutex>
#include <thread>

#include "tests/helper/helper_service_fixture.hpp"

namespace quorvane::testing {
namespace {

// The latest connection to send a fan command controls, and only its departure fails safe. A
// command recorded right after the departing controller's identity was compared must survive:
// the compare and the clear are one step (the hook runs the command at the first release of
// watchdogLock inside clientDisconnected).
TEST_F(HelperServiceTest, LatestCommandingConnectionControlsAndOnlyItsDepartureFailsSafe) {
    start("intel-desktop");
    as(1, [&] { setRPM(0, 1500); });
    bool fired = false;
    service->watchdogLockForTesting().afterUnlock = [&] {
        if (!std::exchange(fired, true)) as(2, [&] { setManual(1, true); });
    };
    service->clientDisconnected(1);
    service->watchdogLockForTesting().afterUnlock = nullptr;
    ASSERT_TRUE(fired);
    EXPECT_EQ(service->controllingClient(), 2u) << "the departure erased a controller recorded meanwhile";
    as(1, [&] { setRPM(0, 1500); });
    EXPECT_EQ(service->controllingClient(), 1u);
    as(2, [&] { setManual(1, true); });
    as(1, [&] { restore(); });
    as(1, [&] { service->heartbeat([](double) {}); });
    EXPECT_EQ(service->controllingClient(), 2u) << "restores and heartbeats do not take control";
    as(2, [&] { setManual(1, true); });  // manual again after that restore
    backend.runUntilIdle();
    EXPECT_EQ(lines(log::Level::Default, kFailingSafe), 1u) << "the first departure was the controller's";

    service->clientDisconnected(1);
    EXPECT_EQ(backend.pendingJobs(), 0u) << "a non-controller's departure never reaches the hardware queue";
    EXPECT_EQ(lines(log::Level::Default, kIgnoring), 1u);
    EXPECT_EQ(mac->readKey("F1Md"), 1);

    service->clientDisconnected(2);
    backend.runUntilIdle();
    mac->resetCounters();
    service->clientDisconnected(2);  // interruption, then invalidation: nothing engaged any more
    backend.runUntilIdle();
    EXPECT_FALSE(service->controllingClient());
    EXPECT_EQ(lines(log::Level::Default, kFailingSafe), 2u);
    EXPECT_TRUE(everyFanAutomatic());
    EXPECT_EQ(mac->exchangeCount(kWrite), 0u);

    // Engaged with nobody on record (no current connection): any departure fails safe.
    setManual(0, true);
    service->clientDisconnected(9);
    backend.runUntilIdle();
    EXPECT_EQ(lines(log::Level::Default, kFailingSafe), 3u);
    EXPECT_TRUE(everyFanAutomatic());
}

// ---- the watchdog timer ----

class FailSafeTest : public HelperServiceTest {
protected:
    void engage(const std::string& profile = "intel-desktop") {
        start(profile);
        service->startWatchdog();
        engagedAt = backend.now();
        setRPM(0, 2000);
        backend.advanceBy(4.0);
        ASSERT_EQ(mac->readKey("F0Md"), 1);
        mac->setKey("F1Md", 1);
    }
    // Advances until the watchdog hands off; returns the time from the engagement.
    double untilHeartbeatLost() {
        while (lines(log::Level::Error, kHeartbeatLost) == 0 && backend.now() - engagedAt < clock::seconds(20)) {
            backend.advanceBy(0.05);
        }
        return clock::toSeconds(backend.now() - engagedAt);
    }
    clock::Instant engagedAt;
};

// One Mac of each way to hold a fan (the force bitmask "FS! ", per-fan mode keys, mode keys behind
// the "Ftst" unlock): every fail-safe road ends with the Mac's own keys at automatic and without
// an error line for a key the Mac never had.
TEST_F(FailSafeTest, EveryFailSafeRoadHandsTheFansBackOnEachMechanism) {
    enum Road { disconnect, silence, targetWriteFails, hungQueue, restart, restartHung };
    for (const char* model : {"MacBookPro11_4", "MacBookPro15_1", "Mac16_7_M4Pro_j616s"}) {
        for (Road road : {disconnect, silence, targetWriteFails, hungQueue, restart, restartHung}) {
            SCOPED_TRACE(std::string(model) + ", road " + std::to_string(road));
            const auto profile = table(model);
            start(profile);
            const bool bitmask = mac->hasKey("FS! ");
            if (road == restart || road == restartHung) {
                // An earlier run died holding both fans.
                for (const char* key : {"FS! ", "F0Md", "F1Md"}) {
                    if (mac->hasKey(key)) mac->setKey(key, bitmask ? 3 : 1);
                }
                ASSERT_FALSE(everyFanAutomatic());
                if (road == restartHung) backend.stallQueue(service->hardwareQueue(), std::chrono::hours(1));
                service->exitRestore();
                EXPECT_TRUE(everyFanAutomatic());
                EXPECT_EQ(lines(log::Level::Fault, kEmergencyCompleted), road == restartHung ? 1u : 0u);
                EXPECT_EQ(linesAt(log::Level::Error), 0u);
                continue;
            }
            service->startWatchdog();
            as(1, [&] { setRPM(1, 2200), setRPM(0, 2500); });
            for (int beat = 0; beat < 2; ++beat) {  // past a firmware unlock, and the fan has followed
                backend.advanceBy(4.5);
                service->heartbeat([](double) {});
            }
            backend.runUntilIdle();
            ASSERT_EQ(mac->model().stateJSON()["fans"][0]["manual"], true);
            ASSERT_EQ(mac->model().stateJSON()["fans"][1]["manual"], true);
            EXPECT_EQ(mac->readKey(bitmask ? "FS! " : "F1Md"), bitmask ? 3 : 1);
            EXPECT_NEAR(mac->readKey("F1Ac"), 2200, 100) << "the fan follows its target while held";
            std::size_t errors = 0;
            switch (road) {
                case disconnect: service->clientDisconnected(1); break;
                case silence: backend.advanceBy(7.0), errors = 1; break;
                case targetWriteFails:
                    mac->failKey("F1Tg", 0x01, kWrite);
                    as(1, [&] { setRPM(1, 3000); });
                    errors = 1;
                    break;
                case hungQueue:
                    backend.stallQueue(service->hardwareQueue(), std::chrono::hours(1));
                    backend.advanceBy(6.6 + 4.5);
                    errors = 1;
                    EXPECT_EQ(lines(log::Level::Fault, kEmergencyCompleted), 1u);
                    break;
                default: break;
            }
            backend.advanceBy(0.5);
            EXPECT_TRUE(everyFanAutomatic());
            EXPECT_EQ(linesAt(log::Level::Error), errors) << "only the road's own line";
            EXPECT_EQ(mac->model().stateJSON()["fans"][1]["manual"], false);
            backend.advanceBy(30.0);
            EXPECT_NEAR(mac->readKey("F1Ac"), profile.fans[1].autoSpeed, 1) << "back at the firmware's own speed";
        }
    }
}

// Heartbeats keep manual control; silence is measured on the suspending clock from the last
// beat (two hours asleep do not count), and fails safe once. The uptime a heartbeat replies
// counts that sleep; heartbeats wait for the hardware queue, the version never does.
TEST_F(FailSafeTest, HeartbeatsHoldAndSilenceFailsSafeOnceBetweenFiveAndSixPointFiveFiveSecondsAwake) {
    engage();
    const auto started = engagedAt;
    for (int i = 0; i < 20; ++i) {
        service->heartbeat([](double) {});
        backend.advanceBy(2.5);
    }
    EXPECT_EQ(lines(log::Level::Error, kHeartbeatLost), 0u);
    EXPECT_EQ(mac->readKey("F0Md"), 1);
    service->heartbeat([](double) {});
    backend.runUntilIdle();
    engagedAt = backend.now();
    backend.sleepMachine(std::chrono::hours(2));
    const double after = untilHeartbeatLost();
    EXPECT_GT(after, 5.0);
    EXPECT_LE(after, 6.55);
    EXPECT_TRUE(everyFanAutomatic());
    backend.advanceBy(3600.0);
    EXPECT_EQ(lines(log::Level::Error, kHeartbeatLost), 1u) << "silence without engagement is harmless";
    EXPECT_EQ(logs->count(kEmergencyStart), 0u) << "the hardware queue answered: no escalation";
    backend.stallQueue(service->hardwareQueue(), clock::seconds(1));
    double uptime = -1;
    service->heartbeat([&](double u) { uptime = u; });
    std::string version;
    service->helperVersion([&](std::string v) { version = std::move(v); });
    EXPECT_EQ(version, "1.2.2");
    backend.advanceBy(0.9);
    EXPECT_EQ(uptime, -1) << "heartbeats wait for the hardware queue";
    backend.advanceBy(0.1);
    EXPECT_NEAR(uptime, clock::toSeconds(backend.now() - started) + 7200.0, 1e-6);
}

// An engagement already long silent when the timer starts is acted on at its first tick, not at
// the start. Then, engaged again at a tick: a silence of exactly 5 s is not yet a failure; the
// ticks during a slow handoff add nothing, and no escalation follows once the handoff completes.
TEST_F(FailSafeTest, ExpiredWatchdogActsAtTheFirstTickAndTicksDuringASlowHandoffAddNothing) {
    start("intel-desktop");
    setManual(0, true);
    backend.advanceBy(30.0);  // long silent, but no timer yet
    service->startWatchdog();  // ticks at 30 s + 1.25 s * k
    backend.advanceBy(1.24);
    EXPECT_EQ(lines(log::Level::Error, kHeartbeatLost), 0u);
    backend.advanceBy(0.02);
    EXPECT_EQ(lines(log::Level::Error, kHeartbeatLost), 1u);
    EXPECT_EQ(mac->readKey("F0Md"), 0.0);

    backend.advanceBy(1.24);  // the tick at 32.5 s
    setManual(0, true);
    backend.runUntilIdle();
    const auto opens = mac->openCount();
    backend.advanceBy(6.0);
    ASSERT_EQ(lines(log::Level::Error, kHeartbeatLost), 1u) << "a silence of exactly 5 s is not yet a failure";
    backend.stallQueue(service->hardwareQueue(), clock::seconds(3.5));
    backend.advanceBy(0.3);  // the tick at 38.75 s hands off to the stalled queue
    ASSERT_EQ(lines(log::Level::Error, kHeartbeatLost), 2u);
    EXPECT_TRUE(service->restoreHandoffInFlight());
    backend.advanceBy(3.0);  // ticks at 40 s and 41.25 s find the handoff in flight
    EXPECT_EQ(lines(log::Level::Error, kHeartbeatLost), 2u);
    EXPECT_EQ(mac->readKey("F0Md"), 1.0);
    backend.advanceBy(0.3);  // the stall ends at 42 s and the handed-off restore runs
    EXPECT_FALSE(service->restoreHandoffInFlight());
    EXPECT_EQ(mac->readKey("F0Md"), 0.0);
    backend.advanceBy(20.0);  // the check at 42.75 s finds the work done
    EXPECT_EQ(logs->count(kEmergencyStart), 0u);
    EXPECT_EQ(mac->openCount(), opens);
}

// Nothing is scheduled while no fan is engaged, so an idle daemon never wakes. An engagement
// starts the ticks: silence is acted on 5.0 to 6.55 s after the last beat or the engagement,
// also when it falls into a series still running from an earlier one; with the fans back, the
// timer parks again after its next tick.
TEST_F(FailSafeTest, WatchdogIsParkedWhileNothingIsEngagedAndKeepsItsBoundsOnceEngaged) {
    struct Row {
        const char* what;
        double reengageAfter;  // after a restore 2 s into the engagement; negative: none
        double beatAfter;      // negative: none
    };
    const Row rows[] = {
        {"engaged, silent", -1, -1},
        {"a heartbeat 4 s after the engagement", -1, 4.0},
        {"engaged again before the timer parked", 0.2, -1},
        {"engaged again after the timer parked", 1.0, -1},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        start("intel-desktop");
        service->startWatchdog();
        backend.advanceBy(3600.0);
        EXPECT_EQ(backend.pendingJobs(), 0u) << "nothing may wake an idle daemon";
        setManual(0, true);
        backend.runUntilIdle();
        engagedAt = backend.now();
        if (row.reengageAfter >= 0) {
            backend.advanceBy(2.0);
            restore();
            backend.advanceBy(row.reengageAfter);
            EXPECT_EQ(backend.pendingJobs(), row.reengageAfter < 0.5 ? 1u : 0u) << "the tick at 2.5 s parks";
            setManual(0, true);
            backend.runUntilIdle();
            engagedAt = backend.now();
        }
        if (row.beatAfter >= 0) {
            backend.advanceBy(row.beatAfter);
            service->heartbeat([](double) {});
            backend.runUntilIdle();
            engagedAt = backend.now();
        }
        const double after = untilHeartbeatLost();
        EXPECT_GT(after, 5.0);
        EXPECT_LE(after, 6.55);
        backend.advanceBy(HelperService::handoffCheckDelay + HelperService::watchdogInterval);
        EXPECT_TRUE(everyFanAutomatic());
        EXPECT_EQ(backend.pendingJobs(), 0u) << "parked again once the fans are back";
        EXPECT_EQ(lines(log::Level::Error, kHeartbeatLost), 1u);
    }
}

// ---- escalation over a throwaway connection ----

// The hardware queue is stuck; 4 s after the handoff and then every 4 s the watchdog queue
// tries a throwaway connection, five times at most.
TEST_F(FailSafeTest, StuckHardwareQueueEscalatesToAThrowawayConnection) {
    struct Row {
        const char* profile;
        int refusedOpens;
        Strings written;  // by the successful attempt
    };
    const Row rows[] = {
        {"intel-desktop", 0, {"F0Md=0", "F1Md=0"}},
        {"apple-silicon-laptop", 0, {"F0Md=0", "F1Md=0", "Ftst=0"}},
        {"intel-desktop", 4, {"F0Md=0", "F1Md=0"}},
        {"intel-desktop", 5, {}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(std::string(row.profile) + ", refused " + std::to_string(row.refusedOpens));
        engage(row.profile);
        backend.stallQueue(service->hardwareQueue(), std::chrono::hours(1));
        mac->resetCounters();
        if (row.refusedOpens > 0) mac->refuseOpen(kIOReturnNotPrivileged);
        const auto opens = mac->openCount();
        untilHeartbeatLost();
        EXPECT_TRUE(service->restoreHandoffInFlight());
        backend.advanceBy(3.9);
        EXPECT_EQ(logs->count(kEmergencyStart), 0u) << "the check waits 4 s after the handoff";
        if (row.written.empty()) {
            backend.advanceBy(16.1 + 1.25);  // past the fifth attempt and the tick after it
            EXPECT_EQ(logs->count(log::Level::Fault, "service", kEmergencyOpenFailed), 5u);
            EXPECT_EQ(logs->count(log::Level::Fault, "service", kEmergencyStart), 5u);
            EXPECT_EQ(logs->count(log::Level::Fault, "service", kEmergencyExhausted), 1u);
            EXPECT_TRUE(service->watchdogSnapshot().manualControlEngaged());
            EXPECT_EQ(lines(log::Level::Error, kHeartbeatLost), 2u) << "the next tick starts a new handoff";
            continue;
        }
        backend.advanceBy(4.0 * row.refusedOpens - 0.1 * (row.refusedOpens > 0));
        EXPECT_EQ(logs->count(log::Level::Fault, "service", kEmergencyOpenFailed), std::size_t(row.refusedOpens));
        mac->refuseOpen(std::nullopt);
        backend.advanceBy(0.2);
        EXPECT_EQ(logs->count(log::Level::Fault, "service", kEmergencyStart), std::size_t(row.refusedOpens + 1));
        EXPECT_EQ(lines(log::Level::Fault, kEmergencyCompleted), 1u);
        EXPECT_EQ(mac->openCount(), opens + 1);
        EXPECT_EQ(writes(), row.written);
        EXPECT_EQ(service->emergencyRestoreEpoch(), 1);
        EXPECT_FALSE(service->restoreHandoffInFlight());
        EXPECT_FALSE(service->watchdogSnapshot().manualControlEngaged());
        backend.advanceBy(30.0);
        EXPECT_EQ(lines(log::Level::Error, kHeartbeatLost), 1u) << "a completed escalation ends the fail-safe";
    }
}

TEST_F(FailSafeTest, EmergencyRestoreUsesTheCachedCountElseTheFreshOneElseEight) {
    struct Row {
        const char* profile;
        bool cacheFirst;
        double fnumAfter;
        long expectedFans;
    };
    const Row rows[] = {
        {"intel-desktop", true, 5, 2},    // cached 2 wins over a fresh 5
        {"intel-desktop", false, 5, 5},   // nothing cached: the fresh count
        {"fanless-laptop", false, 0, 8},  // neither: eight fans
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.expectedFans);
        start(row.profile);
        if (row.cacheFirst) service->resolvedFanCount();
        mac->setKey("FNum", row.fnumAfter);
        mac->failKey("F0Md", 0x01, kWrite);  // one failed write stops nothing
        mac->resetCounters();
        EXPECT_TRUE(service->emergencyRestore().opened);
        for (long i = 0; i < 10; ++i) {
            EXPECT_EQ(mac->exchangeCount(SMCCommand::readKeyInfo, FanKey::mode(i)), i < row.expectedFans ? 1u : 0u)
                << "fan " << i;
        }
        EXPECT_EQ(mac->exchangeCount(SMCCommand::readKeyInfo, "Ftst"), 1u) << "Ftst is still attempted";
        EXPECT_EQ(logs->count(kEmergencyCompleted), 1u);
        EXPECT_EQ(service->emergencyRestoreEpoch(), 1);
    }
}

// The escalation's connection opens only on a later attempt, after the hardware queue has come
// back and finished its handed-off restore; an engage started in that gap must still be
// answered, and the queue's bookkeeping must not go on believing in the old state.
TEST_F(FailSafeTest, LateEmergencyRestoreAnswersAnEngageStartedMeanwhileAndResetsTheBookkeeping) {
    engage("apple-silicon-laptop");
    mac->refuseOpen(kIOReturnNotPrivileged);
    backend.stallQueue(service->hardwareQueue(), clock::seconds(8.0));  // until 12 s after the engagement
    untilHeartbeatLost();                                               // the handoff at 6.25 s
    backend.advanceBy(4.1);                                             // the first attempt fails at 10.25 s
    ASSERT_EQ(logs->count(kEmergencyOpenFailed), 1u);
    backend.advanceBy(1.7);  // 12 s: the queue is back and restores
    ASSERT_FALSE(service->restoreHandoffInFlight());
    auto pending = setManual(1, true);  // unlocks, then waits for the firmware
    backend.advanceBy(0.5);
    ASSERT_TRUE(service->diagnosticUnlocked());
    ASSERT_EQ(pending->calls, 0);
    mac->refuseOpen(std::nullopt);
    backend.advanceBy(2.0);  // the second attempt at 14.25 s opens
    ASSERT_EQ(logs->count(kEmergencyCompleted), 1u);
    EXPECT_EQ(pending->calls, 1);
    expectServiceError(pending->error, 1003, "engage manual failed: " + kCancelled);
    EXPECT_EQ(service->engageWaiterCount(), 0u);
    EXPECT_TRUE(service->manualFans().empty());
    EXPECT_FALSE(service->diagnosticUnlocked()) << "the throwaway connection wrote Ftst 0";
    EXPECT_TRUE(everyFanAutomatic());
    mac->resetCounters();
    auto next = setRPM(1, 2000);
    backend.advanceBy(5.0);
    EXPECT_EQ(next->applied, 2000);
    EXPECT_EQ(writes(), (Strings{"Ftst=1", "F1Md=1", "F1Tg=2000"})) << "the next engage unlocks again";
}

// A command held up by a hung hardware queue while the watchdog restored over a throwaway
// connection: when the queue comes back it must not report success for fans handed back (an
// already manual fan is written at once; another goes through a mode write first).
TEST_F(FailSafeTest, CommandThatOutlastsAnEmergencyRestoreNeverReportsSuccess) {
    for (bool target : {true, false}) {
        SCOPED_TRACE(target ? "target" : "manual");
        engage();
        backend.stallQueue(service->hardwareQueue(), clock::seconds(12.0));
        auto held = target ? setRPM(0, 3000) : setManual(1, true);
        untilHeartbeatLost();
        backend.advanceBy(4.1);
        ASSERT_EQ(service->emergencyRestoreEpoch(), 1);
        backend.advanceBy(10.0);  // the queue is back: the command, then the queued restore
        ASSERT_EQ(held->calls, 1);
        expectServiceError(held->error, 1003, (target ? "hardware write failed: " : "engage manual failed: ") + kCancelled);
        EXPECT_EQ(held->applied, target ? 0.0 : -1.0);
        EXPECT_TRUE(everyFanAutomatic());
        EXPECT_TRUE(service->manualFans().empty());
        auto next = target ? setRPM(0, 2500) : setManual(1, true);
        backend.advanceBy(1.0);
        EXPECT_FALSE(next->error) << "a command sent after the emergency restore goes through";
    }
}

// ---- exit and termination ----

// The exit path as the process takes it: termination begins, then the restore runs on the
// hardware queue, or once over the throwaway connection when that queue does not answer in 2 s.
// From then on fan commands reply without touching the SMC; handing fans back still works.
TEST_F(HelperServiceTest, ExitRestoreUsesTheHardwareQueueOrEscalatesOnceAfterTwoSeconds) {
    for (bool stuck : {false, true}) {
        SCOPED_TRACE(stuck ? "stuck" : "answering");
        start("apple-silicon-laptop");
        setManual(0, true);
        backend.advanceBy(4.0);
        if (stuck) backend.stallQueue(service->hardwareQueue(), std::chrono::hours(1));
        mac->resetCounters();
        const auto opens = mac->openCount();
        const auto before = backend.now();
        service->beginTermination();
        service->exitRestore();
        EXPECT_EQ(backend.now() - before < clock::seconds(2.0), !stuck);
        EXPECT_EQ(writes(), (Strings{"F0Md=0", "F1Md=0", "Ftst=0"}));
        EXPECT_EQ(mac->openCount(), opens + stuck) << "exactly one emergency restore, only when stuck";
        EXPECT_EQ(linesAt(log::Level::Fault), stuck ? 3u : 0u);
        EXPECT_EQ(lines(log::Level::Fault,
                        "exit restore: hw queue did not respond within 2.000000s — escalating to the emergency SMC "
                        "connection"),
                  stuck ? 1u : 0u);
        EXPECT_EQ(service->emergencyRestoreEpoch(), stuck ? 1 : 0);
        EXPECT_EQ(service->watchdogSnapshot().manualControlEngaged(), stuck) << "no watchdog change when escalating";
        EXPECT_FALSE(service->restoreHandoffInFlight());
        if (stuck) continue;
        mac->resetCounters();
        auto target = setRPM(1, 1500), enable = setManual(1, true);
        backend.runUntilIdle();
        expectServiceError(target->error, 1003, "hardware write failed: the helper is exiting");
        EXPECT_EQ(target->applied, 0.0);
        expectServiceError(enable->error, 1003, "engage manual failed: the helper is exiting");
        EXPECT_EQ(mac->model().totalExchanges(), 0u);
        auto disable = setManual(0, false);
        backend.runUntilIdle();
        EXPECT_FALSE(disable->error) << "handing fans back still works";
        EXPECT_EQ(writes(), (Strings{"F0Md=0", "F1Md=0", "Ftst=0"}));
    }
}

// ---- real threads ----

// Every method from several threads at once while restores happen. Run under ThreadSanitizer too.
TEST_F(RealThreadsTest, AllMethodsFromManyThreadsReplyExactlyOnce) {
    constexpr int kThreads = 4, kRounds = 50;
    std::atomic<int> replies{0}, duplicates{0};
    // Each reply gets its own flag: a second call of the same reply counts as a duplicate.
    auto once = [&] {
        return [&, seen = std::make_shared<std::atomic<bool>>(false)](auto&&...) {
            duplicates += seen->exchange(true);
            ++replies;
        };
    };
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            xpc::ScopedCurrentConnection current(static_cast<std::uint64_t>(t + 1));
            for (int i = 0; i < kRounds; ++i) {
                service->setTargetRPM(i % 2, 1000 + i, once());
                service->setManualControl(i % 3, i % 2 == 0, once());
                service->heartbeat(once());
                service->helperVersion(once());
                if (i % 5 == 0) service->restoreAutomaticControl(once());
                if (i % 7 == 0) service->clientDisconnected(static_cast<std::uint64_t>(t + 1));
            }
        });
    }
    for (auto& th : threads) th.join();
    const int expected = kThreads * kRounds * 4 + kThreads * ((kRounds + 4) / 5);
    EXPECT_TRUE(eventually([&] { return replies == expected; })) << replies << " of " << expected;
    EXPECT_EQ(duplicates.load(), 0);
    service->exitRestore();
    service.reset();  // before the counters the replies use go away
    EXPECT_EQ(mac->readKey("F0Md"), 0);
    EXPECT_EQ(mac->readKey("F1Md"), 0);
}

// A tick in flight holds its timer and the timer its queue: dropping the service must wait for
// the tick rather than free what it is using. The tick is held inside its first critical
// section until the destructor has had every chance to return.
TEST_F(RealThreadsTest, DroppingTheServiceWaitsForATickInFlight) {
    std::promise<void> entered, release, stored;
    auto released = release.get_future().share();
    std::atomic<bool> destroyed{false}, sawDestroyed{false};
    std::once_flag once;
    // The watchdog queue's thread, learnt up front: the hook runs on every thread that takes the
    // lock, and must not touch a queue the dropper may be destroying.
    std::promise<std::thread::id> watchdogThreadPromise;
    service->watchdogQueue().async([&] { watchdogThreadPromise.set_value(std::this_thread::get_id()); });
    const std::thread::id watchdogThread = watchdogThreadPromise.get_future().get();
    service->watchdogLockForTesting().afterUnlock = [&, watchdogThread] {
        if (std::this_thread::get_id() != watchdogThread) return;
        std::call_once(once, [&] {
            entered.set_value();
            released.wait();
            sawDestroyed = destroyed.load();
            stored.set_value();
        });
    };
    service->startWatchdog();
    service->setManualControl(0, true, [](OptionalError) {});  // the timer ticks only while engaged
    entered.get_future().wait();  // the first tick, 1.25 s after the engagement
    std::thread dropper([&, s = std::move(service)]() mutable {
        s.reset();
        destroyed = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    release.set_value();
    dropper.join();
    ASSERT_EQ(stored.get_future().wait_for(std::chrono::seconds(30)), std::future_status::ready);
    EXPECT_FALSE(sawDestroyed.load()) << "the service went away under a running tick";
}

}  // namespace
}  // namespace quorvane::testing
