#include <gtest/gtest.h>

#include <clocale>
#include <cmath>
#include <fstream>
#include <limits>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "shared/common/json_decoding.hpp"
#include "shared/common/unicode_text.hpp"
#include "shared/power/power_telemetry.hpp"
#include "shared/sensors/temperature_format.hpp"

namespace quorvane {
namespace {

constexpr double inf = std::numeric_limits<double>::infinity();
constexpr double nan = std::numeric_limits<double>::quiet_NaN();
using T = PowerTelemetry;

T record(bool hasBattery, PowerSource source, bool charging, bool full) {
    T t;
    t.hasBattery = hasBattery;
    t.source = source;
    t.isCharging = charging;
    t.isFullyCharged = full;
    return t;
}

TEST(PowerTelemetry, ChargeStateRulesApplyInOrder) {
    using S = BatteryChargeState;
    using P = PowerSource;
    EXPECT_EQ(T().chargeState(), S::unavailable);
    EXPECT_FALSE(T().onBattery());
    struct Row {
        T t;
        S want;
    } rows[] = {
        {record(false, P::battery, true, true), S::unavailable}, {record(true, P::battery, true, true), S::discharging},
        {record(true, P::ac, true, true), S::fullyCharged},       {record(true, P::unknown, true, false), S::charging},
        {record(true, P::ac, false, false), S::notCharging},      {record(true, P::unknown, false, false), S::unavailable},
    };
    for (const Row& r : rows) EXPECT_EQ(rawValue(r.t.chargeState()), rawValue(r.want));
    EXPECT_EQ(batteryChargeStateFromRawValue("fullyCharged"), S::fullyCharged);
    EXPECT_FALSE(powerSourceFromRawValue("AC"));
}

TEST(PowerTelemetry, Calculations) {
    struct Row {
        const char* what;
        double got, want;
    } rows[] = {
        {"display 12.34", T::displayWatts(12.34), 12.3}, {"display 12.35", T::displayWatts(12.35), 12.4},
        {"display -0.05", T::displayWatts(-0.05), -0.1}, {"fan half", T::fanWatts(3000, 6000), 0.3125},
        {"fan over max", T::fanWatts(7000, 6000), 2.5},  {"fan inf rpm", T::fanWatts(inf, 6000), 2.5},
        {"fan inf/inf", T::fanWatts(inf, inf), 2.5},     {"fan max 0", T::fanWatts(3000, 0), 0},
        {"fan nan", T::fanWatts(nan, 6000), 0},          {"impact", T::estimatedBatteryImpactMinutes(60, 10, 2), 60},
        {"fan 0.5 of 0.5", T::fanWatts(0.5, 0.5), 2.5}, {"fan 0 of 6000", T::fanWatts(0, 6000), 0},
        {"impact no delta", T::estimatedBatteryImpactMinutes(60, 10, 0), 0},
        {"impact negative delta", T::estimatedBatteryImpactMinutes(60, 10, -1), 0},
        {"impact nan delta", T::estimatedBatteryImpactMinutes(60, 10, nan), 0},
        {"impact inf battery", T::estimatedBatteryImpactMinutes(inf, 10, 2), 0},
    };
    for (const Row& r : rows) EXPECT_NEAR(r.got, r.want, 1e-12) << r.what;
    const T::FanSpeed fans[] = {{3000, 6000}, {6000, 6000}};
    EXPECT_EQ(T::totalFanWatts(fans), 2.8125);
}

TEST(PowerTelemetry, BatteryHealthFromNumberAndText) {
    using O = std::optional<std::int64_t>;
    struct Row {
        O got, want;
    } rows[] = {
        {T::batteryHealthPercentFor(87.4), 87},   {T::batteryHealthPercentFor(99.5), 100},
        {T::batteryHealthPercentFor(-0.0), 0},    {T::batteryHealthPercentFor(100.2), {}},
        {T::batteryHealthPercentFor(100.0), 100}, {T::batteryHealthPercentFor(98.5), 99},
        {T::batteryHealthPercentFor(-0.1), {}},   {T::batteryHealthPercentFor("100"), 100},
        {T::batteryHealthPercentFor(nan), {}},    {T::batteryHealthPercentFor(-inf), {}},
        {T::batteryHealthPercentFor("87%"), 87},  {T::batteryHealthPercentFor("Max 8 7"), 87},
        {T::batteryHealthPercentFor("\xD9\xA9\xD9\xA5"), 95},              // Arabic-Indic ٩٥
        {T::batteryHealthPercentFor("\xF0\x9D\x9F\x96\xF0\x9D\x9F\x8E"), 80},  // mathematical 𝟖𝟎 (different runs)
        {T::batteryHealthPercentFor("8\xFF\xC3" "0"), 80},                   // invalid UTF-8 skipped
        {T::batteryHealthPercentFor("\xEF\xBC\x99\xEF\xBC\x95"), 95},      // fullwidth ９５
        {T::batteryHealthPercentFor("9\xC2\xB2"), 92},                       // superscript two
        {T::batteryHealthPercentFor("\xE2\x91\xA0\xE2\x91\xA1"), 12},      // circled ①②
        {T::batteryHealthPercentFor("\xC2\xBD" "5\xE5\x85\xAB"), 58},       // ½ is no whole number; Han 八
        {T::batteryHealthPercentFor("8\xE2\x83\xA3" "7"), 7},                // keycap 8⃣: two code points
        {T::batteryHealthPercentFor("9\xCC\x81" "5"), 5},                    // 9 with a combining accent
        {T::batteryHealthPercentFor("\xD8\x80\xD9\xA1\xD9\xA2"), 2},        // number sign prepended to ١
        {T::batteryHealthPercentFor(std::string_view("000\xE2\x91\xA0", 5)), 0},  // ① cut off by the text's end
        {T::batteryHealthPercentFor(std::string_view("875", 2)), 87},  // the text ends before its buffer
        {T::batteryHealthPercentFor(std::string_view("5", 0)), {}},
        {T::batteryHealthPercentFor("101"), {}},  {T::batteryHealthPercentFor("n/a"), {}},
        {T::batteryHealthPercentFor(std::string(40, '9')), {}},
        {T::batteryHealthPercentFor("00000000000000000000000042"), 42},
    };
    for (std::size_t i = 0; i < std::size(rows); ++i) EXPECT_EQ(rows[i].got, rows[i].want) << "row " << i;
}

// The generated tables agree with the character database they came from (Debian's unicode-data,
// which scripts/install-deps installs), code point by code point.
TEST(UnicodeTables, MatchTheCharacterDatabase) {
    const auto ranges = [](const std::string& file, auto&& row) {
        std::ifstream in("/usr/share/unicode/" + file);
        ASSERT_TRUE(in) << file << " missing: run scripts/install-deps";
        for (std::string line; std::getline(in, line);) {
            line = line.substr(0, line.find('#'));
            if (line.find(';') == std::string::npos) continue;
            const auto dots = line.find("..");
            const char32_t first = std::stoul(line, nullptr, 16);
            const char32_t last = dots < line.find(';') ? std::stoul(line.substr(dots + 2), nullptr, 16) : first;
            for (char32_t cp = first; cp <= last; ++cp) row(cp, line);
        }
    };
    std::map<char32_t, std::int64_t> numbers;
    ranges("extracted/DerivedNumericValues.txt", [&](char32_t cp, const std::string& line) {
        const std::string rational = line.substr(line.rfind(';') + 1);
        if (rational.find('/') == std::string::npos) numbers[cp] = std::stoll(rational);
    });
    std::map<char32_t, std::string> classes;
    ranges("auxiliary/GraphemeBreakProperty.txt", [&](char32_t cp, const std::string& line) {
        std::istringstream(line.substr(line.find(';') + 1)) >> classes[cp];
    });
    ASSERT_GT(numbers.size(), 1500u);
    for (char32_t cp = 0; cp <= 0x10FFFF; ++cp) {
        const auto number = numbers.find(cp);
        const std::string c = classes.count(cp) ? classes[cp] : "";
        ASSERT_EQ(unicode::wholeNumberValue(cp), number == numbers.end() ? std::nullopt : std::optional(number->second))
            << std::hex << std::uint32_t(cp);
        ASSERT_EQ(unicode::isPrepend(cp), c == "Prepend") << std::hex << std::uint32_t(cp);
        ASSERT_EQ(unicode::joinsPrevious(cp), c == "Extend" || c == "ZWJ" || c == "SpacingMark") << std::hex << std::uint32_t(cp);
    }
}

TEST(PowerTelemetry, DisplayEquivalenceAndJSON) {
    T a, b;
    a.systemWatts = 10.04;
    b.systemWatts = 9.96;
    EXPECT_TRUE(a.displayEquivalent(b));
    b.systemWatts = 10.06;
    EXPECT_FALSE(a.displayEquivalent(b));

    EXPECT_EQ(T().toJSON().dump(), R"({"source":"unknown","systemWatts":0.0,"isCharging":false,"isFullyCharged":false,)"
                                   R"("isClamshell":false,"adapterWatts":0.0,"hasBattery":false,"batteryWattHours":0.0})");
    T t = record(true, PowerSource::battery, false, false);
    t.batteryLevelPercent = 80;
    t.batteryHealthPercent = 91;
    t.batteryWattHours = 52.6;
    const auto j = t.toJSON();
    EXPECT_FALSE(j.contains("batteryCycleCount"));
    std::vector<std::string> keys;
    for (auto it = j.begin(); it != j.end(); ++it) keys.push_back(it.key());
    EXPECT_EQ(keys, (std::vector<std::string>{"source", "systemWatts", "isCharging", "isFullyCharged", "isClamshell",
                                              "adapterWatts", "batteryLevelPercent", "batteryHealthPercent",
                                              "hasBattery", "batteryWattHours"}));
    EXPECT_EQ(T::fromJSON(json_decoding::parseJSON(j.dump())), t);

    nlohmann::json in = nlohmann::json::parse(j.dump());
    in["batteryCycleCount"] = nullptr;
    in["unknownKey"] = 1;
    EXPECT_EQ(T::fromJSON(in), t);
    const auto kindOf = [&](const char* key, nlohmann::json value) {
        nlohmann::json bad = in;
        if (value.is_discarded()) bad.erase(key);
        else bad[key] = value;
        try {
            T::fromJSON(bad);
        } catch (const DecodingError& e) {
            return e.kind();
        }
        ADD_FAILURE() << key;
        return DecodingError::Kind::keyNotFound;
    };
    const auto missing = nlohmann::json(nlohmann::json::value_t::discarded);
    EXPECT_EQ(kindOf("hasBattery", missing), DecodingError::Kind::keyNotFound);
    EXPECT_EQ(kindOf("source", "mains"), DecodingError::Kind::dataCorrupted);
    EXPECT_EQ(kindOf("isClamshell", 0), DecodingError::Kind::typeMismatch);
    EXPECT_EQ(kindOf("batteryLevelPercent", 80.5), DecodingError::Kind::dataCorrupted);
}

TEST(TemperatureFormat, FormatsWithoutLocale) {
    using namespace TemperatureFormat;
    // A decimal comma must not matter. scripts/install-deps generates the locale.
    ASSERT_NE(std::setlocale(LC_ALL, "de_DE.UTF-8"), nullptr) << "de_DE.UTF-8 missing: run scripts/install-deps";
    struct BackToC {
        ~BackToC() { std::setlocale(LC_ALL, "C"); }
    } backToC;
    ASSERT_STREQ(std::localeconv()->decimal_point, ",");
    struct Row {
        std::string got, want;
    } rows[] = {
        {value(72.5, false, false), "72"}, {value(73.5, false, false), "74"}, {value(-0.4, false, false), "-0"},
        {display(45.5, false, true), "45.5\xC2\xB0" "C"},
        {display(100, true, false), "212\xC2\xB0" "F"},
        {display(0, false, false), "0\xC2\xB0" "C"},
        {display(0, true, false), "32\xC2\xB0" "F"},
        {spoken(0, false, true), "no reading"}, {spoken(0, true, true), "no reading"},
        {spoken(nan, true, true), "no reading"},
        {spoken(21.0, false, true), "21.0 degrees Celsius"},
        {spoken(100, true, false), "212 degrees Fahrenheit"},
        {value(1e300, false, true).substr(0, 4), "1000"},
        {value(38.25, true, true), "100.8"},  // ×9, ÷5, +32 in that order; ×1.8 would give 100.9
    };
    for (const Row& r : rows) EXPECT_EQ(r.got, r.want);
}

}  // namespace
}  // namespace quorvane
