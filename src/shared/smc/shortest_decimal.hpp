// The one way a double becomes text in a message: shortest digits that read back exactly.
// Pure function, thread-safe.
#pragma once

#include <string>

namespace quorvane {

// Fixed notation for 1e-4 <= |v| < 2^53 (and for zero), with ".0" on integral values: "250000.0",
// "0.5", "-0.0". Exponent notation with at least two exponent digits outside that range: "3e+20",
// "2e-05". Non-finite values are "nan", "inf" and "-inf".
std::string shortestDecimal(double value);

}  // namespace quorvane
