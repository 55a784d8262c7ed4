#include "shared/smc/fan_status.hpp"

#include <cmath>
#include <functional>
#include <limits>

#include "shared/smc/shortest_decimal.hpp"

namespace quorvane {

namespace {
// JSON has no NaN or infinity: the encoder would write null, which no decoder accepts back.
void requireFinite(double value, const char* key) {
    if (!std::isfinite(value)) {
        throw nlohmann::json::out_of_range::create(
            406, std::string("FanStatus ") + key + " is not finite (" + shortestDecimal(value) + ")", nullptr);
    }
}
}  // namespace

nlohmann::ordered_json FanStatus::toJSON() const {
    requireFinite(currentRPM, "currentRPM");
    requireFinite(minRPM, "minRPM");
    requireFinite(maxRPM, "maxRPM");
    requireFinite(targetRPM, "targetRPM");
    nlohmann::ordered_json j;
    j["id"] = id;
    j["currentRPM"] = currentRPM;
    j["minRPM"] = minRPM;
    j["maxRPM"] = maxRPM;
    j["targetRPM"] = targetRPM;
    j["isManaged"] = isManaged;
    return j;
}

namespace {
double number(const nlohmann::json& j, const char* key) {
    const auto& v = j.at(key);
    if (!v.is_number()) throw nlohmann::json::type_error::create(302, std::string(key) + " must be a number", &v);
    return v.get<double>();
}
}  // namespace

FanStatus FanStatus::fromJSON(const nlohmann::json& j) {
    const auto& id = j.at("id");
    if (!id.is_number_integer()) throw nlohmann::json::type_error::create(302, "id must be an integer", &id);
    if (id.is_number_unsigned() && id.get<std::uint64_t>() > std::uint64_t{std::numeric_limits<std::int64_t>::max()}) {
        throw nlohmann::json::out_of_range::create(406, "id " + id.dump() + " is outside the 64-bit signed range", &id);
    }
    const auto& managed = j.at("isManaged");
    if (!managed.is_boolean()) throw nlohmann::json::type_error::create(302, "isManaged must be a boolean", &managed);
    FanStatus s;
    s.id = id.get<std::int64_t>();
    s.currentRPM = number(j, "currentRPM");
    s.minRPM = number(j, "minRPM");
    s.maxRPM = number(j, "maxRPM");
    s.targetRPM = number(j, "targetRPM");
    s.isManaged = managed.get<bool>();
    s.currentRPMValid = true;
    return s;
}

}  // namespace quorvane

std::size_t std::hash<quorvane::FanStatus>::operator()(const quorvane::FanStatus& s) const noexcept {
    // 0.0 and -0.0 are equal, so they must hash alike.
    auto h = [](double d) { return std::hash<double>{}(d == 0.0 ? 0.0 : d); };
    std::size_t acc = std::hash<std::int64_t>{}(s.id);
    auto mix = [&](std::size_t v) { acc ^= v + 0x9e3779b97f4a7c15ULL + (acc << 6) + (acc >> 2); };
    mix(h(s.currentRPM));
    mix(h(s.minRPM));
    mix(h(s.maxRPM));
    mix(h(s.targetRPM));
    mix(std::hash<bool>{}(s.isManaged));
    mix(std::hash<bool>{}(s.currentRPMValid));
    return acc;
}
