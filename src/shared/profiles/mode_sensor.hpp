// Which temperature a custom mode follows or shows: an aggregate control source or one sensor by
// id. JSON form {"source": {"_0": raw}} or {"sensor": {"id": text}}. Value type.
#pragma once

#include <string>

#include <nlohmann/json.hpp>

#include "shared/sensors/control_source.hpp"

namespace quorvane {

struct ModeSensor {
    enum class Kind { source, sensor };

    Kind kind = Kind::source;
    ControlSource controlSource = ControlSource::hottest;  // meaningful for source
    std::string id;                                        // meaningful for sensor

    static ModeSensor source(ControlSource s) { return {Kind::source, s, {}}; }
    static ModeSensor sensor(std::string id) { return {Kind::sensor, ControlSource::hottest, std::move(id)}; }

    nlohmann::ordered_json toJSON() const;
    // Exactly one of "source" and "sensor" (other keys ignored), else typeMismatch "Invalid number
    // of keys found, expected one."; an unknown source is dataCorrupted. Fails with DecodingError.
    static ModeSensor fromJSON(const nlohmann::json& json, const std::string& codingPath = "");

    // Same case and equal payload.
    friend bool operator==(const ModeSensor& a, const ModeSensor& b) {
        if (a.kind != b.kind) return false;
        return a.kind == Kind::source ? a.controlSource == b.controlSource : a.id == b.id;
    }
};

}  // namespace quorvane
