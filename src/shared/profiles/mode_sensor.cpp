#include "shared/profiles/mode_sensor.hpp"

#include "shared/profiles/single_case_object.hpp"

namespace quorvane {

namespace {
constexpr std::array<std::string_view, 2> caseKeys{"source", "sensor"};
}

nlohmann::ordered_json ModeSensor::toJSON() const {
    nlohmann::ordered_json payload, j;
    if (kind == Kind::source) {
        payload["_0"] = std::string(rawValue(controlSource));
        j["source"] = std::move(payload);
    } else {
        payload["id"] = id;
        j["sensor"] = std::move(payload);
    }
    return j;
}

ModeSensor ModeSensor::fromJSON(const nlohmann::json& json, const std::string& codingPath) {
    const SingleCaseObject c(json, codingPath, caseKeys);
    if (c.index == 1) return sensor(c.payload.string("id"));
    const std::string raw = c.payload.string("_0");
    if (auto s = controlSourceFromRawValue(raw)) return source(*s);
    throw DecodingError::dataCorrupted(c.payload.pathOf("_0"),
                                       "Cannot initialize ControlSource from invalid String value " + raw);
}

}  // namespace quorvane
