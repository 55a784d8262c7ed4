#include "smc/sensor_discovery.hpp"

#include <algorithm>
#include <optional>

#include "platform/log/log.hpp"
#include "shared/sensors/sensor_classifier.hpp"
#include "shared/smc/four_cc.hpp"

namespace quorvane {

namespace {

const log::Logger& discoveryLog() {
    static const log::Logger logger("com.quorvane.smc", "discovery");
    return logger;
}

// The key's current value decoded by its own type; absent on any failure.
std::optional<double> readValue(SMCKernelBridge& bridge, const std::string& key) {
    try {
        const SMCRawValue raw = bridge.readRaw(key);
        return SMCDataCodec::decode(raw.bytes.span(), raw.type);
    } catch (const SMCError&) {
    } catch (const SMCCodecError&) {
    }
    return std::nullopt;
}

}  // namespace

std::vector<SMCSensor> SensorDiscovery::discoverAll() const {
    long count = 0;
    try {
        count = bridge_->keyCount();
    } catch (const SMCError&) {
        return {};
    }
    if (count <= 0) return {};
    const long limit = std::min(count, keyCountCeiling);
    if (count > keyCountCeiling)
        discoveryLog().error("#KEY reported %ld keys \u2014 implausible, walking the first %ld", count, keyCountCeiling);

    std::vector<SMCSensor> sensors;
    sensors.reserve(static_cast<std::size_t>(std::min(count, initialCapacity)));
    for (long index = 0; index < limit; ++index) {
        std::string key;
        try {
            key = bridge_->key(index);
        } catch (const SMCError&) {
            continue;
        }
        // Codes with bytes that are not UTF-8 come back longer than four bytes.
        std::uint32_t code = 0;
        if (!FourCC::tryCode(key, code)) continue;
        SMCRawValue raw;
        double value = 0;
        try {
            raw = bridge_->readRaw(key);
            value = SMCDataCodec::decode(raw.bytes.span(), raw.type);
        } catch (const SMCError&) {
            continue;
        } catch (const SMCCodecError&) {
            continue;
        }
        auto [sensorClass, name] = SensorClassifier::classify(key, raw.type, value);
        if (sensorClass == SensorClass::other) continue;
        sensors.push_back(SMCSensor{key, key, std::move(name), SensorClassifier::category(key, sensorClass), value,
                                    sensorClass, std::string(unit(sensorClass))});
    }
    return sensors;
}

std::vector<SMCSensor> SensorDiscovery::discover() const {
    std::vector<SMCSensor> all = discoverAll();
    std::erase_if(all, [](const SMCSensor& s) { return s.sensorClass != SensorClass::temperature; });
    return all;
}

std::vector<SMCSensor> SensorDiscovery::refresh(const std::vector<SMCSensor>& sensors) const {
    return refresh(sensors, [](const SMCSensor&) { return true; });
}

std::vector<SMCSensor> SensorDiscovery::refresh(const std::vector<SMCSensor>& sensors,
                                                const std::function<bool(const SMCSensor&)>& where) const {
    std::vector<SMCSensor> out = sensors;
    for (SMCSensor& s : out) {
        if (!where(s)) continue;
        const auto value = readValue(*bridge_, s.key);
        if (!value) continue;
        if (s.sensorClass == SensorClass::temperature &&
            !SensorClassifier::plausibleTemperatureRange.contains(*value))
            continue;
        s.currentTemp = *value;
    }
    return out;
}

}  // namespace quorvane
