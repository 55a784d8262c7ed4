#include "shared/sensors/smc_sensor.hpp"

#include <functional>

namespace quorvane {

namespace {

const nlohmann::json& member(const nlohmann::json& j, const char* key) {
    if (!j.is_object()) throw nlohmann::json::type_error::create(302, "sensor must be an object", &j);
    auto it = j.find(key);
    if (it == j.end()) throw nlohmann::json::out_of_range::create(403, std::string("key '") + key + "' not found", &j);
    return *it;
}

std::string text(const nlohmann::json& j, const char* key) {
    const auto& v = member(j, key);
    if (!v.is_string()) throw nlohmann::json::type_error::create(302, std::string(key) + " must be a string", &v);
    return v.get<std::string>();
}

}  // namespace

nlohmann::ordered_json SMCSensor::toJSON() const {
    nlohmann::ordered_json j;
    j["id"] = id;
    j["key"] = key;
    j["name"] = name;
    j["category"] = std::string(rawValue(category));
    j["currentTemp"] = currentTemp;
    j["sensorClass"] = std::string(rawValue(sensorClass));
    j["unit"] = unit;
    return j;
}

SMCSensor SMCSensor::fromJSON(const nlohmann::json& j) {
    SMCSensor s;
    s.id = text(j, "id");
    s.key = text(j, "key");
    s.name = text(j, "name");
    s.category = member(j, "category").get<SensorCategory>();
    const auto& reading = member(j, "currentTemp");
    if (!reading.is_number())
        throw nlohmann::json::type_error::create(302, "currentTemp must be a number", &reading);
    s.currentTemp = reading.get<double>();
    s.sensorClass = member(j, "sensorClass").get<SensorClass>();
    s.unit = text(j, "unit");
    return s;
}

}  // namespace quorvane

std::size_t std::hash<quorvane::SMCSensor>::operator()(const quorvane::SMCSensor& s) const noexcept {
    std::size_t h = 0;
    auto mix = [&h](std::size_t v) { h ^= v + 0x9e3779b97f4a7c15ull + (h << 6) + (h >> 2); };
    std::hash<std::string_view> text;
    mix(text(s.id));
    mix(text(s.key));
    mix(text(s.name));
    mix(text(quorvane::rawValue(s.category)));
    // -0.0 == 0.0, so they must hash alike.
    mix(std::hash<double>{}(s.currentTemp == 0.0 ? 0.0 : s.currentTemp));
    mix(text(quorvane::rawValue(s.sensorClass)));
    mix(text(s.unit));
    return h;
}
