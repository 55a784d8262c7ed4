// How a custom mode sets the fan speed: as a minimum (floor) or a fixed duty fraction.
// JSON form {"floor": {"percentage": x}} or {"fixed": {"percentage": x}}. Value type.
#pragma once

#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

namespace quorvane {

struct ModeSpeed {
    enum class Kind { floor, fixed };

    Kind kind = Kind::floor;
    double percentage = 0;  // duty fraction

    static ModeSpeed floor(double percentage) { return {Kind::floor, percentage}; }
    static ModeSpeed fixed(double percentage) { return {Kind::fixed, percentage}; }

    // "Minimum" or "Fixed"
    std::string_view displayName() const;

    // Throws std::invalid_argument for a non-finite percentage.
    nlohmann::ordered_json toJSON() const;
    // Exactly one of "floor" and "fixed" (other keys ignored), else typeMismatch "Invalid number
    // of keys found, expected one."; the percentage is returned as stored. Fails with
    // DecodingError.
    static ModeSpeed fromJSON(const nlohmann::json& json, const std::string& codingPath = "");

    friend bool operator==(const ModeSpeed&, const ModeSpeed&) = default;
};

}  // namespace quorvane
