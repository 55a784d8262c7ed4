// Hand-backs that do not give up, in mock time: the back-off between retries, a release retried
// until a read-back confirms it (one failure line, one confirmation line), the watchdog kept
// engaged meanwhile, a command that takes a fan over from its pending release, the exit restore's
// budget, and a driver that cannot show a fan's mode.
#include <memory>

#include "helper/fan_release.hpp"
#include "shared/smc/four_cc.hpp"
#include "tests/helper/helper_service_fixture.hpp"

namespace quorvane::testing {
namespace {

// ---- the schedule ----

// The pause doubles from 0.1 s to its cap of 2 s; once nothing waits, the next failure starts again
// at 0.1 s. Driven with a scripted attempt: the retries come at the sums of the pauses.
TEST(FanReleaseScheduleTest, RetriesBackOffFromATenthOfASecondDoublingToTwoSeconds) {
    ReleaseBackoff backoff;
    std::vector<double> delays;
    for (int i = 0; i < 7; ++i) delays.push_back(backoff.next());
    EXPECT_EQ(delays, (std::vector<double>{0.1, 0.2, 0.4, 0.8, 1.6, 2.0, 2.0}));

    dispatch::MockTimeBackend backend;
    log::ScopedCapture logs;
    auto queue = backend.makeQueue("hw");
    const log::Logger logger("test", "service");
    const auto start = backend.now();
    std::vector<double> at;
    int failuresLeft = 7;
    FanRelease release(
        *queue, logger,
        [&](const std::set<long>& entries) {
            at.push_back(clock::toSeconds(backend.now() - start));
            ReleaseOutcome outcome;
            for (long e : entries) outcome[e] = --failuresLeft > 0 ? std::optional<std::string>("busy") : std::nullopt;
            return outcome;
        },
        nullptr);
    queue->async([&] { release.record({{0, "busy"}}); });
    backend.advanceBy(60.0);
    const std::vector<double> expected{0.1, 0.3, 0.7, 1.5, 3.1, 5.1, 7.1};
    ASSERT_EQ(at.size(), expected.size());
    for (std::size_t i = 0; i < at.size(); ++i) EXPECT_NEAR(at[i], expected[i], 1e-9) << "retry " << i;
    EXPECT_TRUE(release.pending().empty());
    EXPECT_EQ(backend.pendingJobs(), 0u) << "nothing is retried once confirmed";
    EXPECT_EQ(logs->count(log::Level::Error, "service", "restore fan 0 failed: busy — retrying"), 1u);
    EXPECT_EQ(logs->count(log::Level::Default, "service", "fan 0 back under automatic control after 8 attempts"), 1u);

    failuresLeft = 1;
    at.clear();
    const auto again = backend.now();
    queue->async([&] { release.record({{1, "busy"}}); });
    backend.advanceBy(10.0);
    ASSERT_EQ(at.size(), 1u);
    EXPECT_NEAR(at[0] - clock::toSeconds(again - start), 0.1, 1e-9) << "a new failure starts the schedule afresh";
}

// ---- the service ----

// Wraps the in-process connection; after each write of the chosen key to 0 it sets the key back to
// 1 itself while its count lasts: a firmware that accepts the hand-back but keeps the fan.
class KeepsTheFan final : public SMCTransport {
public:
    KeepsTheFan(sim::VirtualMac& mac, std::string key, int times) : mac_(mac), key_(std::move(key)), times_(times) {}
    SMCParamStruct call(const SMCParamStruct& input) override {
        auto output = inner_.call(input);
        if (input.data8 == SMCCommand::writeBytes && input.key == FourCC::code(key_) && times_ > 0 &&
            mac_.readKey(key_) == 0) {
            --times_;
            mac_.setKey(key_, 1);
        }
        return output;
    }

private:
    IOKitSMCTransport inner_;
    sim::VirtualMac& mac_;
    std::string key_;
    int times_;
};

class FanReleaseTest : public HelperServiceTest {
protected:
    const std::string kConfirmedAfter2 = "fan 0 back under automatic control after 2 attempts";
    // A profile of the virtual Mac, or a real Mac's table ("MacBookPro11_4").
    void engageBoth(const std::string& profile) {
        if (profile.rfind("Mac", 0) == 0) {
            start(table(profile));
        } else {
            start(profile);
        }
        service->startWatchdog();
        setRPM(0, 2000);
        setRPM(1, 2000);
        backend.advanceBy(4.0);
        service->heartbeat([](double) {});
        backend.runUntilIdle();
        ASSERT_FALSE(everyFanAutomatic());
    }
    bool fan0Automatic() { return mac->model().stateJSON()["fans"][0]["manual"] == false; }
};

// Every road's hand-back goes on until a read-back confirms it. Meanwhile the fan counts as engaged
// and the watchdog ticks; exactly one line says it failed and one that it is finally back.
TEST_F(FanReleaseTest, AHandBackIsRetriedUntilConfirmedAndLoggedOnceEachWay) {
    enum Road { restoreCommand, disableCommand, disconnect, silence };
    struct Row {
        const char* what;
        const char* profile;
        Road road;
        std::function<void()> fault;
        double clearedAfter;  // seconds watched after the hand-back; a longer fault then ends
        std::string failureLine, confirmedLine, replyError;
        std::vector<long> waiting = {0};  // the one "FS! " write held both fans
    };
    const Row rows[] = {
        {"mode write refused once", "intel-desktop", restoreCommand,
         [this] { mac->failNext("F0Md", 1, 0x01, kWrite); }, 0.15,
         "restore fan 0 failed: smcResult(1) — retrying", kConfirmedAfter2, "restore failed: smcResult(1)"},
        {"mode write refused once, disable", "intel-desktop", disableCommand,
         [this] { mac->failNext("F0Md", 1, 0x01, kWrite); }, 0.15,
         "restore fan 0 failed: smcResult(1) — retrying", kConfirmedAfter2, "disengage failed: smcResult(1)"},
        {"bitmask write refused once, departure", "MacBookPro11_4", disconnect,
         [this] { mac->failNext("FS! ", 1, 0x01, kWrite); }, 0.15,
         "restore fan 0 failed: smcResult(1) — retrying", kConfirmedAfter2, "", {0, 1}},
        {"write succeeds, firmware keeps the fan once", "intel-desktop", restoreCommand,
         [this] {
             service = std::make_shared<HelperService>(
                 std::make_shared<SMCKernelBridge>(std::make_unique<KeepsTheFan>(*mac, "F0Md", 1)), 10.0, 0.1, 5.0,
                 backend);
             service->startWatchdog();
             setRPM(0, 2000);
             backend.runUntilIdle();
         },
         0.15, "restore fan 0 failed: F0Md still reads 1.0 — retrying", kConfirmedAfter2,
         "restore failed: F0Md still reads 1.0"},
        {"controller refuses for a minute, silence", "intel-desktop", silence,
         [this] { mac->failKey("F0Md", 0x01, kWrite); }, 60.0, "restore fan 0 failed: smcResult(1) — retrying",
         "", ""},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        engageBoth(row.profile);
        row.fault();
        ASSERT_FALSE(fan0Automatic());
        std::shared_ptr<Reply> reply;
        switch (row.road) {
            case restoreCommand: reply = restore(); break;
            case disableCommand: reply = setManual(0, false); break;
            case disconnect: service->clientDisconnected(7); break;
            case silence: backend.advanceBy(6.6); break;
        }
        backend.runUntilIdle();
        if (reply) expectServiceError(reply->error, 1003, row.replyError);
        ASSERT_EQ(service->fansAwaitingRelease(), row.waiting);
        EXPECT_TRUE(service->watchdogSnapshot().manualControlEngaged()) << "a fan not yet back counts as engaged";
        EXPECT_EQ(lines(log::Level::Error, row.failureLine), 1u);
        const auto writesBefore = mac->exchangeCount(kWrite);
        backend.advanceBy(row.clearedAfter);
        if (row.clearedAfter > 1) {
            // Long trouble: still retrying (at most every 2 s), still engaged, the timer still ticking,
            // and nothing more said: the silence is not announced again at each tick.
            EXPECT_GE(mac->exchangeCount(kWrite) - writesBefore, 28u);
            EXPECT_LE(mac->exchangeCount(kWrite) - writesBefore, 36u) << "one try every 2 s, not one per tick too";
            EXPECT_TRUE(service->watchdogSnapshot().manualControlEngaged());
            EXPECT_GE(backend.pendingJobs(), 2u) << "the retry and the watchdog timer";
            EXPECT_EQ(linesAt(log::Level::Error), 2u) << "the lost heartbeat and the failure, once each";
            EXPECT_EQ(logs->count(kEmergencyStart), 0u) << "the hardware queue answers: no escalation";
            const int attempts = service->fanRelease().attempts(0);
            EXPECT_GE(attempts, 30);
            mac->clearFaults();
            backend.advanceBy(2.0);
            EXPECT_EQ(lines(log::Level::Default,
                            "fan 0 back under automatic control after " + std::to_string(attempts + 1) + " attempts"),
                      1u);
        } else {
            EXPECT_EQ(lines(log::Level::Default, row.confirmedLine), 1u);
        }
        EXPECT_TRUE(everyFanAutomatic());
        EXPECT_TRUE(fan0Automatic());
        EXPECT_TRUE(service->fansAwaitingRelease().empty());
        EXPECT_FALSE(service->watchdogSnapshot().manualControlEngaged());
        const auto errors = linesAt(log::Level::Error);
        backend.advanceBy(HelperService::handoffCheckDelay + HelperService::watchdogInterval);
        EXPECT_EQ(backend.pendingJobs(), 0u) << "no retry left, the timer parked";
        backend.advanceBy(60.0);
        EXPECT_EQ(linesAt(log::Level::Error), errors);
    }
}

// A command that engages a fan while its hand-back is still being retried becomes its owner: the
// retries leave that fan alone (on a force-bitmask Mac, they clear only the other fans' bits).
TEST_F(FanReleaseTest, AnEngageDuringAPendingReleaseTakesTheFanOver) {
    struct Row {
        const char* profile;
        const char* failingKey;
        double heldValue;  // what the failing key reads once fan 1 is held again and fan 0 is back
    };
    const Row rows[] = {{"intel-desktop", "F1Md", 1}, {"MacBookPro11_4", "FS! ", 2}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.profile);
        engageBoth(row.profile);
        mac->failNext(row.failingKey, 2, 0x01, kWrite);  // the restore and the first engage attempt
        restore();
        backend.runUntilIdle();
        ASSERT_FALSE(service->fansAwaitingRelease().empty());
        auto taken = setRPM(1, 1800);
        backend.advanceBy(5.0);
        ASSERT_EQ(taken->calls, 1);
        EXPECT_FALSE(taken->error);
        EXPECT_EQ(mac->readKey("F1Tg"), taken->applied);
        EXPECT_EQ(mac->readKey(row.failingKey), row.heldValue) << "the new owner keeps fan 1";
        EXPECT_TRUE(fan0Automatic());
        EXPECT_TRUE(service->fansAwaitingRelease().empty());
        EXPECT_EQ(lines(log::Level::Default, "fan 1 back under automatic control after 2 attempts"), 0u)
            << "fan 1 was taken over, not handed back";
        EXPECT_TRUE(service->watchdogSnapshot().manualControlEngaged());
        for (int beat = 0; beat < 4; ++beat) {
            service->heartbeat([](double) {});
            backend.advanceBy(2.5);
        }
        EXPECT_EQ(mac->model().stateJSON()["fans"][1]["manual"], true) << "no later retry hands it back";
    }
}

// At exit the restore goes on until every fan is confirmed or 12 s have passed, then names the fans
// left; a stuck hardware queue hands the rest of that budget to the emergency connection, which
// reads back and retries too.
TEST_F(FanReleaseTest, ExitRestoreRetriesWithinItsBudgetAndNamesTheFansLeft) {
    struct Row {
        const char* what;
        bool stuckQueue;
        double faultLasts;  // seconds; beyond the budget: for good
        std::vector<long> left;
        double tookAtLeast, tookAtMost;
    };
    const Row rows[] = {
        {"answering, refused for 5 s", false, 5.0, {}, 5.0, 7.1},
        {"answering, refused for good", false, 1e9, {0, 1}, 12.0, 12.0},
        {"stuck queue, refused for 5 s", true, 5.0, {}, 5.0, 7.1},
        {"stuck queue, refused for good", true, 1e9, {0, 1}, 10.0, 12.0},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        engageBoth("intel-desktop");
        for (const char* key : {"F0Md", "F1Md"}) mac->failKey(key, 0x01, kWrite);
        if (row.stuckQueue) backend.stallQueue(service->hardwareQueue(), std::chrono::hours(1));
        // The fault ends from a job of its own, which runs while the exit restore waits.
        auto clearer = backend.makeQueue("clearer");
        if (row.faultLasts < 100) clearer->asyncAfter(clock::seconds(row.faultLasts), [this] { mac->clearFaults(); });
        const auto before = backend.now();
        service->beginTermination();
        const auto left = service->exitRestore();
        const double took = clock::toSeconds(backend.now() - before);
        EXPECT_EQ(left, row.left);
        EXPECT_GE(took, row.tookAtLeast);
        EXPECT_LE(took, row.tookAtMost);
        EXPECT_EQ(everyFanAutomatic(), row.left.empty());
        // (The watchdog's own escalation may run meanwhile, as it would on its own queue.)
        EXPECT_EQ(logs->count(kEmergencyStart) > 0, row.stuckQueue);
        if (row.stuckQueue) {
            EXPECT_GE(logs->count(row.left.empty() ? kEmergencyCompleted
                                                   : "EMERGENCY restore: fans 0, 1 still under manual control"),
                      1u);
        }
    }
    EXPECT_EQ(FanRelease::describeFans({0, 1}), "fans 0, 1");
    EXPECT_EQ(FanRelease::describeFans({1}), "fan 1");
}

// macsmc-hwmon cannot show a fan's mode (a read of "F<n>Md" answers 0x85): the daemon's own record
// stands, so commands neither log a reset nor write the mode again; a hand-back is confirmed by its
// write; only a sleep the clocks saw counts as a reset.
TEST_F(FanReleaseTest, AModeTheDriverCannotShowLeavesTheDaemonsRecordStanding) {
    const std::string reengaged = "fan 0 was back under automatic control (reset by sleep or firmware) — re-engaging";
    start("apple-silicon-laptop");
    mac->failKey("F0Md", 0x85, SMCCommand::readBytes);
    auto first = setRPM(0, 2000);
    backend.advanceBy(5.0);
    ASSERT_EQ(first->applied, 2000);
    mac->resetCounters();
    for (int i = 0; i < 3; ++i) {
        setRPM(0, 2100 + i);
        backend.advanceBy(1.5);
    }
    EXPECT_EQ(lines(log::Level::Default, reengaged), 0u);
    EXPECT_EQ(writes(), (Strings{"F0Tg=2100", "F0Tg=2101", "F0Tg=2102"})) << "no mode write, no re-engage";

    mac->model().sleep(30);
    backend.sleepMachine(clock::seconds(30.0));
    auto woke = setRPM(0, 2200);
    backend.advanceBy(5.0);
    EXPECT_FALSE(woke->error);
    EXPECT_EQ(lines(log::Level::Default, reengaged), 1u) << "a sleep is a reset";

    auto restored = restore();
    backend.runUntilIdle();
    EXPECT_FALSE(restored->error) << "the write is the confirmation";
    EXPECT_TRUE(service->fanRelease().pending().empty());
    EXPECT_FALSE(service->watchdogSnapshot().manualControlEngaged());
    EXPECT_EQ(linesAt(log::Level::Error), 0u);
    EXPECT_TRUE(everyFanAutomatic());
}

}  // namespace
}  // namespace quorvane::testing
