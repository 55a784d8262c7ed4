// quorvanectl: the companion application's half of the daemon contract on the command line.
// Parses the command line, declares the application's code identity, runs one command and turns
// its failure into a message on stderr and a non-zero exit status.
#include <csignal>
#include <exception>
#include <iostream>
#include <optional>
#include <string>

#include <CLI/CLI.hpp>

#include "client_error.hpp"
#include "commands.hpp"
#include "platform/xpc/code_identity.hpp"
#include "shared/smc/helper_constants.hpp"

using namespace quorvane;
using namespace quorvane::ctl;

namespace {

void addHoldOptions(CLI::App* command, std::optional<double>& seconds) {
    command->add_option("--hold", seconds, "Hand the fans back after SECONDS (default: when interrupted)")
        ->check(CLI::NonNegativeNumber);
}

}  // namespace

int main(int argc, char** argv) {
    std::signal(SIGPIPE, SIG_IGN);
    CLI::App app{"Talks to the Quorvane fan-control daemon (com.quorvane.SMCService) and reads the SMC"};
    app.name("quorvanectl");
    app.require_subcommand(1);
    std::string identifier = HelperConstants::appBundleID;
    std::string team = HelperConstants::teamID;
    bool unsignedPeer = false;
    app.add_option("--identifier", identifier, "Signing identifier to declare to the daemon");
    app.add_option("--team", team, "Team identifier (leaf certificate OU) to declare");
    app.add_flag("--unsigned", unsignedPeer, "Declare no signature at all");

    long fan = 0;
    double rpm = 0;
    std::string state, key;
    double value = 0;
    bool json = false, force = false;
    HoldOptions hold;
    bool noHeartbeat = false;

    auto* version = app.add_subcommand("version", "Print the daemon's version");
    auto* fans = app.add_subcommand("fans", "Every fan's speed, bounds and mode, read from the SMC");
    fans->add_flag("--json", json, "Print FanStatus records as JSON");

    auto* smc = app.add_subcommand("smc", "Raw SMC key access, for diagnosis");
    smc->require_subcommand(1);
    auto* smcRead = smc->add_subcommand("read", "Print a key's value as a number");
    smcRead->add_option("KEY", key)->required();
    auto* smcWrite = smc->add_subcommand("write", "Write a key directly, outside the daemon's fail-safe");
    smcWrite->add_option("KEY", key)->required();
    smcWrite->add_option("VALUE", value)->required();
    smcWrite->add_flag("--force", force, "Write although nothing will hand the fan back");
    auto* smcKeys = smc->add_subcommand("keys", "List every key with its type, size and value");

    auto* setRPM = app.add_subcommand("set-rpm", "Hold a fan at a speed through the daemon, heartbeating");
    setRPM->add_option("FAN", fan)->required();
    setRPM->add_option("RPM", rpm)->required();
    addHoldOptions(setRPM, hold.seconds);
    setRPM->add_flag("--no-heartbeat", noHeartbeat, "Send no heartbeats (shows the daemon's watchdog)");

    auto* manual = app.add_subcommand("manual", "Take a fan under manual control (on) or hand every fan back (off)");
    manual->add_option("FAN", fan)->required();
    manual->add_option("STATE", state)->required()->check(CLI::IsMember({"on", "off"}));
    addHoldOptions(manual, hold.seconds);

    auto* restore = app.add_subcommand("restore", "Hand every fan back to Apple automatic control");

    bool all = false;
    auto* sensors = app.add_subcommand("sensors", "The device's temperature rows and the control-source temperatures");
    sensors->add_flag("--all", all, "Every sensor the SMC shows, with its class and unit");
    sensors->add_flag("--json", json, "Print JSON");

    auto* profiles = app.add_subcommand("profiles", "The built-in fan profiles and custom-mode templates");
    profiles->add_flag("--json", json, "Print them as stored JSON");

    auto* doctor = app.add_subcommand("doctor", "Check the SMC backend, fans and daemon, and say what to fix");

    RunOptions run;
    auto* runCommandLine = app.add_subcommand("run", "Drive the fans from the sensors until interrupted");
    runCommandLine->add_option("--profile", run.profile, "Built-in profile to follow")->capture_default_str();
    runCommandLine->add_option("--mode", run.modeFile, "Custom mode (JSON file) on top of the profile");
    runCommandLine->add_option("--seconds", run.seconds, "Stop after SECONDS")->check(CLI::NonNegativeNumber);
    runCommandLine->add_flag("--json", run.json, "One JSON object per tick");
    runCommandLine->add_option("--app", run.apps, "Bundle identifier of a running application (workload boost)");

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        return app.exit(e) == 0 ? ExitStatus::ok : ExitStatus::usage;
    }
    hold.heartbeats = !noHeartbeat;

    xpc::CodeIdentity identity;
    if (!unsignedPeer) identity = {true, true, identifier, team};
    xpc::setLocalCodeIdentity(identity);

    try {
        if (*version) return versionCommand();
        if (*fans) return fansCommand(json);
        if (*smcRead) return smcReadCommand(key);
        if (*smcWrite) return smcWriteCommand(key, value, force);
        if (*smcKeys) return smcKeysCommand();
        if (*setRPM) return setRPMCommand(fan, rpm, hold);
        if (*manual) return manualCommand(fan, state == "on", hold);
        if (*restore) return restoreCommand();
        if (*sensors) return sensorsCommand(all, json);
        if (*profiles) return profilesCommand(json);
        if (*doctor) return doctorCommand();
        if (*runCommandLine) return runCommand(run);
    } catch (const ClientError& e) {
        std::cerr << "quorvanectl: " << e.what() << std::endl;
        return e.exitStatus();
    } catch (const std::exception& e) {
        std::cerr << "quorvanectl: " << e.what() << std::endl;
        return ExitStatus::failed;
    }
    return ExitStatus::usage;
}
