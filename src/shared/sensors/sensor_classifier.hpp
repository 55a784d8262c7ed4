// Decides from an SMC key's name, type and a sample value whether the key is a sensor, what it
// measures and what to call it; also the category a discovered sensor belongs to. Pure, thread-safe.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "shared/control/clamped.hpp"
#include "shared/sensors/sensor_class.hpp"
#include "shared/smc/smc_data_type.hpp"

namespace quorvane {

struct SensorClassification {
    SensorClass sensorClass;
    std::string name;
    friend bool operator==(const SensorClassification&, const SensorClassification&) = default;
};

namespace SensorClassifier {

inline constexpr ClosedRange<double> plausibleTemperatureRange{-40.0, 130.0};

SensorClassification classify(std::string_view key, SMCDataType type, std::optional<double> sample);
// "Tp09" → "P-Core 9", "Tp00" → "P-Core", "Tne" → "Tne"; the key itself when no prefix matches.
std::string displayName(std::string_view key);
// The category of a recognised sensor, from its class and the first two characters of its key.
SensorCategory category(std::string_view key, SensorClass sensorClass);

}  // namespace SensorClassifier

}  // namespace quorvane
