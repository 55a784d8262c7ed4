#include "shared/sensors/control_source.hpp"

#include <string>

#include <nlohmann/json.hpp>

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

void to_json(nlohmann::json& j, ControlSource source) { j = std::string(rawValue(source)); }

void from_json(const nlohmann::json& j, ControlSource& source) {
    if (!j.is_string()) throw nlohmann::json::type_error::create(302, "control source must be a string", &j);
    const auto parsed = controlSourceFromRawValue(j.get_ref<const std::string&>());
    if (!parsed) throw nlohmann::json::other_error::create(501, "unknown control source \"" + j.get<std::string>() + "\"", &j);
    source = *parsed;
}

}  // namespace quorvane
