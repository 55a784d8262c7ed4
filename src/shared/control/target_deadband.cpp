#include "shared/control/target_deadband.hpp"

#include <cmath>

namespace quorvane {

double TargetDeadband::commit(double desired) {
    if (!std::isfinite(desired)) return committed_ ? *committed_ : desired;
    if (committed_) {
        const double delta = desired - *committed_;
        if (!(delta >= risingThreshold || delta <= -fallingThreshold)) return *committed_;
    }
    committed_ = desired;
    return desired;
}

}  // namespace quorvane
