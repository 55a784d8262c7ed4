#include "sensor_feed.hpp"

#include <cmath>

#include "shared/sensors/sensor_selection.hpp"

namespace quorvane::ctl {

namespace {

DeviceSensorMap::CoreCounts countCoreKeys(const std::vector<SMCSensor>& sensors) {
    long performance = 0, efficiency = 0, efficiencyTex = 0;
    for (const auto& s : sensors) {
        if (s.key.rfind("Tp", 0) == 0) ++performance;
        if (s.key.rfind("Tex", 0) == 0) {
            ++efficiencyTex;
        } else if (s.key.rfind("Te", 0) == 0) {
            ++efficiency;
        }
    }
    // Exactly the number of "Tex" keys maps them one to one; otherwise the "Te" groups count.
    return {performance, efficiencyTex > 0 ? efficiencyTex : efficiency};
}

}  // namespace

SensorFeed::SensorFeed(std::shared_ptr<SMCKernelBridge> bridge)
    : discovery_(std::move(bridge)), sensors_(discovery_.discover()), counts_(countCoreKeys(sensors_)) {}

void SensorFeed::refresh() { sensors_ = discovery_.refresh(sensors_); }

std::vector<DeviceSensorReading> SensorFeed::rows() const { return DeviceSensorMap::fixedList(sensors_, counts_); }

std::optional<double> SensorFeed::aggregate(ControlSource source) const {
    return DeviceSensorMap::aggregate(source, sensors_, counts_);
}

std::optional<double> SensorFeed::temperature(const ModeSensor& sensor) const {
    if (sensor.kind == ModeSensor::Kind::source) return aggregate(sensor.controlSource);
    for (const auto& s : sensors_) {
        if (s.id == sensor.id) {
            if (std::isfinite(s.currentTemp) && s.currentTemp > SensorSelection::activeSiliconFloor) return s.currentTemp;
            return std::nullopt;
        }
    }
    return std::nullopt;
}

std::optional<double> SensorFeed::temperature(const std::string& sensorGroupID) const {
    if (sensorGroupID == "max") return aggregate(ControlSource::hottest);
    if (const auto source = controlSourceFromRawValue(sensorGroupID)) return aggregate(*source);
    return temperature(ModeSensor::sensor(sensorGroupID));
}

}  // namespace quorvane::ctl
