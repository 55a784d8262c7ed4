// The idle floor the daemon is measured against: one thread that sleeps 1.25 s in a loop on
// absolute deadlines, as the daemon's watchdog timer does, and a main thread parked for good.
// Built dynamically and statically linked (idle-floor, idle-floor-static) for
// bench_daemon_roundtrip, which starts both in the same run as the daemon.
#include <ctime>
#include <thread>

#include <unistd.h>

int main() {
    std::thread([] {
        timespec next{};
        clock_gettime(CLOCK_MONOTONIC, &next);
        for (;;) {
            next.tv_nsec += 250'000'000;
            next.tv_sec += 1 + next.tv_nsec / 1'000'000'000;
            next.tv_nsec %= 1'000'000'000;
            clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &next, nullptr);
        }
    }).detach();
    for (;;) pause();
}
