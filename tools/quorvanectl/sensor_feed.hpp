// The temperatures the client works with: the SMC's temperature sensors, discovered once over
// this process's own SMC connection and refreshed on demand, and the HID temperature services,
// with the device sensor map's rows and control-source aggregates over them (core counts from
// the machine's CPU topology) and the die group behind the sensor group "max". Main thread only
// (owned by one command).
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "shared/profiles/mode_sensor.hpp"
#include "shared/sensors/device_sensor_map.hpp"
#include "smc/cpu_topology.hpp"
#include "smc/die_sensor_group.hpp"
#include "smc/hid_sensor_source.hpp"
#include "smc/sensor_discovery.hpp"

namespace quorvane::ctl {

class SensorFeed {
public:
    explicit SensorFeed(std::shared_ptr<SMCKernelBridge> bridge);

    using SensorFilter = std::function<bool(const SMCSensor&)>;
    // Reads every sensor again (one exchange each), or only those the filter takes.
    void refresh();
    void refresh(const SensorFilter& where);

    const std::vector<SMCSensor>& sensors() const { return sensors_; }
    const std::vector<HIDSensorReading>& hidReadings() const { return hid_; }
    const CPUTopology& topology() const { return topology_; }
    // The keys and services behind the sensor group "max".
    const DieSensorGroup& dieGroup() const { return dieGroup_; }
    // One line on that group: how many keys and services, and which one is hottest now.
    std::string dieGroupSummary() const;

    std::vector<DeviceSensorReading> rows() const;
    std::optional<double> aggregate(ControlSource source) const;
    // A mode's sensor: an aggregate, or one sensor by id.
    std::optional<double> temperature(const ModeSensor& sensor) const;
    // A profile's sensor group: "max" is the hottest die reading (dieGroup()); a control source's raw value
    // is that aggregate; anything else names one sensor by id.
    std::optional<double> temperature(const std::string& sensorGroupID) const;
    // The sensors each of the two temperatures above reads: refreshing only these keeps it current.
    SensorFilter inputsOf(const ModeSensor& sensor) const;
    SensorFilter inputsOf(const std::string& sensorGroupID) const;

private:
    SensorDiscovery discovery_;
    HIDSensorSource hidSource_;
    CPUTopology topology_;
    std::vector<SMCSensor> sensors_;
    std::vector<HIDSensorReading> hid_;
    DieSensorGroup dieGroup_;
};

}  // namespace quorvane::ctl
