#include "shared/profiles/mode_speed.hpp"

#include "shared/common/json_decoding.hpp"
#include "shared/common/json_encoding.hpp"
#include "shared/profiles/single_case_object.hpp"

namespace quorvane {

namespace {
constexpr std::array<std::string_view, 2> caseKeys{"floor", "fixed"};
}

std::string_view ModeSpeed::displayName() const { return kind == Kind::floor ? "Minimum" : "Fixed"; }

nlohmann::ordered_json ModeSpeed::toJSON() const {
    nlohmann::ordered_json payload;
    payload["percentage"] = json_encoding::finite(percentage, "percentage");
    nlohmann::ordered_json j;
    j[std::string(caseKeys[kind == Kind::floor ? 0 : 1])] = std::move(payload);
    return j;
}

ModeSpeed ModeSpeed::fromJSON(const nlohmann::json& json, const std::string& codingPath) {
    const SingleCaseObject c(json, codingPath, caseKeys);
    return {c.index == 0 ? Kind::floor : Kind::fixed, c.payload.number("percentage")};
}

}  // namespace quorvane
