// `sensors`: the device sensor map's rows and the five control-source temperatures, or with
// --all every sensor discovery finds, over this process's own SMC connection.
#include <algorithm>
#include <cmath>
#include <iostream>

#include "client_error.hpp"
#include "commands.hpp"
#include "display_text.hpp"
#include "json_output.hpp"
#include "sensor_feed.hpp"
#include "shared/smc/smc_data_codec.hpp"
#include "smc_session.hpp"
#include "terminal_style.hpp"

namespace quorvane::ctl {

namespace {

// One row of "sensors", the same shape with or without --all: a device row has no SMC key of its
// own when it stands for several ("cpu.avg") and no category.
nlohmann::ordered_json row(const std::string& id, std::optional<std::string> key, const std::string& name,
                           std::optional<SensorCategory> category, SensorClass sensorClass, std::optional<double> value) {
    nlohmann::ordered_json j;
    j["id"] = id;
    j["key"] = key ? nlohmann::ordered_json(*key) : nlohmann::ordered_json(nullptr);
    j["name"] = name;
    j["category"] = category ? nlohmann::ordered_json(rawValue(*category)) : nlohmann::ordered_json(nullptr);
    j["sensorClass"] = rawValue(sensorClass);
    j["value"] = optionalNumber(value);
    j["unit"] = unit(sensorClass);
    return j;
}

std::optional<double> finite(double value) { return std::isfinite(value) ? std::optional<double>(value) : std::nullopt; }

void printJSON(nlohmann::ordered_json rows, const SensorFeed& feed) {
    auto out = jsonDocument();
    out["sensors"] = std::move(rows);
    out["controlSources"] = nlohmann::ordered_json::object();
    for (const auto source : control_source::allCases) {
        out["controlSources"][std::string(rawValue(source))] = optionalNumber(feed.aggregate(source));
    }
    const auto hottest = feed.dieGroup().hottestReading(feed.sensors(), feed.hidReadings());
    out["controlTemperature"] = {{"sensorGroup", "max"},
                                 {"value", hottest ? nlohmann::ordered_json(hottest->second) : nullptr},
                                 {"hottest", hottest ? nlohmann::ordered_json(hottest->first) : nullptr},
                                 {"keys", feed.dieGroup().keys()},
                                 {"hidServices", feed.dieGroup().hidNames()},
                                 {"dieKeysFound", !feed.dieGroup().isFallback()},
                                 {"hwmonCovers", feed.dieGroup().coveredByHwmon()}};
    std::cout << out.dump(2) << std::endl;
}

int allSensors(bool json) {
    const auto bridge = openSMC();
    const auto sensors = SensorDiscovery(bridge).discoverAll();
    if (json) {
        auto rows = nlohmann::ordered_json::array();
        for (const auto& s : sensors) rows.push_back(row(s.id, s.key, s.name, s.category, s.sensorClass, finite(s.currentTemp)));
        printJSON(std::move(rows), SensorFeed(bridge));
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
        auto array = nlohmann::ordered_json::array();
        for (const auto& r : rows) {
            const bool isKey = std::any_of(feed.sensors().begin(), feed.sensors().end(),
                                           [&](const SMCSensor& s) { return s.key == r.id; });
            array.push_back(row(r.id, isKey ? std::optional<std::string>(r.id) : std::nullopt, r.name, std::nullopt,
                                SensorClass::temperature, r.value));
        }
        printJSON(std::move(array), feed);
        return ExitStatus::ok;
    }
    const auto style = TerminalStyle::detect();
    std::cout << style.bold(padRight("SENSOR", 30) + "TEMPERATURE") << "\n";
    for (const auto& r : rows) std::cout << padRight(r.name, 30) << temperatureText(r.value) << "\n";
    std::cout << "\n" << style.bold(padRight("CONTROL SOURCE", 30) + "TEMPERATURE") << "\n";
    for (const auto source : control_source::allCases) {
        std::cout << padRight(std::string(displayName(source)), 30) << temperatureText(feed.aggregate(source)) << "\n";
    }
    std::cout << "\n" << style.bold(padRight("SENSOR GROUP \"max\"", 30) + "TEMPERATURE") << "\n"
              << padRight("control temperature", 30) << temperatureText(feed.temperature("max")) << "\n  "
              << feed.dieGroupSummary() << "\n";
    std::string keys;
    for (const auto& k : feed.dieGroup().keys()) keys += (keys.empty() ? "" : " ") + k;
    for (const auto& n : feed.dieGroup().hidNames()) keys += (keys.empty() ? "\"" : " \"") + n + "\"";
    std::cout << "  keys: " << keys << "\n";
    std::cout.flush();
    return ExitStatus::ok;
}

}  // namespace quorvane::ctl
