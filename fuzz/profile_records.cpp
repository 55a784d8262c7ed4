// Every stored profile record's decoder on arbitrary bytes: the first byte picks the record, the
// rest is JSON text. Anything must give a record or a DecodingError, and a decoded record must
// survive its own encoding unchanged.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "shared/common/json_decoding.hpp"
#include "shared/profiles/alert_rule.hpp"
#include "shared/profiles/curve_point_json.hpp"
#include "shared/profiles/custom_mode.hpp"
#include "shared/profiles/fan_preset.hpp"
#include "shared/profiles/fan_profile.hpp"
#include "shared/power/power_telemetry.hpp"

using namespace quorvane;

namespace {

[[noreturn]] void fail(const char* what) {
    __builtin_printf("profile_records: %s\n", what);
    std::abort();
}

template <class Decode, class Encode>
void roundTrip(const nlohmann::json& j, Decode decode, Encode encode) {
    const auto record = decode(j);
    const auto again = decode(json_decoding::parseJSON(encode(record).dump()));
    if (!(again == record)) fail("a decoded record changed through its own encoding");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) return 0;
    const std::string_view text(reinterpret_cast<const char*>(data + 1), size - 1);
    try {
        const nlohmann::json j = json_decoding::parseJSON(text);
        const auto member = [](const auto& r) { return r.toJSON(); };
        const auto free = [](const auto& r) { return toJSON(r); };
        switch (data[0] % 9) {
            case 0: roundTrip(j, [](const auto& v) { return FanProfile::fromJSON(v); }, member); break;
            case 1: roundTrip(j, [](const auto& v) { return curvePointFromJSON(v); }, free); break;
            case 2: roundTrip(j, [](const auto& v) { return controlModeFromJSON(v); }, free); break;
            case 3: roundTrip(j, [](const auto& v) { return fanPresetFromJSON(v); }, free); break;
            case 4: roundTrip(j, [](const auto& v) { return ModeSpeed::fromJSON(v); }, member); break;
            case 5: roundTrip(j, [](const auto& v) { return ModeSensor::fromJSON(v); }, member); break;
            case 6: roundTrip(j, [](const auto& v) { return CustomMode::fromJSON(v); }, member); break;
            case 7: roundTrip(j, [](const auto& v) { return AlertRule::fromJSON(v); }, member); break;
            default: roundTrip(j, [](const auto& v) { return PowerTelemetry::fromJSON(v); }, member); break;
        }
    } catch (const DecodingError& e) {
        if (e.description().empty()) fail("a decoding error without text");
    }
    // The battery health text is outside input too: any bytes, never more than 100.
    if (auto h = PowerTelemetry::batteryHealthPercentFor(text); h && (*h < 0 || *h > 100)) fail("health out of range");
    return 0;
}
