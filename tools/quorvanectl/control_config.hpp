// The control service's configuration, /etc/quorvane/control.json: which built-in profile to
// follow, an optional custom mode on top (its stored JSON form, or the path of a mode file,
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

    FanProfile profile;
    std::optional<CustomMode> mode;
    AlertRule alert = defaultAlert;
    std::vector<std::string> boostApplications;

    // Throws ClientError (usage) listing every problem as "ORIGIN:LINE:COLUMN: KEY: what".
    static ControlConfig parse(std::string_view text, const std::string& origin);
    static ControlConfig read(const std::string& path);
};

}  // namespace quorvane::ctl
