// Which built-in profile `run` follows, by name, and the names and stable ids the client shows.
// Failures are usage ClientErrors naming what was wrong. Pure, thread-safe.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "shared/profiles/custom_mode.hpp"
#include "shared/profiles/fan_profile.hpp"

namespace quorvane::ctl {

// Case-insensitive match of a built-in profile's name.
const FanProfile& builtinProfile(const std::string& name);
// The templates with ids fixed for this client, so that two listings agree (the library gives
// them fresh random ids each run).
std::vector<CustomMode> listedTemplates();
// Case-insensitive match of a template's name ("gaming").
const CustomMode& builtinTemplate(const std::string& name);
// "appleAuto", "constantRPM", "adaptiveCurve".
std::string controlModeName(ControlMode mode);

}  // namespace quorvane::ctl
