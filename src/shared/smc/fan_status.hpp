// One fan's state at the time of reading, with its JSON form (currentRPMValid is never written).
// Value type, not shared.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include <nlohmann/json.hpp>

namespace quorvane {

struct FanStatus {
    std::int64_t id = 0;
    double currentRPM = 0;
    double minRPM = 0;
    double maxRPM = 0;
    double targetRPM = 0;
    bool isManaged = false;
    bool currentRPMValid = true;

    friend bool operator==(const FanStatus&, const FanStatus&) = default;

    // {"id":…,"currentRPM":…,"minRPM":…,"maxRPM":…,"targetRPM":…,"isManaged":…}. Throws
    // nlohmann::json::out_of_range if a speed is NaN or infinite (JSON cannot carry it).
    nlohmann::ordered_json toJSON() const;
    // Requires all six keys with their types and an id within the signed 64-bit range (throws
    // nlohmann::json::exception otherwise); ignores any other key; currentRPMValid is always true.
    static FanStatus fromJSON(const nlohmann::json& json);
};

}  // namespace quorvane

template <>
struct std::hash<quorvane::FanStatus> {
    std::size_t operator()(const quorvane::FanStatus& s) const noexcept;
};
