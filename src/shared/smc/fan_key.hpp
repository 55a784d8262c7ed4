// SMC key names of the per-fan keys ("F" + index + suffix) and the global fan keys.
// Pure, thread-safe.
#pragma once

#include <string>

namespace quorvane::FanKey {

inline constexpr const char* fanCount = "FNum";
inline constexpr const char* forceTest = "Ftst";
// 16-bit mask on Macs without per-fan mode keys: bit n set = fan n under manual control.
inline constexpr const char* forceBitmask = "FS! ";

// Each throws std::out_of_range for an index outside 0…9: there is no four-character key for it.
std::string current(long fan);  // F<n>Ac, actual speed
std::string minimum(long fan);  // F<n>Mn
std::string maximum(long fan);  // F<n>Mx
std::string target(long fan);   // F<n>Tg
std::string mode(long fan);     // F<n>Md, 1 manual, 0 automatic

}  // namespace quorvane::FanKey
