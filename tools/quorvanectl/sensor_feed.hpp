// The temperatures the client works with: the SMC's temperature sensors, discovered once over
// this process's own SMC connection and refreshed on demand, with the device sensor map's rows
// and control-source aggregates over them. Main thread only (owned by one command).
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "shared/profiles/mode_sensor.hpp"
#include "shared/sensors/device_sensor_map.hpp"
#include "smc/sensor_discovery.hpp"

namespace quorvane::ctl {

class SensorFeed {
public:
    explicit SensorFeed(std::shared_ptr<SMCKernelBridge> bridge);

    // Reads every sensor again (one exchange each).
    void refresh();

    const std::vector<SMCSensor>& sensors() const { return sensors_; }
    // The client does not know the chip's core counts, so it counts every core group the SMC
    // shows: a count at least the number of keys of each family.
    const DeviceSensorMap::CoreCounts& coreCounts() const { return counts_; }

    std::vector<DeviceSensorReading> rows() const;
    std::optional<double> aggregate(ControlSource source) const;
    // A mode's sensor: an aggregate, or one sensor by id.
    std::optional<double> temperature(const ModeSensor& sensor) const;
    // A profile's sensor group: "max" is the hottest trusted sensor; a control source's raw value
    // is that aggregate; anything else names one sensor by id.
    std::optional<double> temperature(const std::string& sensorGroupID) const;

private:
    SensorDiscovery discovery_;
    std::vector<SMCSensor> sensors_;
    DeviceSensorMap::CoreCounts counts_;
};

}  // namespace quorvane::ctl
