#include "smc/fan_control_keys.hpp"

#include <cmath>

#include "shared/smc/fan_key.hpp"
#include "shared/smc/shortest_decimal.hpp"
#include "smc/smc_fan_reader.hpp"

namespace quorvane {

namespace {
enum class Presence { absent, present, unknown };

Presence probe(SMCKernelBridge& bridge, const std::string& key) {
    try {
        bridge.keyInfo(key);
        return Presence::present;
    } catch (const SMCError& e) {
        return e.kind() == SMCError::Kind::keyNotFound ? Presence::absent : Presence::unknown;
    }
}
}  // namespace

FanControlKeys FanControlKeys::find(SMCKernelBridge& bridge, long fanCount) {
    FanControlKeys keys;
    auto present = [&](const std::string& key) {
        const Presence p = probe(bridge, key);
        if (p == Presence::unknown) keys.settled = false;
        return p != Presence::absent;
    };
    for (long i = 0; i < fanCount && i < SMCFanReader::maxFans; ++i) {
        if (present(FanKey::mode(i))) keys.modeKeys = static_cast<std::uint16_t>(keys.modeKeys | (1u << i));
    }
    keys.forceBitmask = present(FanKey::forceBitmask);
    return keys;
}

std::optional<bool> FanControlKeys::forceBit(double mask, long fan) {
    // Range-checked before the conversion: the value comes from hardware.
    if (!(mask >= 0 && mask <= 65535) || mask != std::trunc(mask) || fan < 0 || fan >= 16) return std::nullopt;
    return ((static_cast<unsigned>(mask) >> fan) & 1u) != 0;
}

void FanControlKeys::setForceBit(SMCKernelBridge& bridge, long fan) {
    const double mask = bridge.read(FanKey::forceBitmask);
    if (!forceBit(mask, fan)) {
        throw SMCError::codec("decode " + std::string(FanKey::forceBitmask) + ": " + shortestDecimal(mask) +
                              " is no 16-bit fan mask");
    }
    bridge.write(FanKey::forceBitmask, static_cast<double>(static_cast<unsigned>(mask) | (1u << fan)));
}

}  // namespace quorvane
