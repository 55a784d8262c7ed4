#include "shared/control/control_pipeline.hpp"

#include <cmath>
#include <stdexcept>

#include "shared/control/clamped.hpp"
#include "shared/smc/smc_data_codec.hpp"

namespace quorvane {

double ControlPipeline::targetPercentage(double temp) {
    const bool overrideUsable = fixedOverride && !std::isnan(*fixedOverride);
    const double base = overrideUsable ? clamped(*fixedOverride, unitRange) : curve.rpmPercentage(temp);
    const double floor = std::isnan(proactiveFloor) ? 0.0 : clamped(proactiveFloor, unitRange);
    const double raised = floor >= base ? floor : base;
    return clamped(ema.update(raised), unitRange);
}

double ControlPipeline::percentageToRPM(double fraction, double fanMin, double fanMax) {
    if (!std::isfinite(fanMin) || !std::isfinite(fanMax) || !(fanMin <= fanMax))
        throw std::invalid_argument("percentageToRPM needs finite bounds with fanMin <= fanMax, got " +
                                    shortestDecimal(fanMin) + "..." + shortestDecimal(fanMax));
    const double f = std::isnan(fraction) ? 0.0 : clamped(fraction, unitRange);
    double rpm = fanMin + f * (fanMax - fanMin);
    // Only bounds near the limits of double overflow the span; lerp stays finite there.
    if (!std::isfinite(rpm)) rpm = std::lerp(fanMin, fanMax, f);
    return clamped(rpm, ClosedRange<double>{fanMin, fanMax});
}

double ControlPipeline::rpmToPercentage(double rpm, double fanMin, double fanMax) {
    const double span = fanMax - fanMin;
    if (!(span > 0) || !std::isfinite(span) || !std::isfinite(rpm)) return 0.0;
    return clamped((rpm - fanMin) / span, unitRange);
}

}  // namespace quorvane
