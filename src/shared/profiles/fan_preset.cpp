#include "shared/profiles/fan_preset.hpp"

#include "shared/common/json_decoding.hpp"

namespace quorvane {

std::string_view rawValue(FanPreset preset) {
    switch (preset) {
        case FanPreset::quiet: return "quiet";
        case FanPreset::automatic: return "auto";
        case FanPreset::max: return "max";
    }
    return "auto";
}

std::string_view displayName(FanPreset preset) {
    switch (preset) {
        case FanPreset::quiet: return "Quiet";
        case FanPreset::automatic: return "Balanced";
        case FanPreset::max: return "Max";
    }
    return "Balanced";
}

std::optional<FanPreset> fanPresetFromRawValue(std::string_view raw) {
    for (FanPreset p : fan_preset::allCases)
        if (rawValue(p) == raw) return p;
    return std::nullopt;
}

nlohmann::ordered_json toJSON(FanPreset preset) { return std::string(rawValue(preset)); }

FanPreset fanPresetFromJSON(const nlohmann::json& json, const std::string& codingPath) {
    const std::string raw = json_decoding::string(json, codingPath);
    if (auto preset = fanPresetFromRawValue(raw)) return *preset;
    throw DecodingError::dataCorrupted(codingPath, "Cannot initialize FanPreset from invalid String value " + raw);
}

}  // namespace quorvane
