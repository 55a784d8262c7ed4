#include "fan_watch.hpp"

#include <cmath>
#include <optional>

#include "shared/smc/fan_key.hpp"
#include "smc/fan_control_keys.hpp"

namespace quorvane::ctl {

namespace {
bool usable(const FanBounds& b) { return std::isfinite(b.min) && std::isfinite(b.max) && b.max > 0 && b.min <= b.max; }
}  // namespace

FanWatch::FanWatch(std::shared_ptr<SMCKernelBridge> bridge)
    : reader_(bridge), count_(reader_.fanCount()), keys_(FanControlKeys::find(*bridge, count_)) {}

std::vector<FanStatus> FanWatch::read() {
    std::vector<FanStatus> fans;
    fans.reserve(static_cast<std::size_t>(count_));
    // Where the force bitmask holds every fan, one read of it a tick answers for all of them
    // (through the kernel's driver each read of it is a read of every fan's mode file).
    const bool byMask = keys_.forceBitmask && keys_.modeKeys == 0;
    const auto mask = byMask && count_ > 0 ? reader_.tryRead(FanKey::forceBitmask) : std::nullopt;
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
        if (const auto current = reader_.tryRead(FanKey::current(i))) {
            s.currentRPM = *current;
        } else {
            s.currentRPMValid = false;
        }
        s.isManaged = byMask ? mask && FanControlKeys::forceBit(*mask, i).value_or(false) : reader_.isManaged(i, &keys_);
        // A fan the firmware took back (or that was never ours) shows the firmware's target.
        const auto ours = applied_.find(i);
        if (s.isManaged && ours != applied_.end()) {
            s.targetRPM = ours->second;
        } else {
            if (ours != applied_.end()) applied_.erase(ours);
            s.targetRPM = reader_.tryRead(FanKey::target(i)).value_or(s.currentRPM);
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
