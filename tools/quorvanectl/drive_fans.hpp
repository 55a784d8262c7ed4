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
#include <vector>

#include "control_loop.hpp"
#include "run_report.hpp"
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
    std::function<std::optional<ControlLoop>(const ControlLoop&, const std::vector<SMCSensor>&)> reload;
};

// Returns the exit status; throws ClientError (after handing the fans back where it still can).
int driveFans(ControlLoop loop, const DriveOptions& options);

}  // namespace quorvane::ctl
