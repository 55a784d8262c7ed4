#include "shared/control/thermal_trend.hpp"

#include <algorithm>
#include <cmath>
#include <vector>

namespace quorvane {

namespace {
constexpr double windowSeconds = 120.0;
constexpr std::size_t minimumSamples = 8;
constexpr double minimumSpanSeconds = 30.0;
constexpr double rateThresholdPerMinute = 0.8;
constexpr double etaHorizonMinutes = 60.0;

bool usable(const ThermalSample& s) { return std::isfinite(s.t) && std::isfinite(s.temp); }
}  // namespace

ThermalTrend ThermalTrend::fit(std::span<const ThermalSample> samples, double ceiling) {
    // Unusable samples are dropped before the window is placed, so one bad time stamp cannot
    // move the window away from every real sample.
    double tMax = -INFINITY;
    bool any = false;
    for (const ThermalSample& s : samples)
        if (usable(s)) {
            tMax = any ? std::max(tMax, s.t) : s.t;
            any = true;
        }
    if (!any) return steady();

    std::vector<ThermalSample> kept;
    kept.reserve(samples.size());
    for (const ThermalSample& s : samples)
        if (usable(s) && s.t >= tMax - windowSeconds) kept.push_back(s);
    // Sorted summation makes the result independent of the input order, to the last bit.
    const auto byTime = [](const ThermalSample& a, const ThermalSample& b) { return a.t < b.t; };
    if (!std::is_sorted(kept.begin(), kept.end(), byTime)) std::stable_sort(kept.begin(), kept.end(), byTime);

    const std::size_t n = kept.size();
    if (n < minimumSamples) return steady();
    if (kept.back().t - kept.front().t < minimumSpanSeconds) return steady();

    double sumT = 0, sumY = 0;
    for (const ThermalSample& s : kept) {
        sumT += s.t;
        sumY += s.temp;
    }
    const double meanT = sumT / static_cast<double>(n);
    const double meanY = sumY / static_cast<double>(n);
    double sxy = 0, sxx = 0;
    for (const ThermalSample& s : kept) {
        sxy += (s.t - meanT) * (s.temp - meanY);
        sxx += (s.t - meanT) * (s.t - meanT);
    }
    if (!(sxx > 0)) return steady();

    const double slopePerMinute = (sxy / sxx) * 60.0;
    if (slopePerMinute >= rateThresholdPerMinute) {
        const double headroom = ceiling - kept.back().temp;
        if (!(headroom > 0)) return rising(std::nullopt);
        const double eta = headroom / slopePerMinute;
        return rising(eta > 0 && eta <= etaHorizonMinutes ? std::optional<double>(eta) : std::nullopt);
    }
    if (slopePerMinute <= -rateThresholdPerMinute) return cooling();
    return steady();
}

}  // namespace quorvane
