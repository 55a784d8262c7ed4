#include "shared/control/ema_filter.hpp"

#include <cmath>

#include "shared/control/clamped.hpp"

namespace quorvane {

namespace {
constexpr ClosedRange<double> alphaRange{0.05, 1.0};
}

EMAFilter::EMAFilter(double alpha) : alpha_(std::isnan(alpha) ? 1.0 : clamped(alpha, alphaRange)) {}

void EMAFilter::setAlpha(double alpha) {
    if (!std::isnan(alpha)) alpha_ = clamped(alpha, alphaRange);
}

double EMAFilter::update(double raw) {
    if (!std::isfinite(raw)) return value_ ? *value_ : raw;
    const double next = value_ ? raw * alpha_ + *value_ * (1.0 - alpha_) : raw;
    value_ = next;
    return next;
}

}  // namespace quorvane
