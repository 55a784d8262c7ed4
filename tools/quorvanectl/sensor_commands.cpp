// `sensors`: the device sensor map's rows and the five control-source temperatures, or with
// --all every sensor discovery finds, over this process's own SMC connection.
#include <iostream>

#include <nlohmann/json.hpp>

#include "client_error.hpp"
#include "commands.hpp"
#include "display_text.hpp"
#include "sensor_feed.hpp"
#include "shared/smc/smc_data_codec.hpp"
#include "smc_session.hpp"
#include "terminal_style.hpp"

namespace quorvane::ctl {

namespace {

nlohmann::ordered_json optionalNumber(std::optional<double> value) {
    return value ? nlohmann::ordered_json(*value) : nlohmann::ordered_json(nullptr);
}

int allSensors(bool json) {
    const auto sensors = SensorDiscovery(openSMC()).discoverAll();
    if (json) {
        auto array = nlohmann::ordered_json::array();
        for (const auto& s : sensors) array.push_back(s.toJSON());
        std::cout << array.dump(2) << std::endl;
        return ExitStatus::ok;
    }
    const auto style = TerminalStyle::detect();
    std::cout << style.bold("KEY   NAME                 CATEGORY       CLASS        READING") << "\n";
    for (const auto& s : sensors) {
        const std::string reading =
            s.sensorClass == SensorClass::temperature ? temperatureText(s.currentTemp) : shortestDecimal(s.currentTemp) + " " + s.unit;
        std::cout << padRight(s.key, 4) << "  " << padRight(s.name, 19) << "  "
                  << padRight(std::string(displayName(s.category)), 13) << "  "
                  << padRight(std::string(rawValue(s.sensorClass)), 11) << "  " << reading << "\n";
    }
    std::cout.flush();
    return ExitStatus::ok;
}

}  // namespace

int sensorsCommand(bool all, bool json) {
    if (all) return allSensors(json);
    const SensorFeed feed(openSMC());
    const auto rows = feed.rows();
    if (json) {
        nlohmann::ordered_json out;
        out["rows"] = nlohmann::ordered_json::array();
        for (const auto& r : rows) {
            out["rows"].push_back({{"id", r.id}, {"name", r.name}, {"symbol", r.symbol}, {"value", optionalNumber(r.value)}});
        }
        out["controlSources"] = nlohmann::ordered_json::object();
        for (const auto source : control_source::allCases) {
            out["controlSources"][std::string(rawValue(source))] = optionalNumber(feed.aggregate(source));
        }
        std::cout << out.dump(2) << std::endl;
        return ExitStatus::ok;
    }
    const auto style = TerminalStyle::detect();
    std::cout << style.bold(padRight("SENSOR", 30) + "TEMPERATURE") << "\n";
    for (const auto& r : rows) std::cout << padRight(r.name, 30) << temperatureText(r.value) << "\n";
    std::cout << "\n" << style.bold(padRight("CONTROL SOURCE", 30) + "TEMPERATURE") << "\n";
    for (const auto source : control_source::allCases) {
        std::cout << padRight(std::string(displayName(source)), 30) << temperatureText(feed.aggregate(source)) << "\n";
    }
    std::cout.flush();
    return ExitStatus::ok;
}

}  // namespace quorvane::ctl
