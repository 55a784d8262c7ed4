// Classifies the last 120 s of one temperature as rising (with minutes to a ceiling), steady or
// cooling by a least-squares line. Value type, pure, thread-safe.
#pragma once

#include <optional>
#include <span>

namespace quorvane {

// t in seconds on any monotonic scale (only differences matter), temp in °C.
struct ThermalSample {
    double t = 0;
    double temp = 0;
};

struct ThermalTrend {
    enum class Kind { rising, steady, cooling };

    Kind kind = Kind::steady;
    // Only for rising: minutes until the ceiling, present only within (0, 60].
    std::optional<double> etaMinutes;

    static ThermalTrend rising(std::optional<double> etaMinutes) { return {Kind::rising, etaMinutes}; }
    static ThermalTrend steady() { return {Kind::steady, std::nullopt}; }
    static ThermalTrend cooling() { return {Kind::cooling, std::nullopt}; }

    // Samples in any order. Samples with a non-finite time or temperature are ignored.
    static ThermalTrend fit(std::span<const ThermalSample> samples, double ceiling);

    friend bool operator==(const ThermalTrend&, const ThermalTrend&) = default;
};

}  // namespace quorvane
