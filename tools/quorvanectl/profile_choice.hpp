// Which profile and custom mode `run` follows: a built-in profile by name, and a custom mode read
// from a JSON file (at most 1 MiB). Failures are usage ClientErrors naming what was wrong.
// Pure apart from reading the file; main thread only.
#pragma once

#include <optional>
#include <string>

#include "shared/profiles/custom_mode.hpp"
#include "shared/profiles/fan_profile.hpp"

namespace quorvane::ctl {

// Case-insensitive match of a built-in profile's name.
const FanProfile& builtinProfile(const std::string& name);
CustomMode readCustomMode(const std::string& path);
// "appleAuto", "constantRPM", "adaptiveCurve".
std::string controlModeName(ControlMode mode);

}  // namespace quorvane::ctl
