// The idle floor the daemon is measured against: one thread that sleeps 1.25 s in a loop on
// absolute deadlines, as the daemon's watchdog timer does, and a main thread parked for good.
// It sleeps in clock_nanosleep, or with --condvar in a timed condition-variable wait (what a
// thread built on the standard library usually does). Built dynamically and statically linked
// (idle-floor, idle-floor-static) for bench_daemon_roundtrip, which starts them in its own run.
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <ctime>
#include <mutex>
#include <thread>

#include <unistd.h>

int main(int argc, char** argv) {
    const bool condvar = argc > 1 && std::strcmp(argv[1], "--condvar") == 0;
    std::thread([condvar] {
        constexpr auto period = std::chrono::milliseconds(1250);
        if (condvar) {
            std::mutex mutex;
            std::condition_variable never;
            std::unique_lock lock(mutex);
            for (auto next = std::chrono::steady_clock::now() + period;; next += period) never.wait_until(lock, next);
        }
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
