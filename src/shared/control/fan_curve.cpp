#include "shared/control/fan_curve.hpp"

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <string>

#include "shared/control/clamped.hpp"

namespace quorvane {

namespace {
std::vector<CurvePoint> pointsFromPairs(const std::vector<std::pair<double, double>>& pairs) {
    std::vector<CurvePoint> points;
    points.reserve(pairs.size());
    for (const auto& [temperature, fraction] : pairs) points.push_back({Uuid::random(), temperature, fraction});
    return points;
}
}  // namespace

FanCurve::FanCurve(std::vector<CurvePoint> points) : points_(std::move(points)) {
    if (points_.size() < 2)
        throw std::invalid_argument("FanCurve needs at least two points, got " + std::to_string(points_.size()));
    std::stable_sort(points_.begin(), points_.end(),
                     [](const CurvePoint& a, const CurvePoint& b) { return a.temperature < b.temperature; });
}

FanCurve::FanCurve(const std::vector<std::pair<double, double>>& pairs) : FanCurve(pointsFromPairs(pairs)) {}

double FanCurve::rpmPercentage(double t) const {
    const CurvePoint& first = points_.front();
    const CurvePoint& last = points_.back();
    double result = last.rpmPercentage;  // also the answer for a NaN temperature
    if (t <= first.temperature) {
        result = first.rpmPercentage;
    } else if (last.temperature <= t) {
        result = last.rpmPercentage;
    } else {
        for (std::size_t i = 0; i + 1 < points_.size(); ++i) {
            const CurvePoint& hi = points_[i + 1];
            if (t <= hi.temperature) {
                const CurvePoint& lo = points_[i];
                const double span = hi.temperature - lo.temperature;
                const double fraction = span > 0 ? (t - lo.temperature) / span : 1.0;
                result = lo.rpmPercentage + fraction * (hi.rpmPercentage - lo.rpmPercentage);
                break;
            }
        }
    }
    // A NaN fraction stored in a point (or infinite point temperatures) must not reach a fan.
    if (std::isnan(result)) return 0.0;
    return clamped(result, unitRange);
}

}  // namespace quorvane
