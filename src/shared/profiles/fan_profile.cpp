#include "shared/profiles/fan_profile.hpp"

#include <limits>

#include "shared/common/json_decoding.hpp"
#include "shared/profiles/curve_point_json.hpp"

namespace quorvane {

FanProfile::FanProfile(Uuid id, std::string name, ControlMode mode, std::int64_t constantTargetRPM,
                       std::string targetSensorGroupID, std::vector<CurvePoint> curvePoints)
    : name(std::move(name)),
      mode(mode),
      constantTargetRPM(constantTargetRPM),
      targetSensorGroupID(std::move(targetSensorGroupID)),
      curvePoints(std::move(curvePoints)),
      id_(id) {}

namespace {

Uuid fixedId(const char* text) { return *Uuid::parse(text); }

std::vector<CurvePoint> freshPoints(std::initializer_list<std::pair<double, double>> pairs) {
    std::vector<CurvePoint> points;
    for (const auto& [temperature, fraction] : pairs) points.push_back({Uuid::random(), temperature, fraction});
    return points;
}

}  // namespace

const FanProfile& FanProfile::appleAuto() {
    static const FanProfile p(fixedId("00000000-0000-0000-0000-000000000001"), "Apple Auto", ControlMode::appleAuto,
                              0, "max", {});
    return p;
}

const FanProfile& FanProfile::silentStealth() {
    static const FanProfile p(fixedId("00000000-0000-0000-0000-000000000002"), "Silent Stealth",
                              ControlMode::adaptiveCurve, 0, "max",
                              freshPoints({{40, 0.0}, {60, 0.25}, {75, 0.5}, {90, 1.0}}));
    return p;
}

const FanProfile& FanProfile::quorvaneStandard() {
    static const FanProfile p(fixedId("00000000-0000-0000-0000-000000000003"), "Quorvane Standard",
                              ControlMode::adaptiveCurve, 0, "max",
                              freshPoints({{35, 0.0}, {55, 0.35}, {70, 0.65}, {85, 1.0}}));
    return p;
}

const FanProfile& FanProfile::maxThermalBlast() {
    static const FanProfile p(fixedId("00000000-0000-0000-0000-000000000004"), "Max Thermal Blast",
                              ControlMode::constantRPM, std::numeric_limits<std::int64_t>::max(), "max", {});
    return p;
}

const std::vector<FanProfile>& FanProfile::builtins() {
    static const std::vector<FanProfile> all{appleAuto(), silentStealth(), quorvaneStandard(), maxThermalBlast()};
    return all;
}

nlohmann::ordered_json FanProfile::toJSON() const {
    nlohmann::ordered_json j;
    j["id"] = id_.uuidString();
    j["name"] = name;
    j["mode"] = quorvane::toJSON(mode);
    j["constantTargetRPM"] = constantTargetRPM;
    j["targetSensorGroupID"] = targetSensorGroupID;
    j["curvePoints"] = nlohmann::ordered_json::array();
    for (const CurvePoint& p : curvePoints) j["curvePoints"].push_back(quorvane::toJSON(p));
    return j;
}

FanProfile FanProfile::fromJSON(const nlohmann::json& json, const std::string& codingPath) {
    const json_decoding::ObjectReader r(json, codingPath);
    const Uuid id = r.uuid("id");
    std::string name = r.string("name");
    const ControlMode mode = controlModeFromJSON(r.require("mode"), r.pathOf("mode"));
    const std::int64_t target = r.int64("constantTargetRPM");
    std::string group = r.string("targetSensorGroupID");
    const nlohmann::json& points = r.require("curvePoints");
    const std::string pointsPath = r.pathOf("curvePoints");
    if (!points.is_array())
        throw DecodingError::typeMismatch(pointsPath, std::string("expected an array, found ") + points.type_name());
    std::vector<CurvePoint> curvePoints;
    curvePoints.reserve(points.size());
    for (std::size_t i = 0; i < points.size(); ++i)
        curvePoints.push_back(curvePointFromJSON(points[i], json_decoding::childPath(pointsPath, i)));
    return FanProfile(id, std::move(name), mode, target, std::move(group), std::move(curvePoints));
}

}  // namespace quorvane
