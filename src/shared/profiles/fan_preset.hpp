// The three quick presets with their display names; JSON form is the raw string.
// Value type, thread-safe.
#pragma once

#include <array>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

namespace quorvane {

enum class FanPreset { quiet, automatic, max };

namespace fan_preset {
inline constexpr std::array<FanPreset, 3> allCases{FanPreset::quiet, FanPreset::automatic, FanPreset::max};
}

// "quiet", "auto", "max"
std::string_view rawValue(FanPreset preset);
// "Quiet", "Balanced", "Max"
std::string_view displayName(FanPreset preset);
// Exact, case-sensitive match; anything else is absent.
std::optional<FanPreset> fanPresetFromRawValue(std::string_view raw);

nlohmann::ordered_json toJSON(FanPreset preset);
// Fails with DecodingError: typeMismatch for a non-string, dataCorrupted for an unknown value.
FanPreset fanPresetFromJSON(const nlohmann::json& json, const std::string& codingPath = "");

}  // namespace quorvane
