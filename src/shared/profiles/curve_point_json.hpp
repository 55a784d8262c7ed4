// JSON form of a fan-curve point: {"id": UUID, "temperature": number, "rpmPercentage": number},
// all three required. Pure, thread-safe.
#pragma once

#include <string>

#include <nlohmann/json.hpp>

#include "shared/control/curve_point.hpp"

namespace quorvane {

// Throws std::invalid_argument for a non-finite number (JSON cannot hold it).
nlohmann::ordered_json toJSON(const CurvePoint& point);
// Fails with DecodingError.
CurvePoint curvePointFromJSON(const nlohmann::json& json, const std::string& codingPath = "");

}  // namespace quorvane
