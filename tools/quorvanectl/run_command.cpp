// `run`: the control loop against the daemon. Each second: refresh the sensors behind the control
// temperature (all of them while the live table shows them) and read the fans over this
// process's own SMC connection, compute targets (ControlLoop), send the changed ones
// through the daemon, show the tick. Heartbeats run on the client's own schedule throughout.
// Ctrl-C, SIGTERM or the end of --seconds hands every fan back and exits 0.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <csignal>
#include <functional>
#include <iostream>
#include <memory>
#include <set>
#include <string>

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
#include "display_text.hpp"
#include "smc/smc_error.hpp"
#include "smc_session.hpp"
#include "stop_signal.hpp"

namespace quorvane::ctl {

namespace {

using SteadyClock = std::chrono::steady_clock;

// What a tick shows of the loop: worked out when the loop starts or changes, not at every tick.
struct LoopLabels {
    std::string profile;
    std::string source;        // stable: "sensor group max", "GPU Average", "sensor TC0P"
    std::string sourceDetail;  // what stands behind it, for people; may be long
};

LoopLabels labelsFor(const ControlLoop& loop, const SensorFeed& feed) {
    LoopLabels labels;
    labels.profile = loop.mode() ? loop.profile().name + " + " + loop.mode()->name : loop.profile().name;
    if (loop.mode()) {
        const auto& s = loop.mode()->controlSensor;
        labels.source = s.kind == ModeSensor::Kind::source ? std::string(displayName(s.controlSource)) : "sensor " + s.id;
        return labels;
    }
    const std::string& group = loop.profile().targetSensorGroupID;
    if (group == "max") {
        labels.source = "sensor group max";
        labels.sourceDetail = feed.dieGroupSummary();
    } else if (const auto source = controlSourceFromRawValue(group)) {
        labels.source = std::string(displayName(*source));
    } else {
        labels.source = "sensor " + group;
    }
    return labels;
}

std::optional<double> controlTemperature(const ControlLoop& loop, const SensorFeed& feed) {
    return loop.mode() ? feed.temperature(loop.mode()->controlSensor) : feed.temperature(loop.profile().targetSensorGroupID);
}

SensorFeed::SensorFilter controlInputs(const ControlLoop& loop, const SensorFeed& feed) {
    return loop.mode() ? feed.inputsOf(loop.mode()->controlSensor) : feed.inputsOf(loop.profile().targetSensorGroupID);
}

// One tick: read, decide, command; returns what to show. Only the live table shows the sensor
// rows; without it a tick reads just the sensors behind the control temperature. `held` (when
// given) is the fans this loop has taken; one found automatic again is said so in `log`.
RunTick tick(double t, ControlLoop& loop, const LoopLabels& labels, SensorFeed& feed,
             const SensorFeed::SensorFilter& inputs, bool withRows, bool allSensors, FanWatch& fans,
             DaemonClient& client, std::set<long>* held,
             const std::function<void(LogPriority, const std::string&)>& log) {
    if (withRows || allSensors) {
        feed.refresh();
    } else {
        feed.refresh(inputs);
    }
    RunTick tick;
    tick.t = t;
    tick.profile = labels.profile;
    tick.source = labels.source;
    tick.sourceDetail = labels.sourceDetail;
    tick.temperature = controlTemperature(loop, feed);
    tick.monitoring = loop.monitorsOnly();
    tick.alertThreshold = loop.alert().thresholdCelsius;
    tick.fans = fans.read();
    tick.duty.assign(tick.fans.size(), std::nullopt);
    if (tick.monitoring) {
        loop.record(t, tick.temperature);
        if (held) held->clear();
    } else {
        for (const auto& command : loop.step(t, tick.temperature, tick.fans)) {
            for (std::size_t i = 0; i < tick.fans.size(); ++i) {
                if (tick.fans[i].id != command.fan) continue;
                tick.duty[i] = command.duty;
                if (!command.send) continue;
                // Said once: the fan counts as held again only once the daemon has taken it.
                if (held && !tick.fans[i].isManaged && held->erase(command.fan) && log) {
                    log(LogPriority::warning, "fan " + std::to_string(command.fan) + " was handed back to automatic control by something else; taking it again");
                }
                fans.applied(tick.fans[i], client.setTargetRPM(command.fan, command.targetRPM));
                if (held) held->insert(command.fan);
            }
        }
    }
    tick.trend = loop.trend();
    tick.alertFiring = loop.alertFiring();
    if (withRows) tick.rows = feed.rows();
    if (allSensors) {
        for (const auto& sensor : feed.sensors()) {
            tick.sensors.push_back({sensor.key, sensor.name, sensor.sensorClass, sensor.category,
                                    std::isfinite(sensor.currentTemp) ? std::optional<double>(sensor.currentTemp) : std::nullopt,
                                    inputs && inputs(sensor)});
        }
    }
    return tick;
}

void logAlert(const RunTick& tick, const std::function<void(LogPriority, const std::string&)>& log) {
    const std::string temperature = temperatureText(tick.temperature);
    if (tick.alertFiring) {
        log(LogPriority::warning, "alert: the control temperature " + temperature + " reached " +
                                      temperatureText(tick.alertThreshold));
    } else {
        log(LogPriority::info, "alert cleared: the control temperature is " + temperature);
    }
}

std::string failedTicks(std::size_t n) { return n == 1 ? "1 failed tick" : std::to_string(n) + " failed ticks"; }

}  // namespace

int driveFans(ControlLoop initial, const DriveOptions& options) {
    StopSignal stop;
    std::optional<ControlLoop> loop(std::move(initial));
    const auto log = [&](LogPriority priority, const std::string& line) {
        if (options.log) options.log(priority, line);
    };
    // A service may start before the SMC's driver or the virtual Mac: it waits, saying so once, as
    // long as it would for a lost daemon, and then ends for good (no restart loop). A stop signal
    // meanwhile ends it at once: no fan has been taken.
    std::shared_ptr<SMCKernelBridge> bridge;
    const auto waitBegun = SteadyClock::now();
    for (bool said = false; !bridge;) {
        try {
            bridge = openSMC();
        } catch (const ClientError& e) {
            if (!options.persistent || e.what() == permissionDeniedText()) throw;
            if (std::chrono::duration<double>(SteadyClock::now() - waitBegun).count() >= daemonGoneSeconds) {
                throw ClientError("gave up: no SMC after " + std::to_string(static_cast<int>(daemonGoneSeconds)) +
                                      " s (" + e.what() + ")",
                                  ExitStatus::unavailable);
            }
            if (!said) {
                log(LogPriority::warning, std::string(e.what()) + "; waiting for the SMC for up to " +
                    std::to_string(static_cast<int>(daemonGoneSeconds)) + " s");
                said = true;
            }
            if (stop.wait(1.0) == StopSignal::Reason::signal && stop.lastSignal() != SIGHUP) return ExitStatus::ok;
        }
    }
    SensorFeed feed(bridge);
    // Before any fan is taken: a sensor this Mac lacks would leave the loop without a temperature.
    checkProfileSensor(loop->profile(), feed.sensors());
    if (loop->mode()) checkModeSensors(*loop->mode(), feed.sensors());
    auto inputs = controlInputs(*loop, feed);
    auto labels = labelsFor(*loop, feed);
    FanWatch fans(bridge);
    DaemonClient::Options clientOptions;
    clientOptions.onConnectionLost = [] { StopSignal::wake(); };
    // The ticks say when the daemon fails; a heartbeat's failure would say it once more each second.
    if (options.persistent) clientOptions.onHeartbeatFailure = [](const std::string&) {};
    std::unique_ptr<DaemonClient> client;
    bool connectedOnce = false;
    bool connectionDropped = false;  // the daemon closed the connection since the last good tick
    bool connecting = false;         // a connection is being opened (a failure means no daemon)
    // Fails early and plainly when the daemon is not there; a monitoring run starts from Apple's
    // control in any case.
    auto connect = [&] {
        client = std::make_unique<DaemonClient>(clientOptions);
        if (loop->monitorsOnly()) {
            client->restoreAutomaticControl();
        } else {
            client->helperVersion();
        }
    };
    if (!options.persistent) connect();

    const bool withRows = options.report && options.report->showsRows();
    const auto start = SteadyClock::now();
    auto elapsed = [&] { return std::chrono::duration<double>(SteadyClock::now() - start).count(); };
    bool ready = false;
    bool reloadPending = false;
    bool handBackPending = false;  // a reload switched to monitoring
    std::set<long> held;
    std::size_t failed = 0;  // consecutive failed ticks
    double unreachableSince = -1;  // elapsed time the daemon was first found unreachable; -1: reachable
    double failingSince = -1;  // elapsed time of the first failed tick in a row; -1: none
    bool handedBackWhileFailing = false;
    bool alertFiring = false;
    double allSensorsAt = -1;  // elapsed time of the last tick that read every sensor
    try {
        for (;;) {
            const double t = elapsed();
            if (reloadPending) {
                reloadPending = false;
                // The daemon keeps every fan manual meanwhile: the connection and its heartbeats
                // stay, and this tick sends the new loop's targets.
                if (auto next = options.reload(*loop, feed.sensors())) {
                    const bool wasDriving = !loop->monitorsOnly();
                    next->continueFrom(*loop);
                    loop.emplace(std::move(*next));
                    inputs = controlInputs(*loop, feed);
                    labels = labelsFor(*loop, feed);
                    handBackPending = handBackPending || (wasDriving && loop->monitorsOnly());
                }
            }
            try {
                if (!client || client->connectionLost()) {
                    client.reset();
                    connecting = true;
                    connect();
                    connecting = false;
                    connectedOnce = true;
                    loop->resend();
                    handBackPending = false;
                }
                if (handBackPending) {
                    client->restoreAutomaticControl();
                    handBackPending = false;
                }
                const bool allSensors =
                    options.allSensorsSeconds > 0 &&
                    (allSensorsAt < 0 || (t - allSensorsAt >= options.allSensorsSeconds &&
                                          (!options.allSensorsWanted || options.allSensorsWanted())));
                const RunTick shown = tick(t, *loop, labels, feed, inputs, withRows, allSensors, fans, *client,
                                           options.persistent ? &held : nullptr, log);
                if (allSensors) allSensorsAt = t;
                if (shown.alertFiring != alertFiring) {
                    alertFiring = shown.alertFiring;
                    logAlert(shown, log);
                }
                if (options.report) options.report->show(shown);
                if (options.observe) options.observe(shown);
                unreachableSince = -1;
                connectionDropped = false;
                failingSince = -1;
                handedBackWhileFailing = false;
                if (failed > 0) log(LogPriority::info, "working again after " + failedTicks(failed));
                failed = 0;
            } catch (const std::exception& e) {
                if (!options.persistent) throw;
                if (options.tickFailed)
                    options.tickFailed(dynamic_cast<const SMCError*>(&e) ? DriveOptions::Failure::smc : DriveOptions::Failure::daemon);
                const bool daemonGone = connecting || connectionDropped || !client || client->connectionLost();
                connecting = false;
                if (failed++ == 0) {
                    if (!daemonGone) {
                        log(LogPriority::warning, std::string(e.what()) + "; trying again each second");
                    } else if (connectedOnce) {
                        log(LogPriority::error, "lost the connection to the daemon at " + DaemonClient::socketPath() + " (" + e.what() +
                            "); " + lostDaemonAftermath + "; trying again each second");
                    } else {
                        log(LogPriority::warning, std::string(e.what()) + "; waiting for the daemon, trying again each second for up to " +
                            std::to_string(static_cast<int>(daemonGoneSeconds)) + " s");
                    }
                }
                // Whatever was sent may not have arrived.
                loop->resend();
                if (!client || client->connectionLost()) {
                    client.reset();
                    if (unreachableSince < 0) unreachableSince = t;
                    if (t - unreachableSince >= daemonGoneSeconds) {
                        throw ClientError("gave up after " + failedTicks(failed) + ": the daemon at " +
                                              DaemonClient::socketPath() + " has been unreachable for " +
                                              std::to_string(static_cast<int>(daemonGoneSeconds)) + " s (" + e.what() +
                                              ")",
                                          ExitStatus::unavailable);
                    }
                }
                // Fans held at a target nobody updates any more go back to the firmware until a
                // tick works again (which takes them again).
                if (failingSince < 0) failingSince = t;
                if (!handedBackWhileFailing && t - failingSince >= failingHandBackSeconds && client &&
                    !client->connectionLost() && !loop->monitorsOnly()) {
                    try {
                        client->restoreAutomaticControl();
                        held.clear();
                        handedBackWhileFailing = true;
                        log(LogPriority::error, "handed every fan back to automatic control until a tick works again");
                    } catch (const std::exception&) {
                    }
                }
            }
            if (!ready && failed == 0 && options.ready) {
                options.ready(*loop);
                ready = true;
            }
            // A failed tick is tried again within a second, whatever the interval.
            double deadline = t + (failed > 0 ? std::min(options.tickSeconds, 1.0) : options.tickSeconds);
            if (options.seconds) {
                if (*options.seconds - elapsed() <= 0) break;
                deadline = std::min(deadline, *options.seconds);
            }
            bool stopping = false;
            for (double wait; !stopping && (wait = deadline - elapsed()) > 0;) {
                const auto reason = stop.wait(wait);
                if (reason == StopSignal::Reason::timeout) break;
                if (reason == StopSignal::Reason::signal) {
                    if (stop.lastSignal() == SIGHUP && options.reload) {
                        reloadPending = true;
                    } else {
                        stopping = true;
                    }
                } else if (!options.persistent) {
                    throw ClientError("lost the connection to the daemon at " + DaemonClient::socketPath() +
                                      "; " + lostDaemonAftermath);
                } else {
                    connectionDropped = true;
                }
                // Persistent: a lost connection is opened again at the next tick.
            }
            if (stopping) break;
            if (options.seconds && elapsed() >= *options.seconds) break;
        }
    } catch (const std::exception&) {
        // Hand the fans back now rather than when the connection closes, where that still works.
        if (client && !client->connectionLost()) {
            try {
                client->restoreAutomaticControl();
            } catch (const std::exception&) {
            }
        }
        throw;
    }
    // A connection lost meanwhile handed the fans back at the daemon's end; a fresh one confirms it.
    if (!client || client->connectionLost()) {
        client.reset();
        try {
            connect();
        } catch (const ClientError& e) {
            // A service stopped because its daemon is gone (crashed, or restarting under the
            // service manager) has nothing left to hand back: the daemon's own start does it.
            if (!options.persistent) throw;
            log(LogPriority::info, std::string("stopping without the daemon (") + e.what() + "); " + lostDaemonAftermath);
            return ExitStatus::ok;
        }
    }
    client->restoreAutomaticControl();
    if (options.log) {
        options.log(LogPriority::info, "every fan is back under automatic control");
    } else {
        std::cerr << "quorvanectl: every fan is back under automatic control" << std::endl;
    }
    return ExitStatus::ok;
}

int runCommand(const RunOptions& options) {
    // Taken before anything else, and held until the fans are handed back.
    const FanClaim claim("quorvanectl run");
    WorkloadPolicy workload;
    workload.seed(options.apps);
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
