#include "smc/smc_fan_reader.hpp"

#include <cmath>

#include "shared/smc/fan_key.hpp"
#include "smc/fan_control_keys.hpp"

namespace quorvane {

namespace {
std::optional<double> tryRead(SMCKernelBridge& bridge, const std::string& key) {
    try {
        return bridge.read(key);
    } catch (const SMCError&) {
        return std::nullopt;
    }
}
}  // namespace

long SMCFanReader::fanCount() const {
    if (auto v = tryRead(*bridge_, FanKey::fanCount); v && !std::isnan(*v)) {
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
    if (auto v = tryRead(*bridge_, FanKey::current(n))) {
        s.currentRPM = *v;
    } else {
        s.currentRPMValid = false;
    }
    if (knownBounds) {
        s.minRPM = knownBounds->min;
        s.maxRPM = knownBounds->max;
    } else {
        s.minRPM = tryRead(*bridge_, FanKey::minimum(n)).value_or(0);
        s.maxRPM = tryRead(*bridge_, FanKey::maximum(n)).value_or(0);
    }
    s.targetRPM = tryRead(*bridge_, FanKey::target(n)).value_or(s.currentRPM);
    // Macs without per-fan mode keys hold the fan by its bit of the force bitmask instead.
    if (const auto mode = tryRead(*bridge_, FanKey::mode(n))) {
        s.isManaged = *mode == 1.0;
    } else if (const auto mask = tryRead(*bridge_, FanKey::forceBitmask)) {
        s.isManaged = FanControlKeys::forceBit(*mask, n).value_or(false);
    }
    return s;
}

std::vector<FanStatus> SMCFanReader::allFans() const {
    const long n = fanCount();
    std::vector<FanStatus> fans;
    fans.reserve(static_cast<std::size_t>(n));
    for (long i = 0; i < n; ++i) fans.push_back(status(i));
    return fans;
}

}  // namespace quorvane
