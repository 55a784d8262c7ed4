#include "smc/smc_param_struct.hpp"

#include <algorithm>
#include <cstring>

namespace quorvane {

std::vector<std::uint8_t> SMCParamStruct::valueBytes(long count) const {
    const long n = std::clamp(count, 0L, 32L);
    return std::vector<std::uint8_t>(bytes, bytes + n);
}

void SMCParamStruct::setValueBytes(const std::uint8_t* values, std::size_t n) {
    const std::size_t k = std::min<std::size_t>(n, sizeof bytes);
    if (k) std::memcpy(bytes, values, k);
    std::memset(bytes + k, 0, sizeof bytes - k);
}

void SMCParamStruct::setValueBytes(const std::vector<std::uint8_t>& values) {
    setValueBytes(values.data(), values.size());
}

}  // namespace quorvane
