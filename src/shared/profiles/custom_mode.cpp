#include "shared/profiles/custom_mode.hpp"

#include <cmath>

#include "shared/common/json_decoding.hpp"
#include "shared/control/clamped.hpp"

namespace quorvane {

namespace {
// The stored percentage must stay a fraction: a NaN would also make the record unwritable.
ModeSpeed clampedSpeed(ModeSpeed speed) {
    speed.percentage = std::isnan(speed.percentage) ? 0.0 : clamped(speed.percentage, unitRange);
    return speed;
}
}  // namespace

CustomMode::CustomMode(Uuid id, std::string name, std::string symbolName, ModeSpeed speed, ModeSensor controlSensor,
                       std::optional<ModeSensor> displaySensor, bool drivesMainReadout)
    : name(std::move(name)),
      symbolName(std::move(symbolName)),
      controlSensor(std::move(controlSensor)),
      displaySensor(std::move(displaySensor)),
      drivesMainReadout(drivesMainReadout),
      id_(id),
      speed_(clampedSpeed(speed)) {}

void CustomMode::setSpeed(ModeSpeed speed) { speed_ = clampedSpeed(speed); }

const CustomMode& CustomMode::gamingTemplate() {
    static const CustomMode m(Uuid::random(), "Gaming", "gamecontroller.fill", ModeSpeed::fixed(0.7),
                              ModeSensor::source(ControlSource::gpuAverage));
    return m;
}

const CustomMode& CustomMode::recordingTemplate() {
    static const CustomMode m(Uuid::random(), "Recording", "mic.fill", ModeSpeed::floor(0.25),
                              ModeSensor::source(ControlSource::hottest));
    return m;
}

const CustomMode& CustomMode::renderingTemplate() {
    static const CustomMode m(Uuid::random(), "Rendering", "cube.fill", ModeSpeed::floor(0.8),
                              ModeSensor::source(ControlSource::cpuPerformance));
    return m;
}

const std::vector<CustomMode>& CustomMode::templates() {
    static const std::vector<CustomMode> all{gamingTemplate(), recordingTemplate(), renderingTemplate()};
    return all;
}

const std::array<std::string_view, 8>& CustomMode::curatedSymbolNames() {
    static constexpr std::array<std::string_view, 8> names{"gamecontroller.fill", "mic.fill",  "cube.fill",
                                                           "flame.fill",          "bolt.fill", "moon.fill",
                                                           "film.fill",           "chart.bar.fill"};
    return names;
}

nlohmann::ordered_json CustomMode::toJSON() const {
    nlohmann::ordered_json j;
    j["id"] = id_.uuidString();
    j["name"] = name;
    j["symbolName"] = symbolName;
    j["speed"] = speed_.toJSON();
    j["controlSensor"] = controlSensor.toJSON();
    if (displaySensor) j["displaySensor"] = displaySensor->toJSON();
    j["drivesMainReadout"] = drivesMainReadout;
    return j;
}

CustomMode CustomMode::fromJSON(const nlohmann::json& json, const std::string& codingPath) {
    const json_decoding::ObjectReader r(json, codingPath);
    const Uuid id = r.uuid("id");
    std::string name = r.string("name");
    std::string symbolName = r.string("symbolName");
    // Records written before "speed" existed hold only a floor.
    const nlohmann::json* speedJSON = r.find("speed");
    const ModeSpeed speed = speedJSON ? ModeSpeed::fromJSON(*speedJSON, r.pathOf("speed"))
                                      : ModeSpeed::floor(r.number("floorPercentage"));
    const nlohmann::json* control = r.find("controlSensor");
    ModeSensor controlSensor = control ? ModeSensor::fromJSON(*control, r.pathOf("controlSensor"))
                                       : ModeSensor::source(ControlSource::hottest);
    std::optional<ModeSensor> displaySensor;
    if (const nlohmann::json* display = r.find("displaySensor"))
        displaySensor = ModeSensor::fromJSON(*display, r.pathOf("displaySensor"));
    const nlohmann::json* drives = r.find("drivesMainReadout");
    const bool drivesMainReadout = drives && json_decoding::boolean(*drives, r.pathOf("drivesMainReadout"));
    return CustomMode(id, std::move(name), std::move(symbolName), speed, std::move(controlSensor),
                      std::move(displaySensor), drivesMainReadout);
}

}  // namespace quorvane
