// The control loop's targets across a reload: a replacing loop takes over the clock and each
// fan's last target, so a new configuration changes a fan's speed no faster than the slew rate.
#include <cmath>
#include <optional>
#include <vector>

#include <gtest/gtest.h>

#include "control_config.hpp"
#include "control_loop.hpp"
#include "profile_choice.hpp"

namespace quorvane::ctl {
namespace {

ControlLoop fixedAt(double fraction) {
    CustomMode mode(Uuid::random(), "Fixed", "bolt.fill", ModeSpeed::fixed(fraction), ModeSensor::source(ControlSource::hottest));
    return ControlLoop(builtinProfile("Quorvane Standard"), mode, AlertRule{false, 90.0, false}, WorkloadPolicy());
}

FanStatus fanAt(double rpm) { return FanStatus{0, rpm, 1200, 6000, rpm, true, true}; }

TEST(ControlLoopReload, AReplacingLoopSlewsFromTheOldTargetAtTheRate) {
    struct Row {
        double from, to;  // fixed fractions of 1200…6000 rpm
    };
    for (const Row row : {Row{0.125, 1.0}, Row{1.0, 0.125}, Row{0.5, 0.5}}) {
        SCOPED_TRACE(row.from);
        ControlLoop old = fixedAt(row.from);
        // Long enough at the old speed for its target to settle.
        double target = 0;
        for (int t = 0; t <= 20; ++t) target = old.step(t, 50.0, {fanAt(target == 0 ? 1800 : target)}).front().targetRPM;
        const double settled = 1200 + row.from * 4800;
        ASSERT_NEAR(target, settled, 1.0);

        ControlLoop next = fixedAt(row.to);
        next.continueFrom(old);
        const auto first = next.step(21, 50.0, {fanAt(target)});
        ASSERT_EQ(first.size(), 1u);
        EXPECT_LE(std::abs(first.front().targetRPM - settled), ControlLoop::slewRPMPerSecond + 1e-9);
        // Unchanged speed: nothing new to send.
        EXPECT_EQ(first.front().send, row.from != row.to);
    }
}

TEST(ControlLoopReload, ResendAfterAReloadSendsEveryTargetAgain) {
    ControlLoop old = fixedAt(0.5);
    for (int t = 0; t <= 20; ++t) old.step(t, 50.0, {fanAt(3600)});
    ControlLoop next = fixedAt(0.5);
    next.continueFrom(old);
    next.resend();
    EXPECT_TRUE(next.step(21, 50.0, {fanAt(3600)}).front().send);
}

}  // namespace
}  // namespace quorvane::ctl
