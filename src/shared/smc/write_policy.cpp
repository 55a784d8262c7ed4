#include "shared/smc/write_policy.hpp"

#include <cmath>

#include "shared/smc/shortest_decimal.hpp"

namespace quorvane::WritePolicy {

Verdict vet(double requestedRPM, double hardwareMin, double hardwareMax) {
    if (!std::isfinite(requestedRPM) || requestedRPM < 0) {
        return Reject{"non-finite or negative RPM " + shortestDecimal(requestedRPM)};
    }
    if (!std::isfinite(hardwareMin) || !std::isfinite(hardwareMax) || !(hardwareMax > 0) ||
        hardwareMin > hardwareMax) {
        return Reject{"invalid hardware bounds [" + shortestDecimal(hardwareMin) + ", " +
                      shortestDecimal(hardwareMax) + "]"};
    }
    const double x = requestedRPM <= hardwareMin ? hardwareMin : requestedRPM;
    return Apply{hardwareMax < x ? hardwareMax : x};
}

}  // namespace quorvane::WritePolicy
