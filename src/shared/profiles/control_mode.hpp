// How a fan profile drives the fans; JSON form is the raw integer. Value type, thread-safe.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

namespace quorvane {

enum class ControlMode : std::int64_t { appleAuto = 0, constantRPM = 1, adaptiveCurve = 2 };

std::int64_t rawValue(ControlMode mode);
// 0, 1 or 2; anything else is absent.
std::optional<ControlMode> controlModeFromRawValue(std::int64_t raw);

nlohmann::ordered_json toJSON(ControlMode mode);
// Fails with DecodingError: typeMismatch for a non-integer, dataCorrupted for an unknown value.
ControlMode controlModeFromJSON(const nlohmann::json& json, const std::string& codingPath = "");

}  // namespace quorvane
