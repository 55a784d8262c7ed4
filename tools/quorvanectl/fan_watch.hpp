// The fans as `run` needs them each tick, for two SMC exchanges a fan: the count, each fan's
// bounds and which keys hold the fans are read once (a fan's bounds again only while they are
// unusable), then each tick its actual speed and mode (its mode key, or the force bitmask where
// it has none). Its target is the one the daemon last applied for this client while the fan is
// manual, else the firmware's (one more exchange). Owned by one thread.
#pragma once

#include <map>
#include <memory>
#include <vector>

#include "smc/fan_control_keys.hpp"
#include "smc/smc_fan_reader.hpp"

namespace quorvane::ctl {

class FanWatch {
public:
    explicit FanWatch(std::shared_ptr<SMCKernelBridge> bridge);

    std::vector<FanStatus> read();
    // The daemon wrote rpm to the fan's target: the fan is manual at that target now.
    void applied(FanStatus& fan, double rpm);

private:
    SMCFanReader reader_;
    long count_;
    FanControlKeys keys_;
    std::map<long, FanBounds> bounds_;
    std::map<long, double> applied_;
};

}  // namespace quorvane::ctl
