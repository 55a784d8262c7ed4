// Temperature → duty fraction (curve or fixed override, raised to the proactive floor, smoothed)
// and the conversions between duty fraction and RPM within a fan's bounds. Every output is
// finite: non-finite settings count as absent. Value type, owned by one control loop.
#pragma once

#include <optional>

#include "shared/control/ema_filter.hpp"
#include "shared/control/fan_curve.hpp"

namespace quorvane {

struct ControlPipeline {
    FanCurve curve;
    EMAFilter ema;
    // Lowest duty fraction the pipeline outputs (clamped to 0…1; NaN counts as 0).
    double proactiveFloor = 0;
    // Used instead of the curve when present (clamped to 0…1; NaN counts as absent).
    std::optional<double> fixedOverride;

    ControlPipeline(FanCurve curve, EMAFilter ema, double proactiveFloor = 0,
                    std::optional<double> fixedOverride = std::nullopt)
        : curve(std::move(curve)), ema(ema), proactiveFloor(proactiveFloor), fixedOverride(fixedOverride) {}

    // Advances `ema`; the result is always within 0…1.
    double targetPercentage(double temp);

    // fanMin + fraction × (fanMax − fanMin), within fanMin…fanMax; a NaN fraction counts as 0.
    // Throws std::invalid_argument unless both bounds are finite and fanMin ≤ fanMax.
    static double percentageToRPM(double fraction, double fanMin, double fanMax);
    // (rpm − fanMin) / span within 0…1; 0 for a non-finite rpm or an empty, inverted or
    // non-finite span.
    static double rpmToPercentage(double rpm, double fanMin, double fanMax);
};

}  // namespace quorvane
