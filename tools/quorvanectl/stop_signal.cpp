#include "stop_signal.hpp"

#include <cerrno>
#include <cmath>
#include <ctime>

#include <pthread.h>
#include <unistd.h>

namespace quorvane::ctl {

namespace {
constexpr int kWakeSignal = SIGUSR1;
}

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
        const int signo = forever ? sigwaitinfo(&set_, nullptr) : sigtimedwait(&set_, nullptr, &timeout);
        if (signo == kWakeSignal) return Reason::woken;
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
