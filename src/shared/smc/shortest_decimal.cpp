#include "shared/smc/shortest_decimal.hpp"

#include <charconv>
#include <cmath>

namespace quorvane {

std::string shortestDecimal(double value) {
    if (std::isnan(value)) return "nan";
    if (std::isinf(value)) return value < 0 ? "-inf" : "inf";
    // Beyond 2^53 not every integer is a double, so long fixed digits would suggest a precision the
    // value does not have; below 1e-4 fixed notation is mostly leading zeros.
    const double magnitude = std::fabs(value);
    const bool fixed = magnitude == 0.0 || (magnitude >= 1e-4 && magnitude < 9007199254740992.0);
    char buf[64];
    const auto res = std::to_chars(buf, buf + sizeof buf, value,
                                   fixed ? std::chars_format::fixed : std::chars_format::scientific);
    std::string text(buf, res.ptr);
    if (fixed && text.find('.') == std::string::npos) text += ".0";
    return text;
}

}  // namespace quorvane
