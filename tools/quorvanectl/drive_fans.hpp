// The control loop against the daemon, shared by `run` and the control service: each second it
// refreshes the sensors behind the control temperature (all of them while the report shows sensor
// rows; which ones is worked out again when a reload changes the loop) and reads the fans over
// this process's own SMC connection, computes the targets (ControlLoop) and sends the changed
// ones through the daemon; heartbeats run on the client's own schedule. SIGINT, SIGTERM or the
// end of `seconds` hands every fan back. Main thread only; call it before any other thread starts
// (it blocks the signals it waits for).
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "control_loop.hpp"
#include "run_report.hpp"
#include "service_log.hpp"
#include "shared/sensors/smc_sensor.hpp"

namespace quorvane::ctl {

struct DriveOptions {
    std::optional<double> seconds;
    RunReport* report = nullptr;  // shown each tick when set
    // Called once, after the first tick has commanded the fans.
    std::function<void(const ControlLoop&)> ready;
    // Called on SIGHUP (without it, SIGHUP stops the loop like SIGTERM) with the current loop and
    // the sensors this Mac has: the loop to follow from now on, or nothing to keep the current
    // one. The fans stay manual across the switch.
    // Reloads are taken at the next tick, one however many SIGHUPs came meanwhile; SIGINT and
    // SIGTERM win over a pending SIGHUP.
    std::function<std::optional<ControlLoop>(const ControlLoop&, const std::vector<SMCSensor>&)> reload;
    // The control service's way. A tick that fails (an SMC read, a daemon call) is logged once and
    // tried again each second until one works (logged once more); a lost daemon connection is
    // opened again; after failingHandBackSeconds of failed ticks the fans go back to the firmware
    // until one works; a fan handed back by something else is taken again, with a log line. Only a
    // signal, or the daemon unreachable for daemonGoneSeconds, ends the loop. Without it (`run`),
    // the first failure ends it.
    bool persistent = false;
    // Where the loop says what happened, an alert that fires or clears included (without it:
    // "quorvanectl: " lines on stderr, failures thrown).
    std::function<void(LogPriority, const std::string&)> log;
    // Seconds from one tick to the next; read at every tick, so a reload may change it.
    double tickSeconds = 1.0;
    // Called after each tick that worked, with what it read and commanded (the control service's
    // history), and after each that failed. On the loop's thread: they must be quick.
    std::function<void(const RunTick&)> observe;
    // Whether the failure was the SMC's (a read over this process's connection) or the daemon's.
    enum class Failure { smc, daemon };
    std::function<void(Failure)> tickFailed;
    // When set, a tick reads every sensor (not only those behind the control temperature) at most
    // this often, and hands them to observe in RunTick::sensors: at the start, and then while
    // allSensorsWanted says someone looks (always, without it).
    double allSensorsSeconds = 0;
    std::function<bool()> allSensorsWanted;
};

// How long the persistent loop waits for a daemon that accepts no connection before it gives up.
inline constexpr double daemonGoneSeconds = 30;
// How long its ticks may fail before it hands the fans back to the firmware meanwhile.
inline constexpr double failingHandBackSeconds = 10;

// Returns the exit status; throws ClientError (after handing the fans back where it still can).
int driveFans(ControlLoop loop, const DriveOptions& options);

}  // namespace quorvane::ctl
