#include "shared/sensors/sensor_selection.hpp"

#include <cmath>

namespace quorvane::SensorSelection {

bool isNamed(const SMCSensor& sensor) { return sensor.name != sensor.key; }

std::optional<double> trustedMaxTemperature(std::span<const SMCSensor> sensors) {
    std::optional<double> best;
    for (const SMCSensor& s : sensors) {
        if (s.sensorClass != SensorClass::temperature || !isNamed(s) || !std::isfinite(s.currentTemp)) continue;
        if (!best || s.currentTemp > *best) best = s.currentTemp;
    }
    return best;
}

}  // namespace quorvane::SensorSelection
