#include "smc/smc_fan_reader.hpp"

#include <cmath>

#include "shared/smc/fan_key.hpp"
#include "smc/fan_control_keys.hpp"

namespace quorvane {

std::optional<double> SMCFanReader::tryRead(const std::string& key) const {
    try {
        return bridge_->read(key);
    } catch (const SMCError&) {
        return std::nullopt;
    }
}

long SMCFanReader::fanCount() const {
    if (auto v = tryRead(FanKey::fanCount); v && !std::isnan(*v)) {
        // Clamp before converting: the value comes from hardware and may be anything.
        const double t = std::trunc(*v);
        if (t <= 0) return 0;
        if (t >= maxFans) return maxFans;
        return static_cast<long>(t);
    }
    long count = 0;
    for (long n = 0; n < maxFans; ++n) {
        try {
            bridge_->keyInfo(FanKey::current(n));
            count = n + 1;
        } catch (const SMCError&) {
        }
    }
    return count;
}

FanStatus SMCFanReader::status(long n, std::optional<FanBounds> knownBounds) const {
    FanStatus s;
    s.id = n;
    if (n < 0 || n >= maxFans) {
        s.currentRPMValid = false;
        return s;
    }
    if (auto v = tryRead(FanKey::current(n))) {
        s.currentRPM = *v;
    } else {
        s.currentRPMValid = false;
    }
    if (knownBounds) {
        s.minRPM = knownBounds->min;
        s.maxRPM = knownBounds->max;
    } else {
        s.minRPM = tryRead(FanKey::minimum(n)).value_or(0);
        s.maxRPM = tryRead(FanKey::maximum(n)).value_or(0);
    }
    s.targetRPM = tryRead(FanKey::target(n)).value_or(s.currentRPM);
    s.isManaged = isManaged(n);
    return s;
}

bool SMCFanReader::isManaged(long fan, const FanControlKeys* keys) const {
    // Macs without per-fan mode keys hold the fan by its bit of the force bitmask instead.
    if (!keys || keys->hasModeKey(fan) || !keys->forceBitmask) {
        if (const auto mode = tryRead(FanKey::mode(fan))) return *mode == 1.0;
        if (keys) return false;
    }
    const auto mask = tryRead(FanKey::forceBitmask);
    return mask && FanControlKeys::forceBit(*mask, fan).value_or(false);
}

std::vector<FanStatus> SMCFanReader::allFans() const {
    const long n = fanCount();
    std::vector<FanStatus> fans;
    fans.reserve(static_cast<std::size_t>(n));
    for (long i = 0; i < n; ++i) fans.push_back(status(i));
    return fans;
}

}  // namespace quorvane
