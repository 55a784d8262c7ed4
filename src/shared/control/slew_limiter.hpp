// Limits how fast successive targets may change (per second, in the unit of the values).
// Value type, pure.
#pragma once

namespace quorvane {

struct SlewLimiter {
    double ratePerSecond = 0;

    explicit SlewLimiter(double ratePerSecond) : ratePerSecond(ratePerSecond) {}

    // A finite rate above zero (subnormals included).
    bool isLimited() const;
    // target moved from current by at most dt × ratePerSecond (an infinite target included). The
    // target passes unchanged when the limiter is off, dt is not above zero or current is not
    // finite; a NaN target holds a finite current.
    double step(double current, double target, double dt) const;

    friend bool operator==(const SlewLimiter&, const SlewLimiter&) = default;
};

}  // namespace quorvane
