// The application's control temperature for the sensor group "max": the hottest live reading of
// the CPU and GPU dies and cores. Which keys count is chosen once, from the first readings, so
// that keys holding no live temperature (offsets, limits, flat placeholders) can never win:
//   - on a Mac with efficiency cores (Apple silicon) the "Tp", "Te" and "Tg" keys, in families
//     by their first three characters ("Tp0", "Tpx", "Te0", "Tg1", ...);
//   - on a one-level Mac (Intel) the per-core and package keys "TC<n>C"/"TC<n>c", "TCXC"/"TCXc",
//     "TC<n>D", "TC<n>E", "TC<n>F", "TCGC"/"TCGc" (family "TC") and the GPU dies "TG<n>D"/"TG<n>d"
//     (family "TG");
//   - HID die and cluster services ("PMU tdie<n>", "pACC/eACC/GPU MTR Temp Sensor<n>"), in
//     families by name without the trailing number;
//   - the chips' own hwmon sensors under Linux ("coretemp Core 0", "amdgpu edge", ...).
// A reading counts when finite, above 12 °C and at most 130 °C. A family with no such reading is
// left out, and so is one whose readings are all the same value (four or more keys): that is a
// placeholder, not silicon (hwmon sensors are silicon, whole degrees often agree). A die the
// hwmon sensors cover leaves the SMC's keys of that die out: the CPU whenever coretemp reads,
// the GPU where the SMC has live GPU die keys (elsewhere hwmon GPUs are not counted, as the SMC
// would not count them). Without any die family the group is every named temperature sensor.
// Value type, not shared.
#pragma once

#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "shared/sensors/smc_sensor.hpp"
#include "smc/cpu_topology.hpp"
#include "smc/hid_sensor_source.hpp"

namespace quorvane {

class DieSensorGroup {
public:
    // Equal readings in a family of at least this many keys mark a placeholder.
    static constexpr std::size_t flatFamilyMinimum = 4;

    static DieSensorGroup select(std::span<const SMCSensor> sensors, std::span<const HIDSensorReading> hid,
                                 const CPUTopology& cpu);

    // The hottest counted reading among the group's keys and services, with the key or service
    // name giving it (the first of equal maxima); absent when none counts.
    std::optional<std::pair<std::string, double>> hottestReading(std::span<const SMCSensor> sensors,
                                                                 std::span<const HIDSensorReading> hid) const;

    // For a selective refresh: only these sensors feed the control temperature.
    bool contains(const SMCSensor& sensor) const;
    const std::vector<std::string>& keys() const { return keys_; }
    const std::vector<std::string>& hidNames() const { return hidNames_; }
    // No die family was found: the group is every named temperature sensor.
    bool isFallback() const { return fallback_; }
    // The dies whose SMC keys are left out because hwmon sensors read them: "CPU", "GPU".
    const std::vector<std::string>& coveredByHwmon() const { return covered_; }
    // How many of hidNames() are hwmon sensors, and their drivers ("coretemp", "amdgpu").
    std::size_t hwmonCount() const { return hwmonCount_; }
    const std::vector<std::string>& hwmonDrivers() const { return hwmonDrivers_; }

private:
    // Leaves out the SMC keys of the dies hwmon sensors read (see above).
    void applyHwmonCoverage(bool appleSilicon);

    std::vector<std::string> keys_;      // SMC keys, family by family in discovery order
    std::vector<std::string> sortedKeys_;  // the same, sorted for lookups
    std::vector<std::string> hidNames_;  // HID product names, in first-seen order
    std::vector<std::string> covered_;
    std::size_t hwmonCount_ = 0;
    std::vector<std::string> hwmonDrivers_;
    bool fallback_ = false;
};

}  // namespace quorvane
