#include "smc/cpu_topology.hpp"

#include <cstdint>
#include <optional>

#include "platform/sysctl/sysctl.hpp"

namespace quorvane {

namespace {

// A count a Mac could have; anything else reads as unknown.
std::optional<long> count(const char* name) {
    std::int32_t value = 0;
    std::size_t size = sizeof value;
    if (sysctlbyname(name, &value, &size, nullptr, 0) != 0 || size != sizeof value || value < 0 || value > 4096)
        return std::nullopt;
    return value;
}

}  // namespace

CPUTopology CPUTopology::read() {
    CPUTopology t;
    const auto levels = count("hw.nperflevels");
    if (levels && *levels >= 2) {
        t.performanceLevels = 2;
        t.performanceCores = count("hw.perflevel0.physicalcpu").value_or(0);
        t.efficiencyCores = count("hw.perflevel1.physicalcpu").value_or(0);
        return t;
    }
    t.performanceCores = count("hw.perflevel0.physicalcpu").value_or(count("hw.physicalcpu").value_or(0));
    return t;
}

DeviceSensorMap::CoreCounts CPUTopology::coreCounts() const {
    if (!hasEfficiencyLevel()) return {0, 0};
    return {performanceCores, efficiencyCores};
}

std::vector<DeviceSensorReading> CPUTopology::fixedList(std::span<const SMCSensor> sensors) const {
    if (hasEfficiencyLevel()) return DeviceSensorMap::fixedList(sensors, coreCounts());
    std::vector<SMCSensor> shown;
    for (const auto& s : sensors) {
        const std::string prefix = s.key.substr(0, 2);
        if (prefix != "Tp" && prefix != "Te" && prefix != "Tg" && prefix != "TG") shown.push_back(s);
    }
    return DeviceSensorMap::fixedList(shown, coreCounts());
}

}  // namespace quorvane
