// Walks every key the SMC reports and keeps the ones the classifier recognises as sensors, with a
// first reading; refreshes the readings of an existing list cheaply. Never fails: an unreadable
// "#KEY" gives an empty list, any other failure skips one key or keeps one old reading.
// Copies share the bridge; safe from any thread to the extent the bridge is (it is).
#pragma once

#include <functional>
#include <memory>
#include <vector>

#include "shared/sensors/smc_sensor.hpp"
#include "smc/smc_kernel_bridge.hpp"

namespace quorvane {

class SensorDiscovery {
public:
    // A corrupt "#KEY" must not turn into an endless walk.
    static constexpr long keyCountCeiling = 16384;
    static constexpr long initialCapacity = 512;

    explicit SensorDiscovery(std::shared_ptr<SMCKernelBridge> bridge) : bridge_(std::move(bridge)) {}

    // Every recognised sensor in key-index order. Up to three exchanges per key on a cold bridge,
    // two once key information is cached.
    std::vector<SMCSensor> discoverAll() const;
    // The temperature sensors of discoverAll(), order kept.
    std::vector<SMCSensor> discover() const;
    // Same length and order; only currentTemp may change. A temperature outside the plausible
    // range, or any failure, keeps the old reading. One exchange per sensor once cached.
    std::vector<SMCSensor> refresh(const std::vector<SMCSensor>& sensors) const;
    // As refresh, but sensors the predicate rejects are copied unchanged without any exchange.
    std::vector<SMCSensor> refresh(const std::vector<SMCSensor>& sensors,
                                   const std::function<bool(const SMCSensor&)>& where) const;

private:
    std::shared_ptr<SMCKernelBridge> bridge_;
};

}  // namespace quorvane
