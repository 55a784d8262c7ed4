// `profiles`: the built-in fan profiles and the custom-mode templates, as a table or as the JSON
// the application stores.
#include <cstdint>
#include <iostream>
#include <limits>

#include "client_error.hpp"
#include "commands.hpp"
#include "display_text.hpp"
#include "json_output.hpp"
#include "profile_choice.hpp"
#include "shared/profiles/custom_mode.hpp"
#include "shared/profiles/fan_profile.hpp"
#include "terminal_style.hpp"

namespace quorvane::ctl {

namespace {

std::string curveText(const FanProfile& p) {
    switch (p.mode) {
        case ControlMode::appleAuto: return "fans left to Apple";
        case ControlMode::constantRPM:
            // The largest target stands for "as fast as each fan goes": its number means nothing to a person.
            if (p.constantTargetRPM == std::numeric_limits<std::int64_t>::max()) return "full speed (each fan's maximum)";
            return std::to_string(p.constantTargetRPM) + " rpm (within each fan's bounds)";
        case ControlMode::adaptiveCurve: break;
    }
    std::string text;
    for (const auto& point : p.curvePoints) {
        if (!text.empty()) text += ", ";
        text += wholeTemperatureText(point.temperature) + " " + dutyText(point.rpmPercentage);
    }
    return text;
}

std::string sensorText(const ModeSensor& s) {
    return s.kind == ModeSensor::Kind::source ? std::string(displayName(s.controlSource)) : "sensor " + s.id;
}

}  // namespace

int profilesCommand(bool json) {
    if (json) {
        auto out = jsonDocument();
        out["profiles"] = nlohmann::ordered_json::array();
        for (const auto& p : FanProfile::builtins()) out["profiles"].push_back(p.toJSON());
        out["templates"] = nlohmann::ordered_json::array();
        for (const auto& m : listedTemplates()) out["templates"].push_back(m.toJSON());
        std::cout << out.dump(2) << std::endl;
        return ExitStatus::ok;
    }
    const auto style = TerminalStyle::detect();
    std::cout << style.bold("PROFILE              MODE           SENSOR  CURVE OR TARGET") << "\n";
    for (const auto& p : FanProfile::builtins()) {
        std::cout << padRight(p.name, 19) << "  " << padRight(controlModeName(p.mode), 13) << "  "
                  << padRight(p.targetSensorGroupID, 6) << "  " << curveText(p) << "\n";
    }
    std::cout << "\n" << style.bold("MODE TEMPLATE  SYMBOL               SPEED         CONTROL SENSOR") << "\n";
    for (const auto& m : listedTemplates()) {
        const std::string speed = std::string(m.speed().displayName()) + " " + dutyText(m.speed().percentage);
        std::cout << padRight(m.name, 13) << "  " << padRight(m.symbolName, 19) << "  " << padRight(speed, 12) << "  "
                  << sensorText(m.controlSensor) << "\n";
    }
    std::cout.flush();
    return ExitStatus::ok;
}

}  // namespace quorvane::ctl
