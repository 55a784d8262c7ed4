// The fan firmware of the virtual Mac: actual speeds that follow the target (manual mode) or the
// profile's automatic speed with a first-order lag. A fan is manual while its mode key "F<n>Md"
// is 1, or, on a Mac without that key, while its bit of the force bitmask "FS! " is set. The
// "Ftst" unlock that some Macs require gates manual mode, and "Ftst" = 0 hands every fan back.
// Time-dependent values are computed lazily from the instants passed in; no threads of its own.
// Not thread-safe: the key model calls it under its mutex.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "platform/clock/clock.hpp"
#include "sim/key_store.hpp"
#include "sim/machine_profile.hpp"

namespace quorvane::sim {

class FanFirmware {
public:
    FanFirmware(FirmwareSettings settings, std::vector<FanDefinition> fans, clock::Instant start);

    // Moves every fan's actual speed forward to now and stores it in its F<n>Ac key.
    void advance(clock::Instant now, KeyStore& keys);
    // Result byte for a client write of value (nullopt when the bytes have no numeric value) to
    // key; success when the firmware accepts it.
    std::uint8_t vetWrite(std::uint32_t key, std::optional<double> value, clock::Instant now,
                          const KeyStore& keys) const;
    // After a key's value changed (a client write or a direct set): tracks the "Ftst" unlock,
    // returns fans to automatic on "Ftst" = 0, takes a directly set actual speed.
    void keyChanged(std::uint32_t key, clock::Instant now, KeyStore& keys);

    std::size_t fanCount() const { return fans_.size(); }
    // The fans' mean share of their maximum speed (0…1); 0 without fans.
    double coolingFraction() const;
    // Whether a manual-mode write would be accepted now.
    bool manualModeUnlocked(clock::Instant now, const KeyStore& keys) const;
    // Whether fan follows its target: by its mode key where it has one, else by its bitmask bit.
    bool isManual(std::size_t fan, const KeyStore& keys) const;

private:
    struct Fan {
        FanDefinition definition;
        std::uint32_t actualKey, targetKey, modeKey;
        double actual;
    };

    FirmwareSettings settings_;
    std::vector<Fan> fans_;
    std::uint32_t forceTestKey_;
    std::uint32_t forceBitmaskKey_;
    std::optional<clock::Instant> forceTestSince_;  // when "Ftst" last became 1
    clock::Instant lastAdvance_;
};

}  // namespace quorvane::sim
