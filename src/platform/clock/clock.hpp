// Monotonic clocks: the suspending clock (stops while the machine sleeps; also the dispatch
// clock) and the continuous clock (keeps counting through sleep). Instants are plain values.
// Thread-safe: now() may be called from any thread.
#pragma once

#include <chrono>
#include <compare>
#include <cstdint>

namespace quorvane::clock {

using Duration = std::chrono::nanoseconds;

// A point on one monotonic clock, as the time since that clock's origin.
struct Instant {
    Duration sinceOrigin{0};

    friend constexpr auto operator<=>(Instant, Instant) = default;
    friend constexpr Duration operator-(Instant a, Instant b) { return a.sinceOrigin - b.sinceOrigin; }
    friend constexpr Instant operator+(Instant a, Duration d) { return Instant{a.sinceOrigin + d}; }
};

// Seconds (finite, may be fractional) to a Duration, rounded to the nanosecond; values beyond
// the representable range saturate and NaN gives zero, so no double reaches an integer cast
// unchecked.
Duration seconds(double s);
// Duration to seconds as a double.
constexpr double toSeconds(Duration d) { return static_cast<double>(d.count()) / 1e9; }

class Clock {
public:
    virtual ~Clock() = default;
    virtual Instant now() const = 0;
};

// CLOCK_MONOTONIC: does not advance while the machine sleeps.
class SuspendingClock final : public Clock {
public:
    Instant now() const override;
};

// CLOCK_BOOTTIME: advances while the machine sleeps.
class ContinuousClock final : public Clock {
public:
    Instant now() const override;
};

}  // namespace quorvane::clock
