// Which keys take this Mac's fans out of the firmware's automatic control, found once by asking
// the SMC which keys exist: a fan's own mode key "F<n>Md" where it has one, else its bit of the
// force bitmask "FS! " (Macs before the T2 chip). Value type; find() and the bit operations talk
// to the SMC through the bridge they are given.
#pragma once

#include <cstdint>
#include <optional>

#include "smc/smc_kernel_bridge.hpp"

namespace quorvane {

struct FanControlKeys {
    std::uint16_t modeKeys = 0;  // bit n: "F<n>Md" exists
    bool forceBitmask = false;   // "FS! " exists
    // Every probe had a definite answer. A probe that failed otherwise counts its key as present
    // (a restore still writes it and reports the failure) and the result is worth asking again.
    bool settled = true;

    bool hasModeKey(long fan) const { return fan >= 0 && fan < 16 && ((modeKeys >> fan) & 1u); }
    // Neither key: this fan cannot be put under manual control on this Mac.
    bool canEngage(long fan) const { return hasModeKey(fan) || (forceBitmask && fan >= 0 && fan < 16); }

    // Key-information exchanges for "FS! " and the mode keys of fans 0…fanCount−1 (at most 10).
    static FanControlKeys find(SMCKernelBridge& bridge, long fanCount);
    // Reads "FS! ", sets fan's bit and writes the mask back. Throws SMCError, also when the mask
    // read is no whole number a 16-bit mask can hold.
    static void setForceBit(SMCKernelBridge& bridge, long fan);
    // Fan's bit of a decoded mask value; empty when the value is no 16-bit mask.
    static std::optional<bool> forceBit(double mask, long fan);
};

}  // namespace quorvane
