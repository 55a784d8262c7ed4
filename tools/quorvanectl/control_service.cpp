// `serve`: the control service (quorvane-control.service). Follows the configuration file with
// the same loop as `run`, tells the service manager when the fans are under control, takes a
// changed file on SIGHUP without handing the fans back (a file with errors is reported and the
// current configuration kept), and on SIGTERM hands every fan back. Says only what changes.
#include <iostream>

#include <nlohmann/json.hpp>

#include "client_error.hpp"
#include "commands.hpp"
#include "control_config.hpp"
#include "control_service_state.hpp"
#include "daemon_client.hpp"
#include "drive_fans.hpp"
#include "mode_file.hpp"
#include "platform/bootstrap/service_manager.hpp"

namespace quorvane::ctl {

namespace {

ControlLoop loopFor(ControlConfig config) {
    WorkloadPolicy workload;
    workload.appsLaunched(config.boostApplications);
    return ControlLoop(std::move(config.profile), std::move(config.mode), config.alert, std::move(workload));
}

std::string following(const ControlLoop& loop) {
    return loop.mode() ? loop.profile().name + " + " + loop.mode()->name : loop.profile().name;
}

}  // namespace

int serveCommand(const std::string& configPath) {
    ControlLoop initial = loopFor(ControlConfig::read(configPath));
    ControlServiceClaim claim(following(initial));
    DriveOptions drive;
    drive.ready = [&](const ControlLoop& loop) {
        std::cerr << "quorvane-control: following \"" << following(loop) << "\" from " << configPath << std::endl;
        bootstrap::notifyServiceManager("READY=1\nSTATUS=following " + following(loop));
    };
    drive.reload = [&](const ControlLoop& current, const std::vector<SMCSensor>& sensors) -> std::optional<ControlLoop> {
        bootstrap::notifyServiceManager("RELOADING=1");
        std::optional<ControlLoop> next;
        try {
            next.emplace(loopFor(ControlConfig::read(configPath)));
            if (next->mode()) checkModeSensors(*next->mode(), sensors);
            claim.update(following(*next));
            std::cerr << "quorvane-control: reloaded " << configPath << ", following \"" << following(*next) << "\""
                      << std::endl;
        } catch (const ClientError& e) {
            std::cerr << "quorvane-control: " << e.what() << "\nquorvane-control: kept following \""
                      << following(current) << "\"" << std::endl;
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
    const auto service = runningControlService();
    if (json) {
        nlohmann::ordered_json out;
        out["version"] = 1;
        out["daemon"] = {{"running", version.has_value()}};
        if (version) out["daemon"]["version"] = *version;
        out["controlService"] = {{"running", service.has_value()}};
        if (service) {
            out["controlService"]["pid"] = service->pid;
            out["controlService"]["following"] = service->following;
        }
        std::cout << out.dump(2) << std::endl;
    } else {
        std::cout << "daemon: " << (version ? "running, version " + *version : "not running (" + problem + ")") << "\n"
                  << "control service: "
                  << (service ? "running, pid " + std::to_string(service->pid) + ", following \"" + service->following + "\""
                              : std::string("not running"))
                  << std::endl;
    }
    return ExitStatus::ok;
}

}  // namespace quorvane::ctl
