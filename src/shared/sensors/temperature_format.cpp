#include "shared/sensors/temperature_format.hpp"

#include <charconv>
#include <cmath>

namespace quorvane::TemperatureFormat {

double converted(double celsius, bool fahrenheit) { return fahrenheit ? celsius * 9.0 / 5.0 + 32.0 : celsius; }

std::string value(double celsius, bool fahrenheit, bool precise) {
    const double v = converted(celsius, fahrenheit);
    // to_chars never consults the locale, and its fixed precision rounds like printf: exactly,
    // ties to even. printf's spellings of the non-finite values are kept.
    if (std::isnan(v)) return std::signbit(v) ? "-nan" : "nan";
    if (std::isinf(v)) return v < 0 ? "-inf" : "inf";
    char buf[400];  // the longest "%.1f" of a finite double is 311 characters
    const auto res = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::fixed, precise ? 1 : 0);
    return std::string(buf, res.ptr);
}

std::string display(double celsius, bool fahrenheit, bool precise) {
    return value(celsius, fahrenheit, precise) + "\xC2\xB0" + (fahrenheit ? "F" : "C");
}

std::string spoken(double celsius, bool fahrenheit, bool precise) {
    if (!(celsius > 0)) return "no reading";
    return value(celsius, fahrenheit, precise) + " degrees " + (fahrenheit ? "Fahrenheit" : "Celsius");
}

}  // namespace quorvane::TemperatureFormat
