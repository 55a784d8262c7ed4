// quorvanectl's commands, one function each, called by main once the command line is parsed.
// Each returns the process's exit status or throws ClientError. Main thread only.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace quorvane::ctl {

// How long a command that takes a fan keeps it: until interrupted, or for `seconds`.
struct HoldOptions {
    std::optional<double> seconds;
    bool heartbeats = true;
};

// Through the daemon.
int versionCommand();
int setRPMCommand(long fan, double rpm, const HoldOptions& hold);
// `manual off` and `restore` refuse while another process holds the fans, unless `force`.
int manualCommand(long fan, bool on, const HoldOptions& hold, bool force);
int restoreCommand(bool force);

// Through this process's own SMC connection.
int fansCommand(bool json);
int smcReadCommand(const std::string& key);
int smcWriteCommand(const std::string& key, double value, bool force);
int smcKeysCommand();
int sensorsCommand(bool all, bool json);

// The SMC backend, the fans, the daemon: what stands between this machine and fan control.
int doctorCommand();

// Built-in data only.
int profilesCommand(bool json);

// The control loop: sensors and fans over this process's SMC connection, targets through the
// daemon.
struct RunOptions {
    std::string profile = "Quorvane Standard";
    std::optional<std::string> modeFile;
    std::optional<double> seconds;
    bool json = false;
    std::vector<std::string> apps;  // running applications' bundle identifiers (workload boost)
};
int runCommand(const RunOptions& options);
// The control service: the same loop, following a configuration file, reloaded on SIGHUP.
int serveCommand(const std::string& configPath);
// `serve --check`: whether the service would take the file; prints what it would follow.
int checkConfigCommand(const std::string& configPath);
// Whether the daemon answers and whether the control service runs.
int statusCommand(bool json);

// `mode new`: a complete custom mode file, from a template or from scratch.
struct ModeOptions {
    std::string name;
    std::optional<std::string> from;  // template name
    std::optional<double> fixed;
    std::optional<double> floor;
    std::optional<std::string> source;  // control source raw value
    std::optional<std::string> sensor;  // sensor id, checked against this Mac's
    std::optional<std::string> symbol;
    bool drivesMainReadout = false;
    std::optional<std::string> output;  // absent: standard output
    bool force = false;
};
int modeNewCommand(const ModeOptions& options);

}  // namespace quorvane::ctl
