// The fail-safe decision on its own: strictly more than the timeout of silence while engaged,
// never while idle, engagement as a fresh beat.
#include "helper/heartbeat_watchdog.hpp"

#include <gtest/gtest.h>

#include <chrono>

namespace quorvane {
namespace {

const clock::Instant T{std::chrono::seconds(1000)};
clock::Instant at(double secondsAfterT) { return T + clock::seconds(secondsAfterT); }

TEST(HeartbeatWatchdogTest, IdleNeverFailsSafeWhateverTheLastBeat) {
    HeartbeatWatchdog w(5.0);
    EXPECT_FALSE(w.lastBeat());
    EXPECT_FALSE(w.shouldFailSafe(at(0)));
    EXPECT_FALSE(w.shouldFailSafe(at(86400)));
    w.recordBeat(at(0));
    EXPECT_EQ(w.lastBeat(), at(0)) << "beats are recorded while idle too";
    EXPECT_FALSE(w.shouldFailSafe(at(3 * 3600)));
}

TEST(HeartbeatWatchdogTest, EngagementCountsAsABeatAndExactlyTheTimeoutIsNotYetAFailure) {
    HeartbeatWatchdog w(5.0);
    w.manualEngaged(true, at(0));
    EXPECT_EQ(w.lastBeat(), at(0));
    EXPECT_FALSE(w.shouldFailSafe(at(5.0)));
    EXPECT_TRUE(w.shouldFailSafe(at(5.0) + clock::Duration(1)));
}

TEST(HeartbeatWatchdogTest, ABeatExtendsTheWindowFromItself) {
    HeartbeatWatchdog w(5.0);
    w.manualEngaged(true, at(0));
    w.recordBeat(at(4));
    EXPECT_FALSE(w.shouldFailSafe(at(6)));
    EXPECT_FALSE(w.shouldFailSafe(at(9)));
    EXPECT_TRUE(w.shouldFailSafe(at(9) + clock::Duration(1)));
}

TEST(HeartbeatWatchdogTest, DisengagingKeepsTheLastBeatAndReEngagingRestartsIt) {
    HeartbeatWatchdog w(5.0);
    w.manualEngaged(true, at(0));
    w.recordBeat(at(2));
    w.manualEngaged(false, at(3));
    EXPECT_FALSE(w.manualControlEngaged());
    EXPECT_EQ(w.lastBeat(), at(2));
    EXPECT_FALSE(w.shouldFailSafe(at(100)));
    w.manualEngaged(true, at(100));
    EXPECT_EQ(w.lastBeat(), at(100));
    EXPECT_FALSE(w.shouldFailSafe(at(104)));
    EXPECT_TRUE(w.shouldFailSafe(at(106)));
}

TEST(HeartbeatWatchdogTest, ChangedTimeoutAppliesToTheNextDecision) {
    HeartbeatWatchdog w(5.0);
    w.manualEngaged(true, at(0));
    w.timeout = 2.0;
    EXPECT_TRUE(w.shouldFailSafe(at(3)));
    HeartbeatWatchdog copy = w;
    copy.recordBeat(at(3));
    EXPECT_FALSE(copy.shouldFailSafe(at(4)));
    EXPECT_TRUE(w.shouldFailSafe(at(4))) << "a copy is a separate value";
}

}  // namespace
}  // namespace quorvane
