#include "display_text.hpp"

#include <cmath>
#include <cstdio>

#include "shared/sensors/temperature_format.hpp"
#include "shared/smc/smc_data_codec.hpp"

namespace quorvane::ctl {

namespace {

bool showFahrenheit = false;

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

void setFahrenheit(bool fahrenheit) { showFahrenheit = fahrenheit; }

std::string temperatureText(std::optional<double> celsius) {
    return celsius ? TemperatureFormat::display(*celsius, showFahrenheit, true) : kNoReading;
}

std::string wholeTemperatureText(double celsius) { return TemperatureFormat::display(celsius, showFahrenheit, false); }

std::string rpmText(double rpm) { return rounded(rpm); }

std::string dutyText(double fraction) { return rounded(fraction * 100) + "%"; }

std::string hexText(std::span<const std::uint8_t> bytes) {
    std::string text;
    char pair[4];
    for (const auto b : bytes) {
        std::snprintf(pair, sizeof pair, "%02x", b);
        if (!text.empty()) text += ' ';
        text += pair;
    }
    return text;
}

std::string padLeft(const std::string& text, std::size_t width) {
    const std::size_t n = characters(text);
    return n >= width ? text : std::string(width - n, ' ') + text;
}

std::string padRight(const std::string& text, std::size_t width) {
    const std::size_t n = characters(text);
    return n >= width ? text : text + std::string(width - n, ' ');
}

std::string cut(const std::string& text, std::size_t width) {
    std::size_t n = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if ((static_cast<unsigned char>(text[i]) & 0xC0) != 0x80 && n++ == width) return text.substr(0, i);
    }
    return text;
}

}  // namespace quorvane::ctl
