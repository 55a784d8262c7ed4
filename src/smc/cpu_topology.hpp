// The Mac's CPU as sysctl reports it: how many performance levels, and the physical cores of each.
// The device sensor map's core counts come from here, never from counting SMC keys. Value type,
// not shared; read() is thread-safe.
#pragma once

#include <span>
#include <vector>

#include "shared/sensors/device_sensor_map.hpp"

namespace quorvane {

struct CPUTopology {
    long performanceLevels = 1;  // 2 on Apple silicon (performance and efficiency cores)
    long performanceCores = 0;   // perflevel0 (every core on a one-level Mac); 0 when unknown
    long efficiencyCores = 0;    // perflevel1; 0 on a one-level Mac

    // "hw.nperflevels", "hw.perflevel0.physicalcpu", "hw.perflevel1.physicalcpu", "hw.physicalcpu".
    // A Mac that does not answer "hw.nperflevels" (older Intel systems) has one level.
    static CPUTopology read();

    bool hasEfficiencyLevel() const { return performanceLevels >= 2; }
    // The counts the device sensor map groups "Tp"/"Te" keys by. A one-level Mac (Intel) has no
    // such per-core keys, so it gets no core rows however many cores it has.
    DeviceSensorMap::CoreCounts coreCounts() const;
    // The device sensor map's rows for this Mac. On a one-level Mac the "Tp", "Te", "Tg" and "TG"
    // keys are no cores or GPU clusters (power supply, other boards, GPU proximity), so the map
    // does not see them.
    std::vector<DeviceSensorReading> fixedList(std::span<const SMCSensor> sensors) const;

    friend bool operator==(const CPUTopology&, const CPUTopology&) = default;
};

}  // namespace quorvane
