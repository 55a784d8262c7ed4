#include "shared/control/slew_limiter.hpp"

#include <cmath>

namespace quorvane {

bool SlewLimiter::isLimited() const { return std::isfinite(ratePerSecond) && ratePerSecond > 0; }

double SlewLimiter::step(double current, double target, double dt) const {
    if (!std::isfinite(current)) return target;
    // NaN is no target at all: stay where we are. An infinite one is approached at the rate.
    if (std::isnan(target)) return current;
    if (!isLimited() || !(dt > 0)) return target;
    const double maxDelta = dt * ratePerSecond;
    const double diff = target - current;
    if (diff > maxDelta) return current + maxDelta;
    if (diff < -maxDelta) return current - maxDelta;
    return target;
}

}  // namespace quorvane
