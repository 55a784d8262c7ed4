// How many fans this Mac has and what each is doing, read through a key bridge. Never fails:
// unreadable keys give documented defaults. Copies share the bridge; safe from any thread to the
// extent the bridge is (the daemon uses it from its hardware queue only).
#pragma once

#include <memory>
#include <optional>
#include <vector>

#include "shared/smc/fan_status.hpp"
#include "smc/fan_control_keys.hpp"
#include "smc/smc_kernel_bridge.hpp"

namespace quorvane {

struct FanBounds {
    double min = 0;
    double max = 0;
    friend bool operator==(const FanBounds&, const FanBounds&) = default;
};

class SMCFanReader {
public:
    static constexpr long maxFans = 10;

    explicit SMCFanReader(std::shared_ptr<SMCKernelBridge> bridge) : bridge_(std::move(bridge)) {}

    // 0…10: "FNum" truncated and clamped, or — when it cannot be read — one more than the highest
    // fan index whose actual-speed key exists.
    long fanCount() const;
    // Indices outside 0…9 make no exchange and give an all-default, invalid status.
    FanStatus status(long ofFan, std::optional<FanBounds> knownBounds = std::nullopt) const;
    std::vector<FanStatus> allFans() const;
    // Whether the fan is under manual control: its mode key reads 1, or — on a Mac that holds fans
    // by the force bitmask "FS! " — its bit is set. With the Mac's control keys known, one exchange;
    // without, the mode key is tried first. False when neither can be read.
    bool isManaged(long fan, const FanControlKeys* keys = nullptr) const;
    // A key's value, absent when it cannot be read.
    std::optional<double> tryRead(const std::string& key) const;

private:
    std::shared_ptr<SMCKernelBridge> bridge_;
};

}  // namespace quorvane
