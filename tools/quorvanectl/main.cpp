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
#include "command_line.hpp"
#include "commands.hpp"
#include "service_log.hpp"
#include "control_config.hpp"
#include "display_text.hpp"
#include "platform/xpc/code_identity.hpp"
#include "shared/smc/helper_constants.hpp"

using namespace quorvane;
using namespace quorvane::ctl;

namespace {

constexpr const char* kFooter =
    "Exit status:\n"
    "  0  done\n"
    "  1  the daemon or the SMC failed, refused or could not be reached\n"
    "  2  the command line or an input file is wrong\n"
    "  3  status: the daemon answers but the control service does not run\n"
    "\n"
    "Environment:\n"
    "  QUORVANE_BOOTSTRAP    directory of the daemon's and the SMC's sockets (default /run/quorvane)\n"
    "  QUORVANE_SMC_BACKEND  which SMC to open: socket (the virtual Mac's, in the bootstrap\n"
    "                        directory), applesmc:DIR or macsmc-hwmon:DIR (a real Mac's, through\n"
    "                        the kernel's files), or auto (default: the kernel's if found, else socket)\n"
    "  NO_COLOR              when set and not empty, no colour on a terminal";

void addHoldOption(CLI::App* command, std::optional<double>& seconds) {
    command->add_option("--hold", seconds, "Hand the fans back after SECONDS (default: when interrupted)")
        ->type_name("SECONDS")
        ->check(secondsValidator());
}

}  // namespace

int main(int argc, char** argv) {
    std::signal(SIGPIPE, SIG_IGN);
    CLI::App app{"Talks to the Quorvane fan-control daemon (com.quorvane.SMCService) and reads the SMC"};
    app.name("quorvanectl");
    app.require_subcommand(1);
    app.set_version_flag("--version", std::string("quorvanectl ") + helperBuildVersion,
                         "Print quorvanectl's version and exit (the daemon is not asked)");
    std::string identifier = HelperConstants::appBundleID;
    std::string team = HelperConstants::teamID;
    bool unsignedPeer = false, fahrenheit = false;
    app.add_option("--identifier", identifier, "Signing identifier to declare to the daemon")->type_name("ID");
    app.add_option("--team", team, "Team identifier (leaf certificate OU) to declare")->type_name("TEAM");
    app.add_flag("--unsigned", unsignedPeer, "Declare no signature at all");
    app.add_flag("--fahrenheit", fahrenheit, "Show temperatures in degrees Fahrenheit (JSON stays Celsius)");

    long fan = 0;
    double rpm = 0;
    std::string state, key;
    double value = 0;
    bool json = false, force = false;
    HoldOptions hold;
    bool noHeartbeat = false;
    const char* fanHelp = "Fan index, 0 for the first fan (see `quorvanectl fans`)";

    auto* help = app.add_subcommand("help", "Print the help of quorvanectl or of one command");
    std::vector<std::string> helpWords;
    help->add_option("COMMAND", helpWords, "The command (and subcommand) to explain, e.g. `smc read`");

    auto* version = app.add_subcommand(
        "version", "Print quorvanectl's version, then the daemon's (exit status 1 when the daemon does not answer)");
    auto* fans = app.add_subcommand("fans", "Every fan's speed, bounds and mode, read from the SMC");
    fans->add_flag("--json", json, "Print JSON: {\"version\":1,\"fans\":[FanStatus…]}");

    auto* smc = app.add_subcommand("smc", "Raw SMC key access, for diagnosis");
    smc->require_subcommand(1);
    auto* smcRead = smc->add_subcommand("read", "Print a key's value: a number, or its type and bytes in hex");
    smcRead->add_option("KEY", key, "Four-character SMC key, e.g. FNum or F0Ac")->required();
    auto* smcWrite = smc->add_subcommand("write", "Write a key directly, outside the daemon's fail-safe");
    smcWrite->add_option("KEY", key, "Four-character SMC key of a type quorvanectl can encode")->required();
    smcWrite->add_option("VALUE", value, "Value as a number, encoded in the key's type")->required();
    smcWrite->add_flag("--force", force, "Write although nothing will hand the fan back");
    auto* smcKeys = smc->add_subcommand("keys", "List every key with its type, size and value");

    auto* setRPM = app.add_subcommand("set-rpm", "Hold a fan at a speed through the daemon, heartbeating");
    setRPM->add_option("FAN", fan, fanHelp)->required();
    setRPM->add_option("RPM", rpm, "Target speed; the daemon clamps it to the fan's range and says so")->required();
    addHoldOption(setRPM, hold.seconds);
    setRPM->add_flag("--no-heartbeat", noHeartbeat, "Send no heartbeats (shows the daemon's watchdog)");

    auto* manual = app.add_subcommand(
        "manual", "Hold a fan at its current speed under manual control (on), or hand every fan back (off)");
    manual->add_option("FAN", fan, fanHelp)->required();
    manual->add_option("STATE", state, "on: take the fan at the speed it runs now; off: hand every fan back")
        ->required()
        ->check(CLI::IsMember({"on", "off"}));
    addHoldOption(manual, hold.seconds);
    const char* forceHelp = "Hand the fans back although another process (the control service, run, set-rpm) holds them";
    manual->add_flag("--force", force, forceHelp);

    auto* restore = app.add_subcommand("restore", "Hand every fan back to Apple automatic control");
    restore->add_flag("--force", force, forceHelp);

    bool all = false;
    auto* sensors = app.add_subcommand("sensors", "The device's temperature rows and the control-source temperatures");
    sensors->add_flag("--all", all, "Every sensor the SMC shows, with its class and unit");
    sensors->add_flag("--json", json, "Print JSON: {\"version\":1,\"sensors\":[…],\"controlSources\":{…}}");

    auto* profiles = app.add_subcommand("profiles", "The built-in fan profiles and custom-mode templates");
    profiles->add_flag("--json", json, "Print them as the JSON the application stores, under {\"version\":1}");

    auto* doctor = app.add_subcommand("doctor", "Check the SMC backend, fans and daemon, and say what to fix");

    RunOptions run;
    auto* runCommandLine = app.add_subcommand("run", "Drive the fans from the sensors until interrupted");
    runCommandLine->add_option("--profile", run.profile, "Built-in profile to follow (see `quorvanectl profiles`)")
        ->type_name("NAME")
        ->capture_default_str();
    runCommandLine->add_option("--mode", run.modeFile, "Custom mode (JSON file) on top of the profile")
        ->type_name("FILE");
    runCommandLine->add_option("--seconds", run.seconds, "Stop after SECONDS")
        ->type_name("SECONDS")
        ->check(secondsValidator());
    runCommandLine->add_flag("--json", run.json, "One JSON object per line: a legend, then one per tick");
    runCommandLine->add_option("--app", run.apps, "Bundle identifier of a running application (workload boost)")
        ->type_name("BUNDLE_ID");

    std::string configPath = ControlConfig::defaultPath;
    auto* serve = app.add_subcommand("serve", "Run as the control service: follow a configuration file, reload it on SIGHUP");
    serve->add_option("--config", configPath, "Configuration file (see quorvane-control.json(5))")->capture_default_str();
    bool checkOnly = false;
    serve->add_flag("--check", checkOnly,
                    "Only judge the configuration as a reload would, print what it would follow and exit "
                    "(status 2 when it would be refused)");
    auto* status = app.add_subcommand("status", "Whether the daemon answers and the control service runs");
    status->add_flag("--json", json, "Print JSON");

    auto* mode = app.add_subcommand("mode", "Custom mode files");
    mode->require_subcommand(1);
    ModeOptions modeOptions;
    auto* modeNew = mode->add_subcommand("new", "Write a complete custom mode file for `run --mode`");
    modeNew->add_option("NAME", modeOptions.name, "The mode's display name")->required();
    addModeOptions(modeNew, modeOptions);

    for (auto* command : {&app, help, version, fans, smc, smcRead, smcWrite, smcKeys, setRPM, manual, restore, sensors,
                          profiles, doctor, runCommandLine, mode, modeNew, serve, status}) {
        command->footer(kFooter);
    }

    if (const auto unknown = unknownCommand(app, argc, argv)) {
        std::cerr << "quorvanectl: " << *unknown << std::endl;
        return ExitStatus::usage;
    }
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        return app.exit(e) == 0 ? ExitStatus::ok : ExitStatus::usage;
    }
    hold.heartbeats = !noHeartbeat;
    setFahrenheit(fahrenheit);

    xpc::CodeIdentity identity;
    if (!unsignedPeer) identity = {true, true, identifier, team};
    xpc::setLocalCodeIdentity(identity);

    try {
        if (*help) return helpCommand(app, helpWords);
        if (*version) return versionCommand();
        if (*fans) return fansCommand(json);
        if (*smcRead) return smcReadCommand(key);
        if (*smcWrite) return smcWriteCommand(key, value, force);
        if (*smcKeys) return smcKeysCommand();
        if (*setRPM) return setRPMCommand(fan, rpm, hold);
        if (*manual) return manualCommand(fan, state == "on", hold, force);
        if (*restore) return restoreCommand(force);
        if (*sensors) return sensorsCommand(all, json);
        if (*profiles) return profilesCommand(json);
        if (*doctor) return doctorCommand();
        if (*runCommandLine) return runCommand(run);
        if (*modeNew) return modeNewCommand(modeOptions);
        if (*serve) return checkOnly ? checkConfigCommand(configPath) : serveCommand(configPath);
        if (*status) return statusCommand(json);
    } catch (const std::exception& e) {
        // The service's last words, and a reload's check, go where its others went, marked as
        // errors for the journal.
        if (*serve) {
            serviceLog(LogPriority::error, e.what(), checkOnly ? "quorvanectl" : serviceName);
        } else {
            std::cerr << "quorvanectl: " << e.what() << std::endl;
        }
        const auto* client = dynamic_cast<const ClientError*>(&e);
        return client ? client->exitStatus() : ExitStatus::failed;
    }
    return ExitStatus::usage;
}
