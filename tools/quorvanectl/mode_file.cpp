#include "mode_file.hpp"

#include <cerrno>
#include <cmath>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "client_error.hpp"
#include "shared/common/decoding_error.hpp"
#include "shared/common/json_decoding.hpp"
#include "shared/sensors/control_source.hpp"
#include "shared/smc/smc_data_codec.hpp"

namespace quorvane::ctl {

namespace {

constexpr std::streamsize kModeFileLimit = 1 << 20;

[[noreturn]] void refuse(const std::string& file, const std::string& why) {
    throw ClientError("the mode file " + file + " " + why, ExitStatus::usage);
}

// The parser's own text carries the position; what precedes it is noise to a person.
std::string fromPosition(const std::string& text) {
    const auto at = text.find("parse error");
    return at == std::string::npos ? text : text.substr(at);
}

// The percentage a "speed" or "floorPercentage" holds, with its key path, where it is a number.
std::vector<std::pair<std::string, double>> percentages(const nlohmann::json& mode) {
    std::vector<std::pair<std::string, double>> found;
    if (const auto speed = mode.find("speed"); speed != mode.end() && speed->is_object()) {
        for (const char* kind : {"floor", "fixed"}) {
            const auto payload = speed->find(kind);
            if (payload == speed->end() || !payload->is_object()) continue;
            const auto p = payload->find("percentage");
            if (p != payload->end() && p->is_number()) found.emplace_back(std::string("speed.") + kind + ".percentage", p->get<double>());
        }
    } else if (const auto floor = mode.find("floorPercentage"); floor != mode.end() && floor->is_number()) {
        found.emplace_back("floorPercentage", floor->get<double>());
    }
    return found;
}

void checkSensorId(const ModeSensor& sensor, const char* role, const std::vector<SMCSensor>& sensors) {
    if (sensor.kind != ModeSensor::Kind::sensor) return;
    // A Mac may have a hundred sensors: the message names the first few and counts the rest.
    constexpr std::size_t shown = 16;
    std::string ids;
    for (std::size_t i = 0; i < sensors.size(); ++i) {
        if (sensors[i].id == sensor.id) return;
        if (i < shown) ids += (ids.empty() ? "" : " ") + sensors[i].id;
    }
    if (sensors.size() > shown) ids += " and " + std::to_string(sensors.size() - shown) + " more (quorvanectl sensors --all)";
    throw ClientError("the " + std::string(role) + " \"" + sensor.id + "\" is not a sensor of this Mac; " +
                          (ids.empty() ? std::string("it has no temperature sensors") : "its sensors are " + ids),
                      ExitStatus::usage);
}

}  // namespace

std::optional<std::string> fractionProblem(double fraction) {
    if (std::isnan(fraction)) return "is not a number: a speed is a fraction of the fan's range, 0 to 1";
    if (fraction >= 0 && fraction <= 1) return std::nullopt;
    std::string hint;
    if (fraction > 1 && fraction <= 100) hint = " (" + shortestDecimal(fraction / 100) + " for " + shortestDecimal(fraction) + " %)";
    return "is outside 0…1: a speed is a fraction of the fan's range" + hint;
}

CustomMode customModeFromText(const std::string& text, const std::string& file) {
    nlohmann::json json;
    try {
        json = json_decoding::parseJSON(text);
    } catch (const DecodingError& e) {
        refuse(file, "is not JSON: " + fromPosition(e.debugDescription()));
    }
    if (!json.is_object()) refuse(file, std::string("must hold a JSON object, not ") + json.type_name());

    std::string missing;
    for (const char* key : {"id", "name", "symbolName"}) {
        if (!json.contains(key)) missing += std::string(missing.empty() ? "" : ", ") + "\"" + key + "\"";
    }
    if (!json.contains("speed") && !json.contains("floorPercentage")) {
        missing += std::string(missing.empty() ? "" : ", ") + "\"speed\"";
    }
    if (!missing.empty()) {
        refuse(file, "lacks " + missing + " (quorvanectl mode new NAME writes a complete one)");
    }
    for (const auto& [path, value] : percentages(json)) {
        if (const auto problem = fractionProblem(value)) refuse(file, "has " + path + " " + shortestDecimal(value) + ", which " + *problem);
    }
    try {
        return CustomMode::fromJSON(json);
    } catch (const DecodingError& e) {
        refuse(file, "is not a custom mode: " + e.description());
    }
}

CustomMode readCustomMode(const std::string& path) {
    // Non-blocking open and a regular file only: a FIFO or a device must not stall the caller.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    struct stat info {};
    if (fd < 0 || ::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        const std::string why = fd < 0 ? std::strerror(errno) : "not a regular file";
        if (fd >= 0) ::close(fd);
        throw ClientError("cannot read the mode file " + path + ": " + why, ExitStatus::usage);
    }
    std::string text(static_cast<std::size_t>(kModeFileLimit) + 1, '\0');
    std::size_t size = 0;
    ssize_t n;
    while (size < text.size() && ((n = ::read(fd, text.data() + size, text.size() - size)) > 0 || (n < 0 && errno == EINTR)))
        if (n > 0) size += static_cast<std::size_t>(n);
    ::close(fd);
    if (size > static_cast<std::size_t>(kModeFileLimit)) refuse(path, "is larger than 1 MiB");
    text.resize(size);
    return customModeFromText(text, path);
}

void checkModeSensors(const CustomMode& mode, const std::vector<SMCSensor>& sensors) {
    checkSensorId(mode.controlSensor, "mode's control sensor", sensors);
    if (mode.displaySensor) checkSensorId(*mode.displaySensor, "mode's display sensor", sensors);
}

bool namesSensorKey(const FanProfile& profile) {
    const auto& group = profile.targetSensorGroupID;
    return profile.mode != ControlMode::appleAuto && group != "max" && !controlSourceFromRawValue(group);
}

void checkProfileSensor(const FanProfile& profile, const std::vector<SMCSensor>& sensors) {
    if (namesSensorKey(profile)) checkSensorId(ModeSensor::sensor(profile.targetSensorGroupID), "profile's sensor", sensors);
}

}  // namespace quorvane::ctl
