#include "shared/sensors/sensor_classifier.hpp"

#include <array>
#include <utility>

namespace quorvane::SensorClassifier {

namespace {

constexpr std::array<std::pair<std::string_view, std::string_view>, 16> kPrefixes{{
    {"Tne", "Neural Engine"}, {"Tp", "P-Core"},   {"Te", "E-Core"},    {"Tg", "GPU"},     {"TG", "GPU"},
    {"Tm", "Memory"},         {"TM", "Memory"},   {"TB", "Battery"},   {"Tb", "Battery"}, {"TA", "Ambient"},
    {"Ta", "Ambient"},        {"Ts", "Enclosure"}, {"TS", "Enclosure"}, {"Tf", "SoC Fabric"}, {"TC", "CPU"},
    {"TH", "Storage"},
}};

std::optional<std::string_view> prefixName(std::string_view prefix) {
    for (const auto& [p, name] : kPrefixes)
        if (p == prefix) return name;
    return std::nullopt;
}

bool isFloatType(SMCDataType type) { return type.kind() == SMCDataType::Kind::flt; }

}  // namespace

std::string displayName(std::string_view key) {
    std::size_t length = 0;
    std::optional<std::string_view> name;
    if (key.size() > 3 && (name = prefixName(key.substr(0, 3)))) length = 3;
    else if (key.size() > 2 && (name = prefixName(key.substr(0, 2)))) length = 2;
    if (!name) return std::string(key);
    std::string_view rest = key.substr(length);
    while (!rest.empty() && rest.front() == '0') rest.remove_prefix(1);
    if (rest.empty()) return std::string(*name);
    return std::string(*name) + " " + std::string(rest);
}

SensorClassification classify(std::string_view key, SMCDataType type, std::optional<double> sample) {
    if (key.empty()) return {SensorClass::other, std::string(key)};
    switch (key.front()) {
        case 'T': {
            const bool thermalType = type.kind() == SMCDataType::Kind::sp78 || isFloatType(type);
            const bool plausible = sample && plausibleTemperatureRange.contains(*sample);
            return {thermalType && plausible ? SensorClass::temperature : SensorClass::other, displayName(key)};
        }
        case 'P': return {isFloatType(type) ? SensorClass::power : SensorClass::other, std::string(key)};
        case 'V': return {isFloatType(type) ? SensorClass::voltage : SensorClass::other, std::string(key)};
        case 'I': return {isFloatType(type) ? SensorClass::current : SensorClass::other, std::string(key)};
        case 'F': return {key.back() == 'c' ? SensorClass::fan : SensorClass::other, std::string(key)};
        default: return {SensorClass::other, std::string(key)};
    }
}

SensorCategory category(std::string_view key, SensorClass sensorClass) {
    if (sensorClass != SensorClass::temperature) return SensorCategory::enclosure;
    const std::string_view p = key.substr(0, 2);
    if (p == "Tp" || p == "Te" || p == "TC") return SensorCategory::cpu;
    if (p == "Tg" || p == "TG") return SensorCategory::gpu;
    if (p == "Tm" || p == "TM") return SensorCategory::memory;
    if (p == "TB" || p == "Tb") return SensorCategory::battery;
    if (p == "Tn" || p == "Tf") return SensorCategory::neuralEngine;
    return SensorCategory::enclosure;
}

}  // namespace quorvane::SensorClassifier
