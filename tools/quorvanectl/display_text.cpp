#include "display_text.hpp"

#include <cmath>
#include <cstdio>

#include "shared/sensors/temperature_format.hpp"
#include "shared/smc/smc_data_codec.hpp"

namespace quorvane::ctl {

namespace {

std::size_t characters(const std::string& text) {
    std::size_t n = 0;
    for (unsigned char c : text) n += (c & 0xC0) != 0x80;
    return n;
}

std::string rounded(double value) {
    if (!std::isfinite(value)) return shortestDecimal(value);
    char text[32];
    std::snprintf(text, sizeof text, "%.0f", value);
    return text;
}

}  // namespace

std::string temperatureText(std::optional<double> celsius) {
    return celsius ? TemperatureFormat::display(*celsius, false, true) : kNoReading;
}

std::string rpmText(double rpm) { return rounded(rpm); }

std::string dutyText(double fraction) { return rounded(fraction * 100) + "%"; }

std::string padLeft(const std::string& text, std::size_t width) {
    const std::size_t n = characters(text);
    return n >= width ? text : std::string(width - n, ' ') + text;
}

std::string padRight(const std::string& text, std::size_t width) {
    const std::size_t n = characters(text);
    return n >= width ? text : text + std::string(width - n, ' ');
}

}  // namespace quorvane::ctl
