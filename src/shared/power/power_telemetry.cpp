#include "shared/power/power_telemetry.hpp"

#include <algorithm>
#include <array>
#include <cmath>

#include "shared/common/json_decoding.hpp"
#include "shared/common/json_encoding.hpp"
#include "shared/common/unicode_text.hpp"

namespace quorvane {

namespace {

constexpr std::array<PowerSource, 3> powerSources{PowerSource::ac, PowerSource::battery, PowerSource::unknown};
constexpr std::array<BatteryChargeState, 5> chargeStates{
    BatteryChargeState::charging, BatteryChargeState::discharging, BatteryChargeState::fullyCharged,
    BatteryChargeState::notCharging, BatteryChargeState::unavailable};

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
    bool any = false, overflow = false;
    unicode::forEachWholeNumber(text, [&](std::int64_t digit) {
        any = true;
        overflow = __builtin_mul_overflow(value, 10, &value) || __builtin_add_overflow(value, digit, &value);
        return !overflow;  // far above 100 anyway
    });
    if (!any || overflow) return std::nullopt;
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
