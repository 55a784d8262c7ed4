#include "shared/power/power_telemetry.hpp"

#include <algorithm>
#include <array>
#include <cmath>

#include "shared/common/json_decoding.hpp"
#include "shared/common/json_encoding.hpp"

namespace quorvane {

namespace {

constexpr std::array<PowerSource, 3> powerSources{PowerSource::ac, PowerSource::battery, PowerSource::unknown};
constexpr std::array<BatteryChargeState, 5> chargeStates{
    BatteryChargeState::charging, BatteryChargeState::discharging, BatteryChargeState::fullyCharged,
    BatteryChargeState::notCharging, BatteryChargeState::unavailable};

// Code point of the digit zero of every Unicode decimal-digit run (general category Nd, Unicode
// 15); each run holds the ten digits 0…9 in order.
constexpr std::array<char32_t, 68> decimalDigitZeros{
    0x30, 0x660, 0x6F0, 0x7C0, 0x966, 0x9E6, 0xA66, 0xAE6, 0xB66, 0xBE6, 0xC66, 0xCE6, 0xD66,
    0xDE6, 0xE50, 0xED0, 0xF20, 0x1040, 0x1090, 0x17E0, 0x1810, 0x1946, 0x19D0, 0x1A80, 0x1A90,
    0x1B50, 0x1BB0, 0x1C40, 0x1C50, 0xA620, 0xA8D0, 0xA900, 0xA9D0, 0xA9F0, 0xAA50, 0xABF0, 0xFF10,
    0x104A0, 0x10D30, 0x11066, 0x110F0, 0x11136, 0x111D0, 0x112F0, 0x11450, 0x114D0, 0x11650,
    0x116C0, 0x11730, 0x118E0, 0x11950, 0x11C50, 0x11D50, 0x11DA0, 0x11F50, 0x16A60, 0x16AC0,
    0x16B50, 0x1D7CE, 0x1D7D8, 0x1D7E2, 0x1D7EC, 0x1D7F6, 0x1E140, 0x1E2F0, 0x1E4F0, 0x1E950,
    0x1FBF0};

std::optional<int> decimalDigitValue(char32_t cp) {
    auto it = std::upper_bound(decimalDigitZeros.begin(), decimalDigitZeros.end(), cp);
    if (it == decimalDigitZeros.begin()) return std::nullopt;
    const char32_t zero = *--it;
    if (cp - zero < 10) return static_cast<int>(cp - zero);
    return std::nullopt;
}

// Next code point of UTF-8 text; malformed bytes are consumed one at a time as U+FFFD, which is
// not a digit.
char32_t nextCodePoint(std::string_view text, std::size_t& i) {
    const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
    const unsigned char lead = byte(i);
    std::size_t length = 0;
    char32_t cp = 0;
    char32_t minimum = 0;
    if (lead < 0x80) {
        ++i;
        return lead;
    } else if ((lead & 0xE0) == 0xC0) {
        length = 2, cp = lead & 0x1F, minimum = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
        length = 3, cp = lead & 0x0F, minimum = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
        length = 4, cp = lead & 0x07, minimum = 0x10000;
    }
    if (length == 0 || i + length > text.size()) {
        ++i;
        return 0xFFFD;
    }
    for (std::size_t k = 1; k < length; ++k) {
        if ((byte(i + k) & 0xC0) != 0x80) {
            ++i;
            return 0xFFFD;
        }
        cp = (cp << 6) | (byte(i + k) & 0x3F);
    }
    if (cp < minimum || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
        ++i;
        return 0xFFFD;
    }
    i += length;
    return cp;
}

std::optional<std::int64_t> optionalInt(const json_decoding::ObjectReader& r, std::string_view key) {
    if (const nlohmann::json* v = r.find(key)) return json_decoding::int64(*v, r.pathOf(key));
    return std::nullopt;
}

}  // namespace

std::string_view rawValue(PowerSource source) {
    switch (source) {
        case PowerSource::ac: return "ac";
        case PowerSource::battery: return "battery";
        case PowerSource::unknown: return "unknown";
    }
    return "unknown";
}

std::string_view rawValue(BatteryChargeState state) {
    switch (state) {
        case BatteryChargeState::charging: return "charging";
        case BatteryChargeState::discharging: return "discharging";
        case BatteryChargeState::fullyCharged: return "fullyCharged";
        case BatteryChargeState::notCharging: return "notCharging";
        case BatteryChargeState::unavailable: return "unavailable";
    }
    return "unavailable";
}

std::optional<PowerSource> powerSourceFromRawValue(std::string_view raw) {
    for (PowerSource s : powerSources)
        if (rawValue(s) == raw) return s;
    return std::nullopt;
}

std::optional<BatteryChargeState> batteryChargeStateFromRawValue(std::string_view raw) {
    for (BatteryChargeState s : chargeStates)
        if (rawValue(s) == raw) return s;
    return std::nullopt;
}

BatteryChargeState PowerTelemetry::chargeState() const {
    if (!hasBattery) return BatteryChargeState::unavailable;
    if (source == PowerSource::battery) return BatteryChargeState::discharging;
    if (isFullyCharged) return BatteryChargeState::fullyCharged;
    if (isCharging) return BatteryChargeState::charging;
    if (source == PowerSource::ac) return BatteryChargeState::notCharging;
    return BatteryChargeState::unavailable;
}

bool PowerTelemetry::displayEquivalent(const PowerTelemetry& other) const {
    const auto rounded = [](PowerTelemetry t) {
        t.systemWatts = displayWatts(t.systemWatts);
        t.adapterWatts = displayWatts(t.adapterWatts);
        t.batteryWattHours = displayWatts(t.batteryWattHours);
        return t;
    };
    return rounded(*this) == rounded(other);
}

double PowerTelemetry::displayWatts(double watts) { return std::round(watts * 10) / 10; }

double PowerTelemetry::fanWatts(double rpm, double maxRPM) {
    if (!(maxRPM > 0) || !(rpm > 0)) return 0.0;
    double r = rpm / maxRPM;
    // Above 1 (infinity included), or infinite over infinite: full speed.
    if (!(r <= 1)) r = 1;
    return 2.5 * r * r * r;
}

double PowerTelemetry::totalFanWatts(std::span<const FanSpeed> fans) {
    double total = 0;
    for (const FanSpeed& f : fans) total += fanWatts(f.rpm, f.maxRPM);
    return total;
}

double PowerTelemetry::estimatedBatteryImpactMinutes(double batteryWh, double baselineW, double deltaW) {
    if (!(batteryWh > 0) || !(baselineW > 0) || !(deltaW >= 0)) return 0.0;
    const double minutes = (batteryWh / baselineW - batteryWh / (baselineW + deltaW)) * 60;
    // An infinite battery makes the difference undefined; it is outside the domain like the rest.
    return std::isfinite(minutes) ? minutes : 0.0;
}

std::optional<std::int64_t> PowerTelemetry::batteryHealthPercentFor(double v) {
    if (!(v >= 0 && v <= 100)) return std::nullopt;
    return static_cast<std::int64_t>(std::round(v));
}

std::optional<std::int64_t> PowerTelemetry::batteryHealthPercentFor(std::string_view text) {
    std::int64_t value = 0;
    bool any = false;
    for (std::size_t i = 0; i < text.size();) {
        const auto digit = decimalDigitValue(nextCodePoint(text, i));
        if (!digit) continue;
        any = true;
        if (__builtin_mul_overflow(value, 10, &value) || __builtin_add_overflow(value, *digit, &value))
            return std::nullopt;  // far above 100 anyway
    }
    if (!any) return std::nullopt;
    return batteryHealthPercentFor(static_cast<double>(value));
}

nlohmann::ordered_json PowerTelemetry::toJSON() const {
    nlohmann::ordered_json j;
    j["source"] = std::string(rawValue(source));
    j["systemWatts"] = json_encoding::finite(systemWatts, "systemWatts");
    j["isCharging"] = isCharging;
    j["isFullyCharged"] = isFullyCharged;
    j["isClamshell"] = isClamshell;
    j["adapterWatts"] = json_encoding::finite(adapterWatts, "adapterWatts");
    if (batteryLevelPercent) j["batteryLevelPercent"] = *batteryLevelPercent;
    if (batteryCycleCount) j["batteryCycleCount"] = *batteryCycleCount;
    if (batteryHealthPercent) j["batteryHealthPercent"] = *batteryHealthPercent;
    j["hasBattery"] = hasBattery;
    j["batteryWattHours"] = json_encoding::finite(batteryWattHours, "batteryWattHours");
    return j;
}

PowerTelemetry PowerTelemetry::fromJSON(const nlohmann::json& json, const std::string& codingPath) {
    const json_decoding::ObjectReader r(json, codingPath);
    PowerTelemetry t;
    const std::string raw = r.string("source");
    const auto source = powerSourceFromRawValue(raw);
    if (!source)
        throw DecodingError::dataCorrupted(r.pathOf("source"),
                                           "Cannot initialize PowerSource from invalid String value " + raw);
    t.source = *source;
    t.systemWatts = r.number("systemWatts");
    t.isCharging = r.boolean("isCharging");
    t.isFullyCharged = r.boolean("isFullyCharged");
    t.isClamshell = r.boolean("isClamshell");
    t.adapterWatts = r.number("adapterWatts");
    t.batteryLevelPercent = optionalInt(r, "batteryLevelPercent");
    t.batteryCycleCount = optionalInt(r, "batteryCycleCount");
    t.batteryHealthPercent = optionalInt(r, "batteryHealthPercent");
    t.hasBattery = r.boolean("hasBattery");
    t.batteryWattHours = r.number("batteryWattHours");
    return t;
}

}  // namespace quorvane
