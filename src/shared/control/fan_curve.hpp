// Piecewise-linear map from a temperature (°C) to a duty fraction in 0…1. Points are kept sorted
// by temperature (stable, duplicates kept: a duplicated temperature makes a vertical step).
// Value type, not shared.
#pragma once

#include <utility>
#include <vector>

#include "shared/control/curve_point.hpp"

namespace quorvane {

class FanCurve {
public:
    // Throws std::invalid_argument for fewer than two points.
    explicit FanCurve(std::vector<CurvePoint> points);
    // (temperature, fraction) pairs; every point gets a fresh random id. Same precondition.
    explicit FanCurve(const std::vector<std::pair<double, double>>& pairs);

    const std::vector<CurvePoint>& points() const { return points_; }

    // Always a finite fraction in 0…1. NaN temperature gives the last point's fraction; a point
    // whose fraction or temperature makes the interpolation undefined (NaN) gives 0.
    double rpmPercentage(double temperature) const;

    friend bool operator==(const FanCurve&, const FanCurve&) = default;

private:
    std::vector<CurvePoint> points_;
};

}  // namespace quorvane
