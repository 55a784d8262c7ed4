// Custom mode files as a person writes them: read with a budget (1 MiB), parse errors with their
// line and column, every missing key named at once, a speed outside 0…1 refused (the library
// would clamp it silently: 70 meant as 70 % would run the fans at full speed), and sensor ids
// checked against the sensors this Mac has. Failures are usage ClientErrors. Pure apart from
// reading the file; main thread only.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "shared/profiles/custom_mode.hpp"
#include "shared/profiles/fan_profile.hpp"
#include "shared/sensors/smc_sensor.hpp"

namespace quorvane::ctl {

// Why a speed fraction is unacceptable ("is outside 0…1: …"), absent when it is fine.
std::optional<std::string> fractionProblem(double fraction);

// `text` holds a mode file's contents; `file` names it in messages.
CustomMode customModeFromText(const std::string& text, const std::string& file);
CustomMode readCustomMode(const std::string& path);

// Every sensor id the mode names must be one of `sensors`; the error lists the ids there are.
void checkModeSensors(const CustomMode& mode, const std::vector<SMCSensor>& sensors);
// A profile of one's own may follow a sensor by its key ("TC0P"): the same check.
bool namesSensorKey(const FanProfile& profile);
void checkProfileSensor(const FanProfile& profile, const std::vector<SMCSensor>& sensors);

}  // namespace quorvane::ctl
