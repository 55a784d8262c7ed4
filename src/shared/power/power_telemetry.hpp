// The machine's power situation (source, system and adapter watts, battery state, lid), its JSON
// form, and the small pure calculations the application shows: fan power, battery runtime cost,
// battery health, charge state, comparison at display precision. Value type.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

namespace quorvane {

enum class PowerSource { ac, battery, unknown };
enum class BatteryChargeState { charging, discharging, fullyCharged, notCharging, unavailable };

std::string_view rawValue(PowerSource source);
std::string_view rawValue(BatteryChargeState state);
// Exact, case-sensitive match of a raw value; anything else is absent.
std::optional<PowerSource> powerSourceFromRawValue(std::string_view raw);
std::optional<BatteryChargeState> batteryChargeStateFromRawValue(std::string_view raw);

struct PowerTelemetry {
    PowerSource source = PowerSource::unknown;
    double systemWatts = 0;
    bool isCharging = false;
    bool isFullyCharged = false;
    bool isClamshell = false;
    double adapterWatts = 0;
    std::optional<std::int64_t> batteryLevelPercent;
    std::optional<std::int64_t> batteryCycleCount;
    std::optional<std::int64_t> batteryHealthPercent;
    bool hasBattery = false;
    double batteryWattHours = 0;

    struct FanSpeed {
        double rpm;
        double maxRPM;
    };

    bool onBattery() const { return source == PowerSource::battery; }
    // No battery → unavailable; on battery → discharging; then full, charging, on AC → not
    // charging; otherwise unavailable.
    BatteryChargeState chargeState() const;
    // Equal once the three watt fields are rounded as displayWatts.
    bool displayEquivalent(const PowerTelemetry& other) const;

    // One decimal, halves away from zero: 12.35 → 12.4, −0.05 → −0.1.
    static double displayWatts(double watts);
    // 2.5 W × (rpm / maxRPM)³ with the ratio capped at 1; 0 unless both are above 0.
    static double fanWatts(double rpm, double maxRPM);
    static double totalFanWatts(std::span<const FanSpeed> fans);
    // Minutes of runtime lost when the draw rises from baselineW by deltaW; 0 outside the domain.
    static double estimatedBatteryImpactMinutes(double batteryWh, double baselineW, double deltaW);
    // (Named "For" because the field holds the plain name.)
    // 0…100 rounded half away from zero; none for anything else.
    static std::optional<std::int64_t> batteryHealthPercentFor(double reportedMaximumCapacity);
    // The whole-number values of the characters of `text` (digits of any script, superscripts,
    // circled numbers, ...), in order, taken as decimal digits of one number, then as above; none
    // without such characters or when the number overflows 64 bits.
    static std::optional<std::int64_t> batteryHealthPercentFor(std::string_view reportedMaximumCapacityText);

    // The eleven keys in declaration order; absent optionals are omitted. Throws
    // std::invalid_argument for a non-finite watt value.
    nlohmann::ordered_json toJSON() const;
    // Every key required except the optionals (absent or null → none); other keys ignored.
    // Fails with DecodingError.
    static PowerTelemetry fromJSON(const nlohmann::json& json, const std::string& codingPath = "");

    friend bool operator==(const PowerTelemetry&, const PowerTelemetry&) = default;
};

}  // namespace quorvane
