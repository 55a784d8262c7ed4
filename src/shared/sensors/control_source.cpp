#include "shared/sensors/control_source.hpp"

namespace quorvane {

std::string_view rawValue(ControlSource source) {
    switch (source) {
        case ControlSource::hottest: return "hottest";
        case ControlSource::cpuAverage: return "cpuAverage";
        case ControlSource::cpuPerformance: return "cpuPerformance";
        case ControlSource::cpuEfficiency: return "cpuEfficiency";
        case ControlSource::gpuAverage: return "gpuAverage";
    }
    return "hottest";
}

std::string_view displayName(ControlSource source) {
    switch (source) {
        case ControlSource::hottest: return "Hottest Sensor";
        case ControlSource::cpuAverage: return "CPU Core Average";
        case ControlSource::cpuPerformance: return "CPU Performance";
        case ControlSource::cpuEfficiency: return "CPU Efficiency";
        case ControlSource::gpuAverage: return "GPU Average";
    }
    return "Hottest Sensor";
}

std::optional<ControlSource> controlSourceFromRawValue(std::string_view raw) {
    for (ControlSource s : control_source::allCases)
        if (rawValue(s) == raw) return s;
    return std::nullopt;
}

}  // namespace quorvane
