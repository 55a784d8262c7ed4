// The user's temperature alarm setting and its JSON form; the application evaluates it.
// Value type.
#pragma once

#include <string>

#include <nlohmann/json.hpp>

namespace quorvane {

struct AlertRule {
    bool enabled;
    double thresholdCelsius;  // not range-checked
    bool autoBoost;

    // Keys "enabled", "thresholdCelsius", "autoBoost" in that order. Throws
    // std::invalid_argument for a non-finite threshold.
    nlohmann::ordered_json toJSON() const;
    // All three keys required. Fails with DecodingError.
    static AlertRule fromJSON(const nlohmann::json& json, const std::string& codingPath = "");

    friend bool operator==(const AlertRule&, const AlertRule&) = default;
};

}  // namespace quorvane
