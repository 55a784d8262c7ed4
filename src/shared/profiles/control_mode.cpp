#include "shared/profiles/control_mode.hpp"

#include "shared/common/json_decoding.hpp"

namespace quorvane {

std::int64_t rawValue(ControlMode mode) { return static_cast<std::int64_t>(mode); }

std::optional<ControlMode> controlModeFromRawValue(std::int64_t raw) {
    if (raw < 0 || raw > 2) return std::nullopt;
    return static_cast<ControlMode>(raw);
}

nlohmann::ordered_json toJSON(ControlMode mode) { return rawValue(mode); }

ControlMode controlModeFromJSON(const nlohmann::json& json, const std::string& codingPath) {
    const std::int64_t raw = json_decoding::int64(json, codingPath);
    if (auto mode = controlModeFromRawValue(raw)) return *mode;
    throw DecodingError::dataCorrupted(codingPath,
                                       "Cannot initialize ControlMode from invalid Int value " + std::to_string(raw));
}

}  // namespace quorvane
