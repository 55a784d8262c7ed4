// The texts quorvanectl shows for values: temperatures through TemperatureFormat, RPM rounded,
// "—" where there is no reading, and column padding that counts characters, not bytes.
// Pure, thread-safe.
#pragma once

#include <optional>
#include <string>

namespace quorvane::ctl {

inline constexpr const char* kNoReading = "—";

// "45.5°C", or "—" when absent.
std::string temperatureText(std::optional<double> celsius);
// Whole RPM ("2500"); shortestDecimal for a non-finite value.
std::string rpmText(double rpm);
// "41%" for a duty fraction.
std::string dutyText(double fraction);

// Pads with spaces to `width` characters (UTF-8 code points).
std::string padLeft(const std::string& text, std::size_t width);
std::string padRight(const std::string& text, std::size_t width);

}  // namespace quorvane::ctl
