// One discovered SMC sensor: identity, key, display name, category, latest reading, class and
// unit, with its JSON form. Equality and hashing cover all seven fields (a reading of -0.0 hashes
// like 0.0). Value type, not shared.
#pragma once

#include <cstddef>
#include <string>

#include <nlohmann/json.hpp>

#include "shared/sensors/sensor_class.hpp"

namespace quorvane {

struct SMCSensor {
    std::string id;           // discovery sets it to the key
    std::string key;          // the four-character SMC key
    std::string name;         // display name; the key itself where the classifier has none
    SensorCategory category = SensorCategory::enclosure;
    double currentTemp = 0;   // latest reading in the unit of sensorClass (every class)
    SensorClass sensorClass = SensorClass::other;
    std::string unit;

    friend bool operator==(const SMCSensor&, const SMCSensor&) = default;

    // {"id","key","name","category","currentTemp","sensorClass","unit"} in that order. A
    // non-finite reading is written as null (JSON has no NaN); decoding then refuses it.
    nlohmann::ordered_json toJSON() const;
    // All seven keys required with their types; category and sensorClass must be known raw values;
    // other keys are ignored. Throws nlohmann::json::exception.
    static SMCSensor fromJSON(const nlohmann::json& json);
};

}  // namespace quorvane

template <>
struct std::hash<quorvane::SMCSensor> {
    std::size_t operator()(const quorvane::SMCSensor& s) const noexcept;
};
