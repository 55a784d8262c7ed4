// The virtual Mac's thermal model: one heat level that load raises and fan speed lowers, moving
// every plausible temperature key (and HID temperature service) away from its recorded value by
// a per-family share of that heat. At load 0 and no heat nothing is rewritten, so a real key
// table is served byte for byte. Time-dependent values are computed lazily from the instants
// passed in. Not thread-safe: the key model calls it under its mutex.
#pragma once

#include <cstdint>
#include <vector>

#include "platform/clock/clock.hpp"
#include "platform/hid/hid.hpp"
#include "sim/key_store.hpp"

namespace quorvane::sim {

class ThermalModel {
public:
    static constexpr double fullLoadHeat = 45.0;  // °C above idle at full load with fans stopped
    static constexpr double timeConstant = 20.0;  // seconds
    static constexpr double fanCoolingGain = 1.5; // fans at maximum divide the heat by 1 + gain

    ThermalModel(const KeyStore& keys, std::vector<hid::ServiceRecord> hidServices, clock::Instant start);

    // 0…1; values outside are clamped, NaN is ignored.
    void setLoad(double load);
    double load() const { return load_; }
    double heat() const { return heat_; }
    // Moves the heat to now; cooling is the fans' share of their maximum speed (0…1).
    void advance(clock::Instant now, double cooling, KeyStore& keys);
    std::vector<hid::ServiceRecord> hidServices() const;

private:
    struct Sensor {
        std::uint32_t code;
        double base;
        double share;
    };
    struct HIDSensor {
        hid::ServiceRecord record;
        double base;
        double share;  // 0: implausible or absent values stay as published
    };

    std::vector<Sensor> sensors_;
    std::vector<HIDSensor> hid_;
    double load_ = 0;
    double heat_ = 0;
    double written_ = 0;  // the heat the keys currently show
    clock::Instant last_;
};

}  // namespace quorvane::sim
