// The commands that go through the daemon: version, set-rpm, manual, restore.
#include <cmath>
#include <iostream>
#include <optional>

#include "commands.hpp"
#include "control_service_state.hpp"
#include "daemon_client.hpp"
#include "display_text.hpp"
#include "shared/smc/helper_constants.hpp"
#include "shared/smc/smc_data_codec.hpp"
#include "smc/smc_fan_reader.hpp"
#include "smc_session.hpp"
#include "stop_signal.hpp"

namespace quorvane::ctl {

namespace {

DaemonClient::Options oneShot() {
    DaemonClient::Options options;
    options.heartbeats = false;
    return options;
}

// Keeps the fan taken by the command just applied: heartbeats go on in the client while this
// waits for Ctrl-C, SIGTERM, the end of the hold or the loss of the connection. A normal end
// hands the fans back before the connection closes.
int holdControl(DaemonClient& client, StopSignal& stop, const HoldOptions& hold) {
    const auto reason = stop.wait(hold.seconds.value_or(-1));
    if (reason == StopSignal::Reason::woken) {
        throw ClientError("lost the connection to the daemon at " + DaemonClient::socketPath() +
                          "; " + lostDaemonAftermath);
    }
    client.restoreAutomaticControl();
    std::cerr << "quorvanectl: every fan is back under automatic control\n";
    return ExitStatus::ok;
}

DaemonClient::Options holding(const HoldOptions& hold) {
    DaemonClient::Options options;
    options.heartbeats = hold.heartbeats;
    options.onConnectionLost = [] { StopSignal::wake(); };
    return options;
}

// What the fan runs at now, for `manual on` to hold: its actual speed, or its minimum when the
// reading is not valid. A fan the SMC does not have is left to the daemon to refuse.
double currentSpeed(long fan) {
    for (const auto& f : SMCFanReader(openSMC()).allFans()) {
        if (f.id == fan) return f.currentRPMValid && std::isfinite(f.currentRPM) ? f.currentRPM : f.minRPM;
    }
    return 0;
}

std::optional<std::string> clampNote(long fan, double requested, double applied) {
    if (!(requested > applied) && !(requested < applied)) return std::nullopt;
    return "fan " + std::to_string(fan) + " set to " + rpmText(applied) + " RPM instead of " + shortestDecimal(requested) +
           ": " + (requested > applied ? "above the fan's maximum" : "below the fan's minimum") + " of " +
           rpmText(applied) + " RPM";
}

}  // namespace

int versionCommand() {
    // The client's own version first, so it shows even when the daemon does not answer; the exit
    // status still says whether the daemon did (scripts wait for the daemon this way).
    std::cout << "quorvanectl " << helperBuildVersion << std::endl;
    DaemonClient client(oneShot());
    const std::string daemonVersion = client.helperVersion();
    std::cout << "daemon " << daemonVersion << std::endl;
    return ExitStatus::ok;
}

int setRPMCommand(long fan, double rpm, const HoldOptions& hold) {
    const FanClaim claim("quorvanectl set-rpm");
    StopSignal stop;
    DaemonClient client(holding(hold));
    const double applied = client.setTargetRPM(fan, rpm);
    std::cout << shortestDecimal(applied) << std::endl;
    if (const auto note = clampNote(fan, rpm, applied)) std::cerr << "quorvanectl: " << *note << std::endl;
    return holdControl(client, stop, hold);
}

int manualCommand(long fan, bool on, const HoldOptions& hold, bool force) {
    if (!on) {
        refuseWhileFansAreClaimed("manual off", force);
        DaemonClient client(oneShot());
        client.setManualControl(fan, false);
        std::cout << "off" << std::endl;
        return ExitStatus::ok;
    }
    const FanClaim claim("quorvanectl manual");
    // Manual mode alone would drive the fan to whatever target the key still holds from an earlier
    // session; the fan is taken at the speed it runs now instead (the daemon engages manual mode
    // and writes the target in one job).
    const double speed = currentSpeed(fan);
    StopSignal stop;
    DaemonClient client(holding(hold));
    const double applied = client.setTargetRPM(fan, speed);
    std::cout << "on, holding " << rpmText(applied) << " RPM" << std::endl;
    return holdControl(client, stop, hold);
}

int restoreCommand(bool force) {
    refuseWhileFansAreClaimed("restore", force);
    DaemonClient client(oneShot());
    client.restoreAutomaticControl();
    std::cout << "restored" << std::endl;
    return ExitStatus::ok;
}

}  // namespace quorvane::ctl
