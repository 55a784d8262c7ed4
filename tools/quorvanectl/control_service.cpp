// `serve`: the control service (quorvane-control.service). Follows the configuration file with
// the same loop as `run`, tells the service manager when the fans are under control, takes a
// changed file on SIGHUP without handing the fans back (a file with errors is reported and the
// current configuration kept), and on SIGTERM hands every fan back. Says only what changes.
// It keeps what each tick did and answers read-only questions about it on a Unix socket in the
// bootstrap directory (ControlApi), on the socket's own thread.
// `serve --check` judges a file the way a reload would, without touching the fans.
#include <malloc.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <iostream>
#include <memory>

#include <nlohmann/json.hpp>

#include "client_error.hpp"
#include "commands.hpp"
#include "control_api.hpp"
#include "control_config.hpp"
#include "control_service_state.hpp"
#include "daemon_client.hpp"
#include "drive_fans.hpp"
#include "mode_file.hpp"
#include "platform/bootstrap/bootstrap.hpp"
#include "platform/bootstrap/line_socket.hpp"
#include "platform/bootstrap/service_manager.hpp"
#include "sensor_feed.hpp"
#include "service_log.hpp"
#include "smc_session.hpp"
#include "stop_signal.hpp"

namespace quorvane::ctl {

namespace {

constexpr int kStatusNotRunning = 3;
constexpr const char* apiGroupName = "quorvane-web";

ControlLoop loopFor(ControlConfig config) {
    WorkloadPolicy workload;
    workload.seed(config.boostApplications);
    return ControlLoop(std::move(config.profile), std::move(config.mode), config.alert, std::move(workload));
}

std::string following(const ControlLoop& loop) {
    return loop.mode() ? loop.profile().name + " + " + loop.mode()->name : loop.profile().name;
}

bool namesSensorIds(const ControlLoop& loop) {
    const auto& mode = loop.mode();
    return namesSensorKey(loop.profile()) ||
           (mode && (mode->controlSensor.kind == ModeSensor::Kind::sensor ||
                     (mode->displaySensor && mode->displaySensor->kind == ModeSensor::Kind::sensor)));
}

void checkSensors(const ControlLoop& loop, const std::vector<SMCSensor>& sensors) {
    checkProfileSensor(loop.profile(), sensors);
    if (loop.mode()) checkModeSensors(*loop.mode(), sensors);
}

double unixNow() { return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count(); }

// The group of the web face, from /etc/group itself (no NSS: the program links statically).
std::optional<gid_t> webGroup() {
    std::ifstream groups("/etc/group");
    std::string entry;
    while (std::getline(groups, entry)) {
        // name:password:gid:members
        const auto first = entry.find(':');
        const auto second = first == std::string::npos ? first : entry.find(':', first + 1);
        if (second == std::string::npos || entry.compare(0, first, apiGroupName) != 0 || first != std::strlen(apiGroupName))
            continue;
        try {
            return static_cast<gid_t>(std::stoul(entry.substr(second + 1)));
        } catch (const std::exception&) {
            return std::nullopt;
        }
    }
    return std::nullopt;
}

// The API's socket, readable and writable (connecting needs both) by the group "quorvane-web"
// where it exists (the service's unit puts the service in it, so no capability is needed to give
// the socket to it), else by the bootstrap directory's group; without it the service still drives
// the fans. A user outside that group keeps its own group on the socket. The daemon's socket stays
// root's alone: the web face's group reaches this socket and nothing else.
std::unique_ptr<bootstrap::LineSocketServer> openApi(const ControlApi& api) {
    const std::string path = bootstrap::socketPath(controlApiSocketName);
    try {
        auto server = std::make_unique<bootstrap::LineSocketServer>(
            path, [&api](const std::string& line) -> std::optional<std::string> { return api.answer(line, unixNow()); },
            controlApiMaxRequestBytes);
        struct stat directory {};
        std::optional<gid_t> group = webGroup();
        if (!group && ::stat(bootstrap::directory().c_str(), &directory) == 0) group = directory.st_gid;
        const bool grouped = group && (::chown(path.c_str(), static_cast<uid_t>(-1), *group) == 0 || errno == EPERM);
        if (!grouped || ::chmod(path.c_str(), 0660) != 0) {
            serviceLog(LogPriority::warning, "cannot open " + path + " to the group: " + std::strerror(errno));
        }
        return server;
    } catch (const std::exception& e) {
        serviceLog(LogPriority::warning, std::string("no local API: ") + e.what());
        return nullptr;
    }
}

}  // namespace

int checkConfigCommand(const std::string& configPath) {
    const ControlConfig config = ControlConfig::read(configPath);
    const ControlLoop loop = loopFor(config);
    // Sensor ids can only be judged against this Mac's sensors, as the service would at a reload.
    if (namesSensorIds(loop)) checkSensors(loop, SensorFeed(openSMC()).sensors());
    std::cout << configPath << ": would follow \"" << following(loop) << "\" every " << config.interval << " s" << std::endl;
    return ExitStatus::ok;
}

int serveCommand(const std::string& configPath) {
    // Blocked from the first instant: a SIGHUP while the file is read must not end the service.
    const StopSignal signals;
    ControlConfig config = ControlConfig::read(configPath);
    const double interval = config.interval;
    ControlLoop initial = loopFor(std::move(config));
    FanClaim claim(FanClaim::serviceHolder, following(initial));
    ControlApi api;
    api.following(following(initial), initial);
    const auto apiServer = openApi(api);
    DriveOptions drive;
    drive.observe = [&api](const RunTick& tick) { api.record(tick, unixNow()); };
    drive.tickFailed = [&api](DriveOptions::Failure failure) { api.tickFailed(failure); };
    // Every sensor for the metrics and the dashboard: often enough for a scrape, rarely enough
    // that the service's own SMC traffic stays a few reads a second.
    drive.allSensorsSeconds = 10;
    // Nobody looking (no scraper, no dashboard): the service reads just what drives the fans.
    drive.allSensorsWanted = [&api] { return api.sensorsWanted(unixNow()); };
    drive.persistent = true;
    drive.tickSeconds = interval;
    drive.log = [](LogPriority priority, const std::string& line) { serviceLog(priority, line); };
    drive.ready = [&](const ControlLoop& loop) {
        serviceLog(LogPriority::info, "following \"" + following(loop) + "\" from " + configPath);
        bootstrap::notifyServiceManager("READY=1\nSTATUS=following " + following(loop));
        // The start-up walk of the key table is done; what it freed goes back to the system
        // rather than staying resident for the life of the service.
        ::malloc_trim(0);
    };
    drive.reload = [&](const ControlLoop& current, const std::vector<SMCSensor>& sensors) -> std::optional<ControlLoop> {
        bootstrap::notifyServiceManager("RELOADING=1");
        // All or nothing: the new loop is handed over only once every check has passed and the
        // claim says what it follows.
        std::optional<ControlLoop> next;
        try {
            ControlConfig read = ControlConfig::read(configPath);
            const double seconds = read.interval;
            ControlLoop candidate = loopFor(std::move(read));
            checkSensors(candidate, sensors);
            claim.update(following(candidate));
            next.emplace(std::move(candidate));
            drive.tickSeconds = seconds;
            api.following(following(*next), *next);
            serviceLog(LogPriority::info, "reloaded " + configPath + ", following \"" + following(*next) + "\"");
        } catch (const std::exception& e) {
            next.reset();
            serviceLog(LogPriority::error, e.what());
            serviceLog(LogPriority::warning, "kept following \"" + following(current) + "\"");
            try {
                claim.update(following(current));
            } catch (const std::exception&) {
            }
        }
        bootstrap::notifyServiceManager("READY=1\nSTATUS=following " + following(next ? *next : current));
        return next;
    };
    const int status = driveFans(std::move(initial), drive);
    bootstrap::notifyServiceManager("STOPPING=1");
    return status;
}

int statusCommand(bool json) {
    std::optional<std::string> version;
    std::string problem;
    try {
        DaemonClient::Options once;
        once.heartbeats = false;
        DaemonClient client(once);
        version = client.helperVersion();
    } catch (const ClientError& e) {
        problem = e.what();
    }
    const auto holder = fanClaimHolder();
    const auto service = holder && holder->isControlService() ? holder : std::nullopt;
    if (json) {
        nlohmann::ordered_json out;
        out["version"] = 1;
        out["daemon"] = {{"running", version.has_value()}};
        if (version) out["daemon"]["version"] = *version;
        if (!version) out["daemon"]["problem"] = problem;
        out["controlService"] = {{"running", service.has_value()}};
        if (service) {
            out["controlService"]["pid"] = service->pid;
            out["controlService"]["following"] = service->following;
        }
        if (holder && !service) out["fansHeldBy"] = {{"holder", holder->holder}, {"pid", holder->pid}};
        // A state file written by an older service may hold a cut character: shown replaced.
        std::cout << out.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) << std::endl;
    } else {
        std::cout << "daemon: " << (version ? "running, version " + *version : "not running (" + problem + ")") << "\n"
                  << "control service: "
                  << (service ? "running, pid " + std::to_string(service->pid) + ", following \"" + service->following + "\""
                              : std::string("not running"))
                  << std::endl;
        if (holder && !service) std::cout << "fans held by: " << holder->holder << ", pid " << holder->pid << std::endl;
    }
    // In the manner of an init script's status: 3 when the service does not run.
    if (!version) return ExitStatus::failed;
    return service ? ExitStatus::ok : kStatusNotRunning;
}

}  // namespace quorvane::ctl
