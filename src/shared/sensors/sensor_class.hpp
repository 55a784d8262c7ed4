// The two enumerations that describe a sensor: what it measures (SensorClass, with its unit) and
// which part of the machine it sits in (SensorCategory, with its display name). JSON form is the
// raw value string. Value types, thread-safe.
#pragma once

#include <array>
#include <optional>
#include <string_view>

#include <nlohmann/json_fwd.hpp>

namespace quorvane {

enum class SensorClass { temperature, power, voltage, current, fan, other };
enum class SensorCategory { cpu, gpu, neuralEngine, memory, battery, enclosure };

namespace sensor_class {
inline constexpr std::array<SensorClass, 6> allCases{SensorClass::temperature, SensorClass::power,
                                                     SensorClass::voltage,     SensorClass::current,
                                                     SensorClass::fan,         SensorClass::other};
}  // namespace sensor_class

namespace sensor_category {
inline constexpr std::array<SensorCategory, 6> allCases{SensorCategory::cpu,     SensorCategory::gpu,
                                                        SensorCategory::neuralEngine, SensorCategory::memory,
                                                        SensorCategory::battery, SensorCategory::enclosure};
}  // namespace sensor_category

std::string_view rawValue(SensorClass sensorClass);
// "°C", "W", "V", "A", "RPM", "" (other).
std::string_view unit(SensorClass sensorClass);
std::optional<SensorClass> sensorClassFromRawValue(std::string_view raw);

std::string_view rawValue(SensorCategory category);
std::string_view displayName(SensorCategory category);
std::optional<SensorCategory> sensorCategoryFromRawValue(std::string_view raw);

// JSON: the raw value string; decoding any other value throws nlohmann::json::exception.
void to_json(nlohmann::json& j, SensorClass value);
void from_json(const nlohmann::json& j, SensorClass& value);
void to_json(nlohmann::json& j, SensorCategory value);
void from_json(const nlohmann::json& j, SensorCategory& value);

}  // namespace quorvane
