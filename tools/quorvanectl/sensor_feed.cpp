#include "sensor_feed.hpp"

#include <cmath>

#include "shared/sensors/sensor_selection.hpp"

namespace quorvane::ctl {

SensorFeed::SensorFeed(std::shared_ptr<SMCKernelBridge> bridge)
    : discovery_(std::move(bridge)),
      topology_(CPUTopology::read()),
      sensors_(discovery_.discover()),
      hid_(hidSource_.readAll()),
      dieGroup_(DieSensorGroup::select(sensors_, hid_, topology_)) {}

void SensorFeed::refresh() {
    refresh([](const SMCSensor&) { return true; });
}

void SensorFeed::refresh(const SensorFilter& where) {
    sensors_ = discovery_.refresh(sensors_, where);
    // HID services cost no SMC exchange; the die group may need them.
    if (!dieGroup_.hidNames().empty()) hidSource_.refresh(hid_);
}

std::vector<DeviceSensorReading> SensorFeed::rows() const { return topology_.fixedList(sensors_); }

std::string SensorFeed::dieGroupSummary() const {
    std::string text;
    if (dieGroup_.isFallback()) {
        text = "hottest of " + std::to_string(dieGroup_.keys().size()) + " named sensors (no CPU/GPU die keys)";
    } else {
        const std::size_t hwmon = dieGroup_.hwmonCount(), services = dieGroup_.hidNames().size() - hwmon;
        std::vector<std::string> parts;
        if (!dieGroup_.keys().empty() || hwmon == 0)
            parts.push_back(std::to_string(dieGroup_.keys().size()) + " CPU/GPU die keys");
        if (services > 0) parts.push_back(std::to_string(services) + " HID die services");
        if (hwmon > 0) {
            std::string drivers;
            for (const auto& d : dieGroup_.hwmonDrivers()) drivers += (drivers.empty() ? "" : ", ") + d;
            parts.push_back(std::to_string(hwmon) + " hwmon die sensors (" + drivers + ")");
        }
        text = "hottest of " + parts.front();
        for (std::size_t i = 1; i < parts.size(); ++i) text += " and " + parts[i];
        for (const auto& die : dieGroup_.coveredByHwmon()) text += "; " + die + " dies from hwmon, not the SMC";
    }
    const auto hottest = dieGroup_.hottestReading(sensors_, hid_);
    return text + (hottest ? ", now " + hottest->first : ", none reading");
}

std::optional<double> SensorFeed::aggregate(ControlSource source) const {
    return DeviceSensorMap::aggregate(source, sensors_, topology_.coreCounts());
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
    if (sensorGroupID == "max") {
        const auto hottest = dieGroup_.hottestReading(sensors_, hid_);
        return hottest ? std::optional<double>(hottest->second) : std::nullopt;
    }
    if (const auto source = controlSourceFromRawValue(sensorGroupID)) return aggregate(*source);
    return temperature(ModeSensor::sensor(sensorGroupID));
}

SensorFeed::SensorFilter SensorFeed::inputsOf(const ModeSensor& sensor) const {
    if (sensor.kind == ModeSensor::Kind::source) {
        return [source = sensor.controlSource](const SMCSensor& s) { return DeviceSensorMap::feedsAggregate(source, s); };
    }
    return [id = sensor.id](const SMCSensor& s) { return s.id == id; };
}

SensorFeed::SensorFilter SensorFeed::inputsOf(const std::string& sensorGroupID) const {
    // Exactly the keys temperature("max") looks at.
    if (sensorGroupID == "max") return [group = dieGroup_](const SMCSensor& s) { return group.contains(s); };
    if (const auto source = controlSourceFromRawValue(sensorGroupID)) return inputsOf(ModeSensor::source(*source));
    return inputsOf(ModeSensor::sensor(sensorGroupID));
}

}  // namespace quorvane::ctl
