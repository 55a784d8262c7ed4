// Turns SIGINT, SIGTERM and SIGHUP into something the main thread waits for, with a timeout, and lets any
// other thread wake that wait. Construct it on the main thread before any other thread starts:
// threads inherit the blocked signal mask, so the signals stay pending until wait() takes them.
// wait() is for the main thread only; wake() is thread-safe and async-signal-safe.
#pragma once

#include <csignal>

namespace quorvane::ctl {

class StopSignal {
public:
    enum class Reason { timeout, signal, woken };

    StopSignal();
    StopSignal(const StopSignal&) = delete;
    StopSignal& operator=(const StopSignal&) = delete;

    // Waits until a signal arrives, wake() is called, or `seconds` pass (forever when negative).
    // SIGTERM and SIGINT are taken before a SIGHUP that is pending with them (that SIGHUP is
    // dropped: the caller stops anyway).
    Reason wait(double seconds);
    // The signal that ended the last wait with Reason::signal.
    int lastSignal() const { return lastSignal_; }

    // Ends the current (or next) wait with Reason::woken.
    static void wake();

private:
    sigset_t set_{};
    int lastSignal_ = 0;
};

}  // namespace quorvane::ctl
