#include "shared/smc/fan_key.hpp"

#include <stdexcept>

namespace quorvane::FanKey {

namespace {
std::string build(long fan, const char* suffix) {
    if (fan < 0 || fan > 9) {
        throw std::out_of_range("FanKey: fan index " + std::to_string(fan) + " outside 0…9");
    }
    std::string key(4, 'F');
    key[1] = static_cast<char>('0' + fan);
    key[2] = suffix[0];
    key[3] = suffix[1];
    return key;
}
}  // namespace

std::string current(long fan) { return build(fan, "Ac"); }
std::string minimum(long fan) { return build(fan, "Mn"); }
std::string maximum(long fan) { return build(fan, "Mx"); }
std::string target(long fan) { return build(fan, "Tg"); }
std::string mode(long fan) { return build(fan, "Md"); }

}  // namespace quorvane::FanKey
