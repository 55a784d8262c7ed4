// The commands that go through the daemon: version, set-rpm, manual, restore.
#include <iostream>

#include "commands.hpp"
#include "daemon_client.hpp"
#include "shared/smc/smc_data_codec.hpp"
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
                          "; it hands the fans back to automatic control");
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

}  // namespace

int versionCommand() {
    DaemonClient client(oneShot());
    std::cout << client.helperVersion() << std::endl;
    return ExitStatus::ok;
}

int setRPMCommand(long fan, double rpm, const HoldOptions& hold) {
    StopSignal stop;
    DaemonClient client(holding(hold));
    std::cout << shortestDecimal(client.setTargetRPM(fan, rpm)) << std::endl;
    return holdControl(client, stop, hold);
}

int manualCommand(long fan, bool on, const HoldOptions& hold) {
    if (!on) {
        DaemonClient client(oneShot());
        client.setManualControl(fan, false);
        std::cout << "off" << std::endl;
        return ExitStatus::ok;
    }
    StopSignal stop;
    DaemonClient client(holding(hold));
    client.setManualControl(fan, true);
    std::cout << "on" << std::endl;
    return holdControl(client, stop, hold);
}

int restoreCommand() {
    DaemonClient client(oneShot());
    client.restoreAutomaticControl();
    std::cout << "restored" << std::endl;
    return ExitStatus::ok;
}

}  // namespace quorvane::ctl
