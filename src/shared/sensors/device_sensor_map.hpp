// Condenses discovered SMC sensors into the fixed display rows (battery, CPU cores, GPU clusters,
// power and port proximity, SSD) and one temperature per control source. Readings count only
// when finite and above SensorSelection::activeSiliconFloor. Pure functions, thread-safe (the
// ordinal alphabet is built once under a thread-safe guard).
#pragma once

#include <optional>
#include <span>
#include <string>
#include <vector>

#include "shared/sensors/control_source.hpp"
#include "shared/sensors/smc_sensor.hpp"

namespace quorvane {

struct DeviceSensorReading {
    std::string id;       // an SMC key ("TB0T") or a synthetic id ("cpu.avg", "perf.0")
    std::string name;
    std::string symbol;   // system symbol image name
    std::optional<double> value;  // °C; absent without a valid reading
    friend bool operator==(const DeviceSensorReading&, const DeviceSensorReading&) = default;
};

namespace DeviceSensorMap {

struct CoreCounts {
    long performance = 0;
    long efficiency = 0;
    friend bool operator==(const CoreCounts&, const CoreCounts&) = default;
};

std::vector<DeviceSensorReading> fixedList(std::span<const SMCSensor> sensors, CoreCounts counts);
std::optional<double> aggregate(ControlSource source, std::span<const SMCSensor> sensors, CoreCounts counts);
// Whether aggregate(source, …) may read this sensor, whatever the readings are: refreshing only
// these keeps the aggregate as current as refreshing them all.
bool feedsAggregate(ControlSource source, const SMCSensor& sensor);

// The ordinal of a four-character key's last two characters in the 62-character alphabet
// 0-9A-Za-z (index(c1) * 62 + index(c2)); absent for other lengths or characters.
std::optional<int> keyOrdinal(std::string_view key);

}  // namespace DeviceSensorMap

}  // namespace quorvane
