// The texts quorvanectl shows for values: temperatures through TemperatureFormat, RPM rounded,
// "—" where there is no reading, and column padding that counts characters, not bytes.
// Pure apart from the display unit, which main sets once before anything reads it.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>

namespace quorvane::ctl {

inline constexpr const char* kNoReading = "—";

// The unit temperatureText shows: set once by main before any command runs.
void setFahrenheit(bool fahrenheit);
// "45.5°C" (or °F), or "—" when absent.
std::string temperatureText(std::optional<double> celsius);
// Without the decimal ("45°C"): curve points are whole degrees.
std::string wholeTemperatureText(double celsius);
// Whole RPM ("2500"); shortestDecimal for a non-finite value.
std::string rpmText(double rpm);
// "41%" for a duty fraction.
std::string dutyText(double fraction);
// "4d 61 63 00": bytes in hex.
std::string hexText(std::span<const std::uint8_t> bytes);

// Pads with spaces to `width` characters (UTF-8 code points).
std::string padLeft(const std::string& text, std::size_t width);
std::string padRight(const std::string& text, std::size_t width);
// The first `width` characters (UTF-8 code points).
std::string cut(const std::string& text, std::size_t width);

}  // namespace quorvane::ctl
