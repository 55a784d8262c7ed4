// A user-facing fan profile (Apple automatic, constant RPM or an adaptive curve), its JSON form
// and the four built-ins with fixed ids. Value type; the built-ins are created once and shared
// read-only (thread-safe).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "shared/common/uuid.hpp"
#include "shared/control/curve_point.hpp"
#include "shared/profiles/control_mode.hpp"

namespace quorvane {

class FanProfile {
public:
    FanProfile(Uuid id, std::string name, ControlMode mode, std::int64_t constantTargetRPM,
               std::string targetSensorGroupID, std::vector<CurvePoint> curvePoints);

    const Uuid& id() const { return id_; }
    std::string name;
    ControlMode mode;
    std::int64_t constantTargetRPM;
    std::string targetSensorGroupID;
    // Kept in their own order; a FanCurve built from them sorts them (and needs two or more).
    std::vector<CurvePoint> curvePoints;

    // Ids fixed in code; curve point ids are fresh for each run of the program.
    static const FanProfile& appleAuto();
    static const FanProfile& silentStealth();
    static const FanProfile& quorvaneStandard();
    // constantTargetRPM is INT64_MAX; the daemon's write policy clamps it to the fan's maximum.
    static const FanProfile& maxThermalBlast();
    // The four above, in that order.
    static const std::vector<FanProfile>& builtins();

    // Keys "id", "name", "mode", "constantTargetRPM", "targetSensorGroupID", "curvePoints" in
    // that order; the id upper-case. Throws std::invalid_argument for a non-finite point value.
    nlohmann::ordered_json toJSON() const;
    // All six keys required; the id in either case; other keys ignored. Fails with DecodingError.
    static FanProfile fromJSON(const nlohmann::json& json, const std::string& codingPath = "");

    friend bool operator==(const FanProfile&, const FanProfile&) = default;

private:
    Uuid id_;
};

}  // namespace quorvane
