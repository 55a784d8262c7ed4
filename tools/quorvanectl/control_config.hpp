// The control service's configuration, /etc/quorvane/control.json: the profile to follow (a
// built-in's name, or a profile of one's own in the library's stored form), the seconds between
// ticks, an optional custom mode on top (its stored JSON form, or the path of a mode file,
// relative to the configuration's directory), the alert rule, and the applications whose
// presence boosts the fans. Every error names the file, the line and column, and the key path;
// all errors are reported at once. Value type; reading touches only the file (at most 1 MiB).
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "shared/profiles/alert_rule.hpp"
#include "shared/profiles/custom_mode.hpp"
#include "shared/profiles/fan_profile.hpp"

namespace quorvane::ctl {

struct ControlConfig {
    static constexpr const char* defaultPath = "/etc/quorvane/control.json";
    // What `run` uses when the file names no rule: warn at 90 °C and run the fans at full speed.
    static constexpr AlertRule defaultAlert{true, 90.0, true};

    static constexpr double defaultInterval = 1.0;
    // Quicker would spin the SMC for nothing; slower leaves a rising load unanswered too long.
    static constexpr double minInterval = 0.5, maxInterval = 60.0;

    FanProfile profile;
    double interval = defaultInterval;  // seconds between ticks
    std::optional<CustomMode> mode;
    AlertRule alert = defaultAlert;
    std::vector<std::string> boostApplications;

    // Throws ClientError (usage) listing every problem as "ORIGIN:LINE:COLUMN: KEY: what" (the
    // first few, and how many more).
    static ControlConfig parse(std::string_view text, const std::string& origin);
    static ControlConfig read(const std::string& path);
};

}  // namespace quorvane::ctl
