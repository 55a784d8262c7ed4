// A user-defined fan behaviour with a name and an icon, its JSON form, the three templates and
// the curated icon names. Value type; the templates are created once and shared read-only
// (thread-safe).
#pragma once

#include <array>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "shared/common/uuid.hpp"
#include "shared/profiles/mode_sensor.hpp"
#include "shared/profiles/mode_speed.hpp"

namespace quorvane {

class CustomMode {
public:
    // The speed's percentage is clamped to 0…1 (NaN becomes 0) here and on every setSpeed.
    CustomMode(Uuid id, std::string name, std::string symbolName, ModeSpeed speed, ModeSensor controlSensor,
               std::optional<ModeSensor> displaySensor = std::nullopt, bool drivesMainReadout = false);

    const Uuid& id() const { return id_; }
    std::string name;
    std::string symbolName;  // a system symbol image name
    const ModeSpeed& speed() const { return speed_; }
    void setSpeed(ModeSpeed speed);
    ModeSensor controlSensor;
    std::optional<ModeSensor> displaySensor;
    bool drivesMainReadout;

    // Each with a fresh random id per run of the program.
    static const CustomMode& gamingTemplate();
    static const CustomMode& recordingTemplate();
    static const CustomMode& renderingTemplate();
    static const std::vector<CustomMode>& templates();
    static const std::array<std::string_view, 8>& curatedSymbolNames();

    // Keys "id", "name", "symbolName", "speed", "controlSensor", "displaySensor" (only when
    // present), "drivesMainReadout"; "floorPercentage" is never written.
    nlohmann::ordered_json toJSON() const;
    // "id", "name", "symbolName" required; "speed" or else "floorPercentage" (a floor) required;
    // "controlSensor" defaults to the hottest source, "displaySensor" to none,
    // "drivesMainReadout" to false. Fails with DecodingError.
    static CustomMode fromJSON(const nlohmann::json& json, const std::string& codingPath = "");

    friend bool operator==(const CustomMode& a, const CustomMode& b) {
        return a.id_ == b.id_ && a.name == b.name && a.symbolName == b.symbolName && a.speed_ == b.speed_ &&
               a.controlSensor == b.controlSensor && a.displaySensor == b.displaySensor &&
               a.drivesMainReadout == b.drivesMainReadout;
    }

private:
    Uuid id_;
    ModeSpeed speed_;
};

}  // namespace quorvane
