// The control history's rings: what an hour and a day keep, how minutes roll up, and what is
// refused or cut.
#include <cmath>

#include <gtest/gtest.h>

#include "control_history.hpp"

namespace quorvane::ctl {
namespace {

using Tick = ControlHistory::TickSample;

Tick tickAt(double t, float temperature, float rpm = 1200, bool alert = false) {
    Tick s;
    s.t = t;
    s.temperature = temperature;
    s.alertFiring = alert;
    s.fanCount = 1;
    s.fans[0] = {rpm, rpm + 100, 0.25f};
    return s;
}

TEST(ControlHistoryRing, KeepsTheLastHourOfTicksOldestFirstAfterWrappingAround) {
    ControlHistory h;
    const std::size_t total = ControlHistory::tickCapacity * 2 + 17;
    for (std::size_t i = 0; i < total; ++i) ASSERT_TRUE(h.record(tickAt(static_cast<double>(i), static_cast<float>(i % 90))));
    const auto all = h.ticksSince(0);
    ASSERT_EQ(all.size(), ControlHistory::tickCapacity);
    EXPECT_EQ(all.front().t, static_cast<double>(total - ControlHistory::tickCapacity));
    EXPECT_EQ(all.back().t, static_cast<double>(total - 1));
    for (std::size_t i = 1; i < all.size(); ++i) ASSERT_EQ(all[i].t, all[i - 1].t + 1);
    EXPECT_EQ(h.latest()->t, static_cast<double>(total - 1));
    // A window takes only the ticks at or after its start.
    EXPECT_EQ(h.ticksSince(static_cast<double>(total - 600)).size(), 600u);
}

TEST(ControlHistoryRing, KeepsADayOfMinutesAndDropsTheOldest) {
    ControlHistory h;
    const std::size_t minutes = ControlHistory::minuteCapacity + 5;
    for (std::size_t m = 0; m <= minutes; ++m) ASSERT_TRUE(h.record(tickAt(static_cast<double>(m) * 60, 50)));
    EXPECT_EQ(h.minuteCount(), ControlHistory::minuteCapacity);
    const auto all = h.minutesSince(0);
    // Every whole minute kept, then the current one so far.
    ASSERT_EQ(all.size(), ControlHistory::minuteCapacity + 1);
    EXPECT_EQ(all.front().t, 5.0 * 60);  // minutes 0…1444 closed, the first five dropped
    EXPECT_EQ(all.back().t, static_cast<double>(minutes) * 60);
    EXPECT_EQ(all.back().ticks, 1);
}

TEST(ControlHistoryMinutes, RollUpMinimumMeanAndMaximumAndSkipAbsentReadings) {
    ControlHistory h;
    ASSERT_TRUE(h.record(tickAt(120, 40, 1000)));
    ASSERT_TRUE(h.record(tickAt(130, ControlHistory::absent, 2000, true)));
    ASSERT_TRUE(h.record(tickAt(150, 60, 3000)));
    ASSERT_TRUE(h.record(tickAt(179.5, 50, 2000, true)));
    ASSERT_TRUE(h.record(tickAt(180, 99, 9999)));  // the next minute: closes the one before
    const auto minutes = h.minutesSince(0);
    ASSERT_EQ(minutes.size(), 2u);
    const auto& m = minutes[0];
    EXPECT_EQ(m.t, 120);
    EXPECT_EQ(m.ticks, 4);
    EXPECT_EQ(m.alertTicks, 2);
    EXPECT_EQ(m.fanCount, 1);
    EXPECT_FLOAT_EQ(m.temperature.min, 40);
    EXPECT_FLOAT_EQ(m.temperature.mean, 50);
    EXPECT_FLOAT_EQ(m.temperature.max, 60);
    EXPECT_FLOAT_EQ(m.fans[0].actualRPM.min, 1000);
    EXPECT_FLOAT_EQ(m.fans[0].actualRPM.mean, 2000);
    EXPECT_FLOAT_EQ(m.fans[0].actualRPM.max, 3000);
    EXPECT_FLOAT_EQ(m.fans[0].targetRPM.mean, 2100);
    EXPECT_FLOAT_EQ(m.fans[0].duty.max, 0.25f);
    EXPECT_TRUE(std::isnan(m.fans[1].actualRPM.mean));
    EXPECT_EQ(minutes[1].t, 180);
    EXPECT_FLOAT_EQ(minutes[1].temperature.max, 99);
}

TEST(ControlHistoryMinutes, AMinuteWithoutAnyReadingHasNoTemperature) {
    ControlHistory h;
    ASSERT_TRUE(h.record(tickAt(0, ControlHistory::absent)));
    const auto m = h.minutesSince(0);
    ASSERT_EQ(m.size(), 1u);
    EXPECT_TRUE(std::isnan(m[0].temperature.min));
    EXPECT_TRUE(std::isnan(m[0].temperature.mean));
    EXPECT_TRUE(std::isnan(m[0].temperature.max));
}

TEST(ControlHistoryBounds, RefusesTimeGoingBackAndCutsWhatDoesNotFit) {
    ControlHistory h;
    ASSERT_TRUE(h.record(tickAt(100, 50)));
    EXPECT_FALSE(h.record(tickAt(99, 50)));
    Tick nan = tickAt(100, 50);
    nan.t = std::nan("");
    EXPECT_FALSE(h.record(nan));
    EXPECT_EQ(h.tickCount(), 1u);

    Tick many = tickAt(101, std::numeric_limits<float>::infinity(), std::nanf(""));
    many.fanCount = 9;
    for (auto& f : many.fans) f = {1, 2, 0.5f};
    many.fans[0].actualRPM = std::numeric_limits<float>::infinity();
    ASSERT_TRUE(h.record(many));
    const auto s = *h.latest();
    EXPECT_EQ(s.fanCount, ControlHistory::maxFans);
    EXPECT_TRUE(std::isnan(s.temperature));
    EXPECT_TRUE(std::isnan(s.fans[0].actualRPM));
    EXPECT_EQ(s.fans[3].targetRPM, 2);
    EXPECT_LE(ControlHistory::bytes(), 512u * 1024);
}

}  // namespace
}  // namespace quorvane::ctl
