// The five aggregate temperatures a fan can follow; JSON form is the raw value string.
// Value type, thread-safe.
#pragma once

#include <array>
#include <optional>
#include <string_view>

#include <nlohmann/json_fwd.hpp>

namespace quorvane {

enum class ControlSource { hottest, cpuAverage, cpuPerformance, cpuEfficiency, gpuAverage };

namespace control_source {

// Every case, in display order.
inline constexpr std::array<ControlSource, 5> allCases{ControlSource::hottest, ControlSource::cpuAverage,
                                                       ControlSource::cpuPerformance, ControlSource::cpuEfficiency,
                                                       ControlSource::gpuAverage};

}  // namespace control_source

std::string_view rawValue(ControlSource source);
std::string_view displayName(ControlSource source);
// Exact, case-sensitive match of a raw value; anything else is absent.
std::optional<ControlSource> controlSourceFromRawValue(std::string_view raw);

// JSON: the raw value string; any other value throws nlohmann::json::exception.
void to_json(nlohmann::json& j, ControlSource source);
void from_json(const nlohmann::json& j, ControlSource& source);

}  // namespace quorvane
