// The one check every record encoder shares: JSON has no NaN or infinity, and writing them as
// null would leave a file that can never be read back. Pure, thread-safe.
#pragma once

#include <cmath>
#include <stdexcept>
#include <string>
#include <string_view>

#include "shared/smc/smc_data_codec.hpp"

namespace quorvane::json_encoding {

// The value itself; throws std::invalid_argument naming the key when it is not finite.
inline double finite(double value, std::string_view key) {
    if (!std::isfinite(value))
        throw std::invalid_argument("cannot write " + shortestDecimal(value) + " for \"" + std::string(key) +
                                    "\": JSON numbers must be finite");
    return value;
}

}  // namespace quorvane::json_encoding
