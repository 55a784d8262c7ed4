// The fail-safe decision on its own: strictly more than the timeout of silence while engaged,
// never while idle, engagement as a fresh beat.
#include "helper/heartbeat_watchdog.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <vector>

// GCC 12 takes the empty optional last beat, inlined into the table loop, for uninitialised.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"

namespace quorvane {
namespace {

const clock::Instant T{std::chrono::seconds(1000)};
clock::Instant at(double secondsAfterT) { return T + clock::seconds(secondsAfterT); }
constexpr double kJustOver = 1e-9;

TEST(HeartbeatWatchdogTest, FailsSafeOnlyAfterMoreThanTheTimeoutOfSilenceWhileEngaged) {
    enum Event { beat, engage, disengage };
    struct Row {
        const char* name;
        std::vector<std::pair<Event, double>> events;
        double asked;
        bool failSafe;
    };
    const Row rows[] = {
        {"never engaged, never beat", {}, 86400, false},
        {"beats while idle", {{beat, 0}}, 3 * 3600, false},
        {"engaged: exactly the timeout", {{engage, 0}}, 5.0, false},
        {"engaged: just over the timeout", {{engage, 0}}, 5.0 + kJustOver, true},
        {"a beat extends the window", {{engage, 0}, {beat, 4}}, 9.0, false},
        {"from the beat on", {{engage, 0}, {beat, 4}}, 9.0 + kJustOver, true},
        {"an early beat does not outlast engagement", {{beat, 0}, {engage, 10}}, 14, false},
        {"disengaged long ago", {{engage, 0}, {disengage, 3}}, 100, false},
        {"re-engaging restarts the window", {{engage, 0}, {beat, 2}, {disengage, 3}, {engage, 100}}, 104, false},
        {"and then runs out", {{engage, 0}, {beat, 2}, {disengage, 3}, {engage, 100}}, 106, true},
    };
    for (const auto& row : rows) {
        HeartbeatWatchdog w(5.0);
        for (const auto& [event, when] : row.events) {
            if (event == beat) w.recordBeat(at(when));
            else w.manualEngaged(event == engage, at(when));
        }
        EXPECT_EQ(w.shouldFailSafe(at(row.asked)), row.failSafe) << row.name;
    }
}

}  // namespace
}  // namespace quorvane
