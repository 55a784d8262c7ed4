// Picking a representative temperature from a sensor list: the silicon validity floor, the named
// test and the trusted maximum. Pure, thread-safe.
#pragma once

#include <optional>
#include <span>

#include "shared/sensors/smc_sensor.hpp"

namespace quorvane::SensorSelection {

// At or below this a silicon temperature counts as missing (°C).
inline constexpr double activeSiliconFloor = 12.0;

// The classifier found a friendly name (name differs from key).
bool isNamed(const SMCSensor& sensor);
// Greatest reading of the named temperature sensors (first of equal maxima); non-finite readings
// are skipped, so a NaN can never become the temperature a fan follows. Absent when none.
std::optional<double> trustedMaxTemperature(std::span<const SMCSensor> sensors);

}  // namespace quorvane::SensorSelection
