// `run`: the control loop against the daemon. Each second: refresh the sensors behind the control
// temperature (all of them while the live table shows them) and read the fans over this
// process's own SMC connection, compute targets (ControlLoop), send the changed ones
// through the daemon, show the tick. Heartbeats run on the client's own schedule throughout.
// Ctrl-C, SIGTERM or the end of --seconds hands every fan back and exits 0.
#include <algorithm>
#include <chrono>
#include <csignal>
#include <iostream>

#include "client_error.hpp"
#include "commands.hpp"
#include "control_config.hpp"
#include "control_loop.hpp"
#include "control_service_state.hpp"
#include "drive_fans.hpp"
#include "daemon_client.hpp"
#include "fan_watch.hpp"
#include "mode_file.hpp"
#include "profile_choice.hpp"
#include "run_report.hpp"
#include "sensor_feed.hpp"
#include "smc_session.hpp"
#include "stop_signal.hpp"

namespace quorvane::ctl {

namespace {

using SteadyClock = std::chrono::steady_clock;

constexpr double kTickSeconds = 1.0;

std::string sourceLabel(const ControlLoop& loop, const SensorFeed& feed) {
    if (loop.mode()) {
        const auto& s = loop.mode()->controlSensor;
        return s.kind == ModeSensor::Kind::source ? std::string(displayName(s.controlSource)) : "sensor " + s.id;
    }
    const std::string& group = loop.profile().targetSensorGroupID;
    if (group == "max") return "sensor group max (" + feed.dieGroupSummary() + ")";
    if (const auto source = controlSourceFromRawValue(group)) return std::string(displayName(*source));
    return "sensor " + group;
}

std::optional<double> controlTemperature(const ControlLoop& loop, const SensorFeed& feed) {
    return loop.mode() ? feed.temperature(loop.mode()->controlSensor) : feed.temperature(loop.profile().targetSensorGroupID);
}

SensorFeed::SensorFilter controlInputs(const ControlLoop& loop, const SensorFeed& feed) {
    return loop.mode() ? feed.inputsOf(loop.mode()->controlSensor) : feed.inputsOf(loop.profile().targetSensorGroupID);
}

// One tick: read, decide, command; returns what to show. Only the live table shows the sensor
// rows; without it a tick reads just the sensors behind the control temperature.
RunTick tick(double t, ControlLoop& loop, SensorFeed& feed, const SensorFeed::SensorFilter& inputs, bool withRows,
             FanWatch& fans, DaemonClient& client) {
    if (withRows) {
        feed.refresh();
    } else {
        feed.refresh(inputs);
    }
    RunTick tick;
    tick.t = t;
    tick.profile = loop.mode() ? loop.profile().name + " + " + loop.mode()->name : loop.profile().name;
    tick.source = sourceLabel(loop, feed);
    tick.temperature = controlTemperature(loop, feed);
    tick.monitoring = loop.monitorsOnly();
    tick.alertThreshold = loop.alert().thresholdCelsius;
    tick.fans = fans.read();
    tick.duty.assign(tick.fans.size(), std::nullopt);
    if (tick.monitoring) {
        loop.record(t, tick.temperature);
    } else {
        for (const auto& command : loop.step(t, tick.temperature, tick.fans)) {
            for (std::size_t i = 0; i < tick.fans.size(); ++i) {
                if (tick.fans[i].id != command.fan) continue;
                tick.duty[i] = command.duty;
                if (command.send) fans.applied(tick.fans[i], client.setTargetRPM(command.fan, command.targetRPM));
            }
        }
    }
    tick.trend = loop.trend();
    tick.alertFiring = loop.alertFiring();
    if (withRows) tick.rows = feed.rows();
    return tick;
}

}  // namespace

int driveFans(ControlLoop initial, const DriveOptions& options) {
    StopSignal stop;
    std::optional<ControlLoop> loop(std::move(initial));
    const auto bridge = openSMC();
    SensorFeed feed(bridge);
    // Before any fan is taken: a sensor this Mac lacks would leave the loop without a temperature.
    if (loop->mode()) checkModeSensors(*loop->mode(), feed.sensors());
    auto inputs = controlInputs(*loop, feed);
    FanWatch fans(bridge);
    DaemonClient::Options clientOptions;
    clientOptions.onConnectionLost = [] { StopSignal::wake(); };
    DaemonClient client(clientOptions);
    // Fails early and plainly when the daemon is not there; a monitoring run starts from Apple's
    // control in any case.
    if (loop->monitorsOnly()) {
        client.restoreAutomaticControl();
    } else {
        client.helperVersion();
    }

    const bool withRows = options.report && options.report->showsRows();
    const auto start = SteadyClock::now();
    auto elapsed = [&] { return std::chrono::duration<double>(SteadyClock::now() - start).count(); };
    bool ready = false;
    try {
        for (;;) {
            const double t = elapsed();
            const RunTick shown = tick(t, *loop, feed, inputs, withRows, fans, client);
            if (options.report) options.report->show(shown);
            if (!ready && options.ready) options.ready(*loop);
            ready = true;
            double wait = kTickSeconds - (elapsed() - t);
            if (options.seconds) {
                const double left = *options.seconds - elapsed();
                if (left <= 0) break;
                wait = std::min(wait, left);
            }
            const auto reason = stop.wait(std::max(wait, 0.0));
            if (reason == StopSignal::Reason::signal && stop.lastSignal() == SIGHUP && options.reload) {
                // The daemon keeps every fan manual meanwhile: the connection and its heartbeats
                // stay, and the next tick (now) sends the new loop's targets.
                if (auto next = options.reload(*loop, feed.sensors())) {
                    const bool wasDriving = !loop->monitorsOnly();
                    loop.emplace(std::move(*next));
                    inputs = controlInputs(*loop, feed);
                    if (wasDriving && loop->monitorsOnly()) client.restoreAutomaticControl();
                }
                continue;
            }
            if (reason == StopSignal::Reason::signal) break;
            if (reason == StopSignal::Reason::woken) {
                throw ClientError("lost the connection to the daemon at " + DaemonClient::socketPath() +
                                  "; it hands the fans back to automatic control");
            }
            if (options.seconds && elapsed() >= *options.seconds) break;
        }
    } catch (const ClientError&) {
        // Hand the fans back now rather than when the connection closes, where that still works.
        if (!client.connectionLost()) {
            try {
                client.restoreAutomaticControl();
            } catch (const ClientError&) {
            }
        }
        throw;
    }
    client.restoreAutomaticControl();
    std::cerr << "quorvanectl: every fan is back under automatic control" << std::endl;
    return ExitStatus::ok;
}

int runCommand(const RunOptions& options) {
    refuseWhileControlServiceRuns();
    WorkloadPolicy workload;
    workload.appsLaunched(options.apps);
    std::optional<CustomMode> mode;
    if (options.modeFile) mode = readCustomMode(*options.modeFile);
    ControlLoop loop(builtinProfile(options.profile), std::move(mode), ControlConfig::defaultAlert, std::move(workload));

    const auto style = TerminalStyle::detect();
    RunReport report(std::cout,
                     options.json ? RunReport::Form::json
                                  : (style.isTerminal ? RunReport::Form::table : RunReport::Form::lines),
                     style);
    DriveOptions drive;
    drive.seconds = options.seconds;
    drive.report = &report;
    return driveFans(std::move(loop), drive);
}

}  // namespace quorvane::ctl
