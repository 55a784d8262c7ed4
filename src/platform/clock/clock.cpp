#include "platform/clock/clock.hpp"

#include <cmath>
#include <ctime>
#include <limits>

namespace quorvane::clock {

Duration seconds(double s) {
    if (std::isnan(s)) return Duration{0};
    const double ns = std::round(s * 1e9);
    // 9.2e18 is just inside int64; anything beyond saturates instead of overflowing the cast.
    constexpr double limit = 9.2e18;
    if (ns >= limit) return Duration{std::numeric_limits<Duration::rep>::max()};
    if (ns <= -limit) return Duration{std::numeric_limits<Duration::rep>::min()};
    return Duration{static_cast<Duration::rep>(ns)};
}

namespace {
Instant read(clockid_t id) {
    timespec ts{};
    clock_gettime(id, &ts);
    return Instant{std::chrono::seconds(ts.tv_sec) + std::chrono::nanoseconds(ts.tv_nsec)};
}
}  // namespace

Instant SuspendingClock::now() const { return read(CLOCK_MONOTONIC); }
Instant ContinuousClock::now() const { return read(CLOCK_BOOTTIME); }

}  // namespace quorvane::clock
