#include "stop_signal.hpp"

#include <cerrno>
#include <cmath>
#include <ctime>
#include <initializer_list>

#include <pthread.h>
#include <unistd.h>

namespace quorvane::ctl {

namespace {

constexpr int kWakeSignal = SIGUSR1;

// The kernel hands out the lowest-numbered pending signal first, and SIGHUP is 1: behind a stream
// of SIGHUPs a SIGTERM would wait for ever. A pending SIGTERM or SIGINT is taken instead.
int stopSignalBehind(int signo) {
    sigset_t pending;
    if (sigpending(&pending) != 0) return signo;
    for (const int stopping : {SIGTERM, SIGINT}) {
        if (!sigismember(&pending, stopping)) continue;
        sigset_t one;
        sigemptyset(&one);
        sigaddset(&one, stopping);
        const timespec now{};
        if (sigtimedwait(&one, nullptr, &now) == stopping) return stopping;
    }
    return signo;
}

}  // namespace

StopSignal::StopSignal() {
    sigemptyset(&set_);
    sigaddset(&set_, SIGINT);
    sigaddset(&set_, SIGTERM);
    sigaddset(&set_, SIGHUP);
    sigaddset(&set_, kWakeSignal);
    pthread_sigmask(SIG_BLOCK, &set_, nullptr);
}

StopSignal::Reason StopSignal::wait(double seconds) {
    // Beyond a few decades is as good as forever, and keeps the conversion in range.
    const bool forever = !(seconds >= 0) || !(seconds < 1e9);
    timespec timeout{};
    if (!forever) {
        timeout.tv_sec = static_cast<time_t>(std::floor(seconds));
        timeout.tv_nsec = static_cast<long>((seconds - std::floor(seconds)) * 1e9);
    }
    for (;;) {
        int signo = forever ? sigwaitinfo(&set_, nullptr) : sigtimedwait(&set_, nullptr, &timeout);
        if (signo == kWakeSignal) return Reason::woken;
        if (signo == SIGHUP) signo = stopSignalBehind(signo);
        if (signo > 0) {
            lastSignal_ = signo;
            return Reason::signal;
        }
        if (errno == EAGAIN) return Reason::timeout;
        // EINTR (a signal outside the set, e.g. SIGWINCH): the remaining time is close enough.
    }
}

void StopSignal::wake() { ::kill(::getpid(), kWakeSignal); }

}  // namespace quorvane::ctl
