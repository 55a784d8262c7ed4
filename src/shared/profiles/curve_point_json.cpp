#include "shared/profiles/curve_point_json.hpp"

#include "shared/common/json_decoding.hpp"
#include "shared/common/json_encoding.hpp"

namespace quorvane {

nlohmann::ordered_json toJSON(const CurvePoint& point) {
    nlohmann::ordered_json j;
    j["id"] = point.id.uuidString();
    j["temperature"] = json_encoding::finite(point.temperature, "temperature");
    j["rpmPercentage"] = json_encoding::finite(point.rpmPercentage, "rpmPercentage");
    return j;
}

CurvePoint curvePointFromJSON(const nlohmann::json& json, const std::string& codingPath) {
    const json_decoding::ObjectReader r(json, codingPath);
    return CurvePoint{r.uuid("id"), r.number("temperature"), r.number("rpmPercentage")};
}

}  // namespace quorvane
