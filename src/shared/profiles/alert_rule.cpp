#include "shared/profiles/alert_rule.hpp"

#include "shared/common/json_decoding.hpp"
#include "shared/common/json_encoding.hpp"

namespace quorvane {

nlohmann::ordered_json AlertRule::toJSON() const {
    nlohmann::ordered_json j;
    j["enabled"] = enabled;
    j["thresholdCelsius"] = json_encoding::finite(thresholdCelsius, "thresholdCelsius");
    j["autoBoost"] = autoBoost;
    return j;
}

AlertRule AlertRule::fromJSON(const nlohmann::json& json, const std::string& codingPath) {
    const json_decoding::ObjectReader r(json, codingPath);
    return AlertRule{r.boolean("enabled"), r.number("thresholdCelsius"), r.boolean("autoBoost")};
}

}  // namespace quorvane
