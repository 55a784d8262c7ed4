#include "sim/fan_firmware.hpp"

#include <algorithm>
#include <cmath>
#include <string>

#include "shared/smc/four_cc.hpp"
#include "sim/smc_record.hpp"

namespace quorvane::sim {

FanFirmware::FanFirmware(FirmwareSettings settings, std::vector<FanDefinition> fans, clock::Instant start)
    : settings_(settings),
      forceTestKey_(FourCC::code("Ftst")),
      forceBitmaskKey_(FourCC::code("FS! ")),
      lastAdvance_(start) {
    for (std::size_t i = 0; i < fans.size() && i < 10; ++i) {
        const std::string n = "F" + std::to_string(i);
        fans_.push_back(Fan{fans[i], FourCC::code(n + "Ac"), FourCC::code(n + "Tg"), FourCC::code(n + "Md"),
                            fans[i].autoSpeed});
    }
}

void FanFirmware::advance(clock::Instant now, KeyStore& keys) {
    // A clock that went backwards (or a first call) moves nothing.
    const double dt = now > lastAdvance_ ? clock::toSeconds(now - lastAdvance_) : 0.0;
    if (now > lastAdvance_) lastAdvance_ = now;
    const double keep = settings_.fanTimeConstant > 0 ? std::exp(-dt / settings_.fanTimeConstant) : 0.0;
    for (std::size_t i = 0; i < fans_.size(); ++i) {
        Fan& fan = fans_[i];
        double goal = fan.definition.autoSpeed;
        if (isManual(i, keys)) {
            // A fan cannot spin faster than its maximum or slower than standing still.
            const auto target = keys.decoded(fan.targetKey);
            if (target && std::isfinite(*target)) goal = std::clamp(*target, 0.0, fan.definition.maximum);
        }
        fan.actual = goal + (fan.actual - goal) * keep;
        keys.storeDecoded(fan.actualKey, fan.actual);
    }
}

double FanFirmware::coolingFraction() const {
    double sum = 0;
    for (const Fan& fan : fans_)
        if (fan.definition.maximum > 0) sum += std::clamp(fan.actual / fan.definition.maximum, 0.0, 1.0);
    return fans_.empty() ? 0.0 : sum / static_cast<double>(fans_.size());
}

bool FanFirmware::isManual(std::size_t fan, const KeyStore& keys) const {
    if (fan >= fans_.size()) return false;
    if (keys.find(fans_[fan].modeKey) != nullptr) return keys.decoded(fans_[fan].modeKey) == 1.0;
    const auto bits = keys.decoded(forceBitmaskKey_);
    // Whatever the key's type, only a whole value a 16-bit mask can hold names fans.
    if (!bits || !(*bits >= 0 && *bits <= 65535) || *bits != std::trunc(*bits)) return false;
    return (static_cast<unsigned>(*bits) >> fan) & 1u;
}

bool FanFirmware::manualModeUnlocked(clock::Instant now, const KeyStore& keys) const {
    if (!settings_.manualModeNeedsForceTest) return true;
    if (keys.decoded(forceTestKey_).value_or(0.0) == 0 || !forceTestSince_) return false;
    return now - *forceTestSince_ >= clock::seconds(settings_.unlockDelay);
}

std::uint8_t FanFirmware::vetWrite(std::uint32_t key, std::optional<double> value, clock::Instant now,
                                   const KeyStore& keys) const {
    // A write that would put any fan under manual control waits for the unlock; automatic is
    // always accepted.
    const bool engages = value.value_or(1.0) != 0;
    if (!engages || manualModeUnlocked(now, keys)) return smc_result::success;
    if (key == forceBitmaskKey_) return smc_result::firmwareBusy;
    for (const Fan& fan : fans_) {
        if (key == fan.modeKey) return smc_result::firmwareBusy;
    }
    return smc_result::success;
}

void FanFirmware::keyChanged(std::uint32_t key, clock::Instant now, KeyStore& keys) {
    if (key == forceTestKey_) {
        const double v = keys.decoded(forceTestKey_).value_or(0.0);
        if (v != 0) {
            if (!forceTestSince_) forceTestSince_ = now;
        } else {
            forceTestSince_.reset();
            for (const Fan& fan : fans_) keys.storeDecoded(fan.modeKey, 0);
            keys.storeDecoded(forceBitmaskKey_, 0);
        }
        return;
    }
    for (Fan& fan : fans_) {
        if (key == fan.actualKey) {
            const auto v = keys.decoded(fan.actualKey);
            if (v && std::isfinite(*v)) fan.actual = *v;
        }
    }
}

}  // namespace quorvane::sim
