// `mode new`: writes a complete custom mode file that `run --mode` reads back, to standard output
// or to a file replaced atomically.
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>

#include <nlohmann/json.hpp>

#include "client_error.hpp"
#include "commands.hpp"
#include "mode_file.hpp"
#include "profile_choice.hpp"
#include "smc/sensor_discovery.hpp"
#include "smc_session.hpp"

namespace quorvane::ctl {

namespace {

constexpr const char* kDefaultSymbol = "flame.fill";

void writeFile(const std::string& path, const std::string& text, bool replace) {
    std::error_code error;
    if (!replace && std::filesystem::exists(path, error)) {
        throw ClientError(path + " exists; --force replaces it", ExitStatus::usage);
    }
    const std::string temporary = path + ".tmp";
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        out << text;
        out.flush();
        if (!out) {
            std::remove(temporary.c_str());
            throw ClientError("cannot write " + temporary);
        }
    }
    std::filesystem::rename(temporary, path, error);
    if (error) {
        std::remove(temporary.c_str());
        throw ClientError("cannot write " + path + ": " + error.message());
    }
}

bool isUTF8(const std::string& text) {
    try {
        (void)nlohmann::json(text).dump();
        return true;
    } catch (const nlohmann::json::type_error&) {
        return false;
    }
}

}  // namespace

int modeNewCommand(const ModeOptions& options) {
    if (options.name.empty()) throw ClientError("the mode needs a name", ExitStatus::usage);
    // The stored form is JSON, which carries UTF-8 only.
    if (!isUTF8(options.name)) throw ClientError("the mode's name is not UTF-8 text", ExitStatus::usage);
    if (options.symbol && !isUTF8(*options.symbol)) throw ClientError("the symbol name is not UTF-8 text", ExitStatus::usage);
    CustomMode mode = options.from ? builtinTemplate(*options.from)
                                   : CustomMode(Uuid(), "", kDefaultSymbol, ModeSpeed::floor(0),
                                                ModeSensor::source(ControlSource::hottest));
    mode = CustomMode(Uuid::random(), options.name, options.symbol.value_or(mode.symbolName), mode.speed(),
                      mode.controlSensor, mode.displaySensor, mode.drivesMainReadout || options.drivesMainReadout);
    // The command line checked the fractions already; the library's clamp never has to act.
    if (options.fixed) mode.setSpeed(ModeSpeed::fixed(*options.fixed));
    if (options.floor) mode.setSpeed(ModeSpeed::floor(*options.floor));
    if (options.source) mode.controlSensor = ModeSensor::source(*controlSourceFromRawValue(*options.source));
    if (options.sensor) {
        mode.controlSensor = ModeSensor::sensor(*options.sensor);
        checkModeSensors(mode, SensorDiscovery(openSMC()).discover());
    }
    const std::string text = mode.toJSON().dump(2) + "\n";
    if (!options.output) {
        std::cout << text << std::flush;
        return ExitStatus::ok;
    }
    writeFile(*options.output, text, options.force);
    std::cerr << "quorvanectl: wrote " << *options.output << "\n";
    return ExitStatus::ok;
}

}  // namespace quorvane::ctl
