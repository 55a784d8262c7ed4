#include "fan_watch.hpp"

#include <cmath>
#include <optional>

#include "shared/smc/fan_key.hpp"
#include "smc/fan_control_keys.hpp"

namespace quorvane::ctl {

namespace {
std::optional<double> tryRead(SMCKernelBridge& bridge, const std::string& key) {
    try {
        return bridge.read(key);
    } catch (const SMCError&) {
        return std::nullopt;
    }
}

bool usable(const FanBounds& b) { return std::isfinite(b.min) && std::isfinite(b.max) && b.max > 0 && b.min <= b.max; }
}  // namespace

FanWatch::FanWatch(std::shared_ptr<SMCKernelBridge> bridge)
    : bridge_(bridge),
      reader_(std::move(bridge)),
      count_(reader_.fanCount()),
      keys_(FanControlKeys::find(*bridge_, count_)) {}

std::vector<FanStatus> FanWatch::read() {
    std::vector<FanStatus> fans;
    fans.reserve(static_cast<std::size_t>(count_));
    for (long i = 0; i < count_; ++i) {
        auto known = bounds_.find(i);
        if (known == bounds_.end()) {
            FanStatus first = reader_.status(i);
            const FanBounds bounds{first.minRPM, first.maxRPM};
            if (usable(bounds)) bounds_.emplace(i, bounds);
            fans.push_back(first);
            continue;
        }
        FanStatus s;
        s.id = i;
        s.minRPM = known->second.min;
        s.maxRPM = known->second.max;
        if (const auto current = tryRead(*bridge_, FanKey::current(i))) {
            s.currentRPM = *current;
        } else {
            s.currentRPMValid = false;
        }
        // A Mac without the fan's mode key holds it by its bit of the force bitmask.
        if (keys_.hasModeKey(i) || !keys_.forceBitmask) {
            const auto mode = tryRead(*bridge_, FanKey::mode(i));
            s.isManaged = mode && *mode == 1.0;
        } else {
            const auto mask = tryRead(*bridge_, FanKey::forceBitmask);
            s.isManaged = mask && FanControlKeys::forceBit(*mask, i).value_or(false);
        }
        // A fan the firmware took back (or that was never ours) shows the firmware's target.
        const auto ours = applied_.find(i);
        if (s.isManaged && ours != applied_.end()) {
            s.targetRPM = ours->second;
        } else {
            if (ours != applied_.end()) applied_.erase(ours);
            s.targetRPM = tryRead(*bridge_, FanKey::target(i)).value_or(s.currentRPM);
        }
        fans.push_back(s);
    }
    return fans;
}

void FanWatch::applied(FanStatus& fan, double rpm) {
    applied_[fan.id] = rpm;
    fan.targetRPM = rpm;
    fan.isManaged = true;
}

}  // namespace quorvane::ctl
