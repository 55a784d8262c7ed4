// Sensor classification, names, JSON form, selection and the device sensor map.
#include <cctype>
#include <cmath>
#include <limits>
#include <optional>

#include <gtest/gtest.h>

#include "shared/sensors/device_sensor_map.hpp"
#include "shared/sensors/sensor_classifier.hpp"
#include "shared/sensors/sensor_selection.hpp"

namespace quorvane {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
const SMCDataType flt = SMCDataType::of(SMCDataType::Kind::flt);
const SMCDataType sp78 = SMCDataType::of(SMCDataType::Kind::sp78);
const SMCDataType fpe2 = SMCDataType::of(SMCDataType::Kind::fpe2);
const SMCDataType ui8 = SMCDataType::of(SMCDataType::Kind::ui8);

TEST(SensorClassifier, ClassifiesByFirstCharacterTypeAndSample) {
    struct Row {
        const char* key;
        SMCDataType type;
        std::optional<double> sample;
        SensorClass expected;
        const char* name;
    };
    const Row rows[] = {
        {"Tp01", sp78, 45.5, SensorClass::temperature, "P-Core 1"},
        {"Tp01", sp78, 131, SensorClass::other, "P-Core 1"},
        {"Tp01", flt, 130.0, SensorClass::temperature, "P-Core 1"},    // bound included
        {"Tp01", flt, 130.01, SensorClass::other, "P-Core 1"},
        {"Tp01", sp78, 127.99609375, SensorClass::temperature, "P-Core 1"},  // sp78 cannot exceed 128
        {"Tp01", sp78, -40, SensorClass::temperature, "P-Core 1"},
        {"Tp01", sp78, -40.01, SensorClass::other, "P-Core 1"},
        {"Tp01", flt, kNaN, SensorClass::other, "P-Core 1"},
        {"Tp01", sp78, std::nullopt, SensorClass::other, "P-Core 1"},
        {"Tp01", ui8, 45, SensorClass::other, "P-Core 1"},
        {"PSTR", flt, 9, SensorClass::power, "PSTR"},
        {"PSTR", sp78, 9, SensorClass::other, "PSTR"},
        {"VD0R", flt, 12, SensorClass::voltage, "VD0R"},
        {"ID0R", flt, 1, SensorClass::current, "ID0R"},
        {"F0Ac", fpe2, 1200, SensorClass::fan, "F0Ac"},
        {"F0Dc", ui8, std::nullopt, SensorClass::fan, "F0Dc"},
        {"F0Mn", fpe2, 1200, SensorClass::other, "F0Mn"},
        {"", flt, 40, SensorClass::other, ""},
        {"tp01", flt, 40, SensorClass::other, "tp01"},
        {"BNum", flt, 1, SensorClass::other, "BNum"},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.key);
        EXPECT_EQ(SensorClassifier::classify(r.key, r.type, r.sample), (SensorClassification{r.expected, r.name}));
    }
}

TEST(SensorClassifier, DisplayNamesAndCategories) {
    struct Row {
        const char* key;
        const char* name;
        SensorCategory category;
    };
    const Row rows[] = {
        {"Tp09", "P-Core 9", SensorCategory::cpu},        {"Tp00", "P-Core", SensorCategory::cpu},
        {"TC0P", "CPU P", SensorCategory::cpu},           {"Tex1", "E-Core x1", SensorCategory::cpu},
        {"Tg1f", "GPU 1f", SensorCategory::gpu},          {"TG0P", "GPU P", SensorCategory::gpu},
        {"Tne0", "Neural Engine", SensorCategory::neuralEngine},
        {"Tne", "Tne", SensorCategory::neuralEngine},     {"TfC0", "SoC Fabric C0", SensorCategory::neuralEngine},
        {"Tm0p", "Memory p", SensorCategory::memory},     {"TB1T", "Battery 1T", SensorCategory::battery},
        {"TH0x", "Storage x", SensorCategory::enclosure}, {"TW0P", "TW0P", SensorCategory::enclosure},
        {"Ts0P", "Enclosure P", SensorCategory::enclosure}, {"Tp9", "P-Core 9", SensorCategory::cpu},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.key);
        EXPECT_EQ(SensorClassifier::displayName(r.key), r.name);
        EXPECT_EQ(SensorClassifier::category(r.key, SensorClass::temperature), r.category);
    }
    EXPECT_EQ(SensorClassifier::category("TC0P", SensorClass::power), SensorCategory::enclosure);
}

TEST(SensorEnums, RawValuesRoundTripAndRefuseOtherSpellings) {
    for (SensorClass c : sensor_class::allCases) EXPECT_EQ(sensorClassFromRawValue(rawValue(c)), c);
    for (SensorCategory c : sensor_category::allCases) EXPECT_EQ(sensorCategoryFromRawValue(rawValue(c)), c);
    EXPECT_EQ(sensorClassFromRawValue("Temperature"), std::nullopt);
    const char* units[] = {"\u00b0C", "W", "V", "A", "RPM", ""};
    for (std::size_t i = 0; i < std::size(units); ++i) EXPECT_EQ(unit(sensor_class::allCases[i]), units[i]);
    EXPECT_EQ(controlSourceFromRawValue("CPUAverage"), std::nullopt);
    EXPECT_THROW(nlohmann::json("hot").get<ControlSource>(), nlohmann::json::exception);
    EXPECT_EQ(nlohmann::json("gpuAverage").get<ControlSource>(), ControlSource::gpuAverage);
}

SMCSensor sensor(std::string key, double value, SensorClass c = SensorClass::temperature) {
    return SMCSensor{key, key, SensorClassifier::displayName(key), SensorClassifier::category(key, c), value, c,
                     std::string(unit(c))};
}

TEST(SMCSensorJSON, RoundTripsInKeyOrderAndRefusesBadDocuments) {
    const SMCSensor s = sensor("TfC0", 50.5);
    const auto j = s.toJSON();
    EXPECT_EQ(j.dump(), R"({"id":"TfC0","key":"TfC0","name":"SoC Fabric C0","category":"neuralEngine",)"
                        R"("currentTemp":50.5,"sensorClass":"temperature","unit":"°C"})");
    EXPECT_EQ(SMCSensor::fromJSON(nlohmann::json::parse(j.dump())), s);

    // Stored category and class are taken as written, not derived again from the key.
    auto edited = nlohmann::json::parse(j.dump());
    edited["category"] = "cpu";
    EXPECT_EQ(SMCSensor::fromJSON(edited).category, SensorCategory::cpu);

    const char* bad[] = {
        R"({"id":"a","key":"a","name":"a","category":"cpu","currentTemp":1,"sensorClass":"fan"})",  // no unit
        R"({"id":"a","key":"a","name":"a","category":"CPU","currentTemp":1,"sensorClass":"fan","unit":""})",
        R"({"id":"a","key":"a","name":"a","category":"cpu","currentTemp":"1","sensorClass":"fan","unit":""})",
        R"({"id":1,"key":"a","name":"a","category":"cpu","currentTemp":1,"sensorClass":"fan","unit":""})",
        R"({"id":"a","key":"a","name":"a","category":"cpu","currentTemp":null,"sensorClass":"fan","unit":""})",
        R"(["id"])",
    };
    std::vector<int> ids;  // the library's error ids, which the application may show
    for (const char* text : bad) {
        try {
            SMCSensor::fromJSON(nlohmann::json::parse(text));
            ADD_FAILURE() << text;
        } catch (const nlohmann::json::exception& e) {
            ids.push_back(e.id);
        }
    }
    EXPECT_EQ(ids, (std::vector<int>{403, 501, 302, 302, 302, 302}));

    // Equal values must hash alike: -0.0 == 0.0.
    EXPECT_EQ(std::hash<SMCSensor>{}(sensor("Tp01", 0.0)), std::hash<SMCSensor>{}(sensor("Tp01", -0.0)));
}

TEST(SensorSelection, TrustedMaximumUsesNamedFiniteTemperaturesOnly) {
    EXPECT_EQ(SensorSelection::trustedMaxTemperature({}), std::nullopt);
    const std::vector<SMCSensor> mixed{sensor("Tp01", 40.0), sensor("TW0P", 90.0), sensor("Tp02", 55.5, SensorClass::power)};
    EXPECT_EQ(SensorSelection::trustedMaxTemperature(mixed), 40.0);
    // A NaN first must not become the maximum (nor hide the real one).
    const std::vector<SMCSensor> nan{sensor("Tp01", kNaN), sensor("Tp02", 41.0), sensor("Tp03", INFINITY)};
    EXPECT_EQ(SensorSelection::trustedMaxTemperature(nan), 41.0);
}

using DeviceSensorMap::CoreCounts;

std::vector<SMCSensor> sensors(std::initializer_list<std::pair<const char*, double>> list) {
    std::vector<SMCSensor> out;
    for (auto [k, v] : list) out.push_back(sensor(k, v));
    return out;
}

std::vector<std::string> ids(const std::vector<DeviceSensorReading>& rows) {
    std::vector<std::string> out;
    for (const auto& r : rows) out.push_back(r.id);
    return out;
}

TEST(DeviceSensorMap, ExactRowsKeepTheirPlaceEvenWithoutAValidReading) {
    const auto rows = DeviceSensorMap::fixedList(sensors({{"TH0x", 33}, {"TB0T", 10}, {"TW0P", 38}, {"TPSP", 40},
                                                          {"TDeR", kNaN}, {"TPD0", 36}, {"TPD1", 12}, {"TPD9", 38},
                                                          {"TPD", 40}, {"TW0P", 50}}),
                                                 {});
    EXPECT_EQ(ids(rows), (std::vector<std::string>{"TW0P", "TB0T", "pwr.die", "TPSP", "TDeR", "TH0x"}));
    EXPECT_EQ(rows[1], (DeviceSensorReading{"TB0T", "Battery", "minus.plus.batteryblock", std::nullopt}));
    EXPECT_EQ(rows[0].value, 38.0) << "the first of two equal keys";
    EXPECT_EQ(rows[2].value, 38.0) << "\"TPD\" of any length";
    EXPECT_EQ(rows[4].value, std::nullopt);
    EXPECT_TRUE(DeviceSensorMap::fixedList({}, {4, 4}).empty());
    for (ControlSource s : control_source::allCases) EXPECT_EQ(DeviceSensorMap::aggregate(s, {}, {4, 4}), std::nullopt);
}

TEST(DeviceSensorMap, CoresGroupByOrdinalAndCountsCapTheRows) {
    EXPECT_EQ(DeviceSensorMap::keyOrdinal("Tp0a"), 36);
    EXPECT_EQ(DeviceSensorMap::keyOrdinal("Tp1z"), 62 + 61);
    EXPECT_EQ(DeviceSensorMap::keyOrdinal("Tp0_"), std::nullopt);
    // Tp01/Tp05/Tp09 are three groups; Tp0a/Tp0b one (its largest reading above the floor).
    const auto list = sensors({{"Tp09", 50}, {"Tp01", 40}, {"Tp0b", 11}, {"Tp05", 45}, {"Tp0a", 60}, {"Tp0_", 99}});
    const auto rows = DeviceSensorMap::fixedList(list, {2, 0});
    EXPECT_EQ(ids(rows), (std::vector<std::string>{"cpu.avg", "perf.0", "perf.1"}));
    EXPECT_EQ(ids(DeviceSensorMap::fixedList(list, {1, 0})), (std::vector<std::string>{"cpu.avg", "perf.0"}));
    EXPECT_EQ(rows[1], (DeviceSensorReading{"perf.0", "CPU Performance Core 1", "cpu", 40.0}));
    EXPECT_EQ(rows[0].value, 42.5);
    EXPECT_EQ(DeviceSensorMap::aggregate(ControlSource::cpuPerformance, list, {4, 0}), 60.0);
    // No core rows: the generic CPU row stands in.
    EXPECT_EQ(ids(DeviceSensorMap::fixedList(list, {0, 0})), std::vector<std::string>{"cpu.generic"});
}

TEST(DeviceSensorMap, EfficiencyCoresMapOneToOneOnlyWhenTexCountMatches) {
    const auto list = sensors({{"Tex1", 41}, {"Tex0", 40}, {"Te05", 50}, {"Te0S", 55}, {"Tex2", 42}});
    struct Row {
        long efficiency;
        std::vector<std::optional<double>> values;
    };
    const Row rows[] = {
        {3, {40.0, 41.0, 42.0}},  // exactly as many "Tex" keys: key order
        {2, {50.0, 55.0}},        // one fewer: "Te" groups, "Tex" ignored
        {4, {50.0, 55.0}},        // one more
        {1, {50.0}},              // a single efficiency core: the first "Te" group
        {0, {}},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.efficiency);
        std::vector<std::optional<double>> values;
        for (const auto& row : DeviceSensorMap::fixedList(list, {0, r.efficiency}))
            if (row.id.starts_with("eff.")) values.push_back(row.value);
        EXPECT_EQ(values, r.values);
    }
    EXPECT_EQ(DeviceSensorMap::aggregate(ControlSource::cpuEfficiency, list, {0, 3}), 42.0);
}

TEST(DeviceSensorMap, EightGpuGroupsFoldIntoFiveBuckets) {
    // Groups 0…7 read 20, 30, …, 90 °C; eight fold as {0}, {1,2}, {3}, {4,5}, {6,7}, six as
    // {0}, {1}, {2}, {3}, {4,5}.
    const char* keys[] = {"Tg00", "Tg02", "Tg04", "Tg06", "TG00", "TG02", "TG04", "TG06"};
    struct Row {
        int groups;
        std::vector<std::optional<double>> values;
        double average;
    } rows[] = {{8, {20.0, 35.0, 50.0, 65.0, 85.0}, 51.0}, {6, {20.0, 30.0, 40.0, 50.0, 65.0}, 41.0}};
    for (const Row& r : rows) {
        std::vector<SMCSensor> list;
        for (int i = 0; i < r.groups; ++i) list.push_back(sensor(keys[i], 20.0 + 10 * i));
        std::vector<std::optional<double>> values;
        for (const auto& row : DeviceSensorMap::fixedList(list, {}))
            if (row.id.starts_with("gpu.") && std::isdigit(static_cast<unsigned char>(row.id[4])))
                values.push_back(row.value);
        EXPECT_EQ(values, r.values) << r.groups;
        EXPECT_EQ(DeviceSensorMap::aggregate(ControlSource::gpuAverage, list, {}), r.average) << r.groups;
    }
}

TEST(DeviceSensorMap, GenericRowsWhenNoCoreKeys) {
    const auto list = sensors({{"TC0P", 50}, {"TC1P", 10}, {"TCXC", 60}, {"TG0P", 40}, {"TG0D", kNaN}});
    const auto rows = DeviceSensorMap::fixedList(list, {4, 4});
    // TG0D and TG0P are two clusters; the NaN one has no value.
    EXPECT_EQ(ids(rows), (std::vector<std::string>{"cpu.generic", "gpu.generic", "gpu.0", "gpu.1", "gpu.avg"}));
    EXPECT_EQ(rows[0].value, 55.0);
    EXPECT_EQ(rows[1].value, 40.0);
    EXPECT_EQ(rows[2].value, std::nullopt);
    EXPECT_EQ(DeviceSensorMap::aggregate(ControlSource::cpuAverage, list, {4, 4}), 55.0);
    EXPECT_EQ(DeviceSensorMap::aggregate(ControlSource::hottest, list, {4, 4}), 60.0);
}

// Each source reads only the sensors it claims: changing any other reading never moves it, and
// the claimed set is exactly the core or category family behind it.
TEST(DeviceSensorMap, AnAggregateReadsOnlyTheSensorsThatFeedIt) {
    std::vector<SMCSensor> list = sensors({{"Tp01", 50}, {"Tp05", 52}, {"Tex0", 40}, {"Te05", 41}, {"TC0P", 45},
                                           {"Tg00", 60}, {"TG02", 61}, {"TB0T", 30}, {"TW0P", 35}, {"TH0x", 33}});
    list.push_back(sensor("PSTR", 20.0, SensorClass::power));
    const struct Row {
        ControlSource source;
        std::vector<std::string> keys;
    } rows[] = {
        {ControlSource::hottest, {"Tp01", "Tp05", "Tex0", "Te05", "TC0P", "Tg00", "TG02", "TB0T", "TH0x"}},  // TW0P has no name
        {ControlSource::cpuAverage, {"Tp01", "Tp05", "Tex0", "Te05", "TC0P"}},
        {ControlSource::cpuPerformance, {"Tp01", "Tp05"}},
        {ControlSource::cpuEfficiency, {"Tex0", "Te05"}},
        {ControlSource::gpuAverage, {"Tg00", "TG02"}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(std::string(rawValue(row.source)));
        std::vector<std::string> keys;
        for (const auto& s : list)
            if (DeviceSensorMap::feedsAggregate(row.source, s)) keys.push_back(s.key);
        EXPECT_EQ(keys, row.keys);
        for (const CoreCounts counts : {CoreCounts{2, 2}, CoreCounts{0, 0}}) {
            const auto before = DeviceSensorMap::aggregate(row.source, list, counts);
            for (std::size_t i = 0; i < list.size(); ++i) {
                if (DeviceSensorMap::feedsAggregate(row.source, list[i])) continue;
                for (double reading : {0.0, 125.0}) {
                    auto changed = list;
                    changed[i].currentTemp = reading;
                    EXPECT_EQ(DeviceSensorMap::aggregate(row.source, changed, counts), before) << list[i].key;
                }
            }
        }
    }
}

}  // namespace
}  // namespace quorvane
