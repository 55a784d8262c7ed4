// The signals the control loop waits for: a stop request is never held back behind a stream of
// reload requests, although the kernel hands out the lowest-numbered pending signal (SIGHUP) first.
#include <csignal>

#include <gtest/gtest.h>
#include <unistd.h>

#include "stop_signal.hpp"

namespace quorvane::ctl {
namespace {

TEST(StopSignalOrder, AStopSignalPendingWithSIGHUPIsTakenFirst) {
    StopSignal stop;
    for (const int stopping : {SIGTERM, SIGINT}) {
        SCOPED_TRACE(stopping);
        ::kill(::getpid(), SIGHUP);
        ::kill(::getpid(), stopping);
        ASSERT_EQ(stop.wait(0), StopSignal::Reason::signal);
        EXPECT_EQ(stop.lastSignal(), stopping);
        // The SIGHUP went with it: nothing is left to reload before stopping.
        EXPECT_EQ(stop.wait(0), StopSignal::Reason::timeout);
    }
}

}  // namespace
}  // namespace quorvane::ctl
