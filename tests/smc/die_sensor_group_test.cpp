// The control temperature of the sensor group "max": which keys and services count as die
// readings, which families are left out, and what happens without any.
#include <cmath>

#include <gtest/gtest.h>

#include "shared/sensors/sensor_classifier.hpp"
#include "smc/die_sensor_group.hpp"

namespace quorvane {
namespace {

SMCSensor temperature(const std::string& key, double value) {
    const auto c = SensorClass::temperature;
    return SMCSensor{key, key, SensorClassifier::displayName(key), SensorClassifier::category(key, c), value, c, "°C"};
}

TEST(DieSensorGroup, HottestLiveDieReadingWinsOverOffsetsLimitsAndPlaceholders) {
    const CPUTopology appleSilicon{2, 4, 6}, intel{1, 4, 0};
    struct Row {
        const char* what;
        CPUTopology cpu;
        std::vector<std::pair<std::string, double>> keys;
        std::vector<HIDSensorReading> hid;
        std::optional<std::pair<std::string, double>> expected;
        std::size_t members;
        bool fallback;
    };
    const Row rows[] = {
        {"fabric and a CPU maximum are no die readings", appleSilicon,
         {{"Tf06", 80.3}, {"TCMz", 90}, {"Tp01", 38}, {"Tp05", 36.5}, {"Te05", 30}, {"Tg0D", 33}}, {},
         std::pair<std::string, double>{"Tp01", 38}, 4, false},
        {"a flat P-core family is a placeholder", appleSilicon,
         {{"Tp00", 40}, {"Tp01", 40}, {"Tp04", 40}, {"Tp05", 40}, {"Te04", 35.5}, {"Te05", 33}}, {},
         std::pair<std::string, double>{"Te04", 35.5}, 2, false},
        {"offsets never count; three equal readings may be real", appleSilicon,
         {{"Tp1i", -4}, {"Tp1j", 5.2}, {"Tp1k", 12}, {"Tg04", 44}, {"Tg05", 44}, {"Tg0K", 44}}, {},
         std::pair<std::string, double>{"Tg04", 44}, 3, false},
        {"HID die services count, other services do not", appleSilicon,
         {{"Tp01", 40}},
         {{"PMU tdie2", 52}, {"pACC MTR Temp Sensor4", 51}, {"GPU MTR Temp Sensor1", 50}, {"NAND CH0 temp", 60},
          {"PMU tcal", 55}},
         std::pair<std::string, double>{"PMU tdie2", 52}, 4, false},
        {"Intel: core and package keys, not proximity, limits or Tp", intel,
         {{"TCPG", 98}, {"TC0P", 60}, {"Tp0T", 70}, {"TC1C", 50}, {"TC0D", 55}, {"TCXc", 54}, {"TG0P", 65}}, {},
         std::pair<std::string, double>{"TC0D", 55}, 3, false},
        {"Intel: implausible package keys drop out, a hotter GPU die leads", intel,
         {{"TC0E", -56}, {"TC0F", 130.5}, {"TC0c", 32}, {"TCXC", 34}, {"TG1D", 40}, {"TG1F", 41}}, {},
         std::pair<std::string, double>{"TG1D", 40}, 3, false},
        {"without die keys the hottest named sensor drives", intel, {{"TA0P", 30}, {"Ts0P", 41}, {"TZ9z", 70}}, {},
         std::pair<std::string, double>{"Ts0P", 41}, 2, true},
        {"services named by a die key count like the key", appleSilicon, {},
         {{"Tp0Z", 53.3}, {"TCMz", 90}, {"Tp01", 49}, {"Tg0D", -127}}, std::pair<std::string, double>{"Tp0Z", 53.3}, 2,
         false},
        {"without any SMC temperature the hottest live service drives", appleSilicon, {},
         {{"NAND Flash Temperature", 41}, {"Battery Hotspot", 33}, {"WiFi/BT Module Temp", -127}},
         std::pair<std::string, double>{"NAND Flash Temperature", 41}, 2, true},
        {"nothing at all", appleSilicon, {}, {}, std::nullopt, 0, true},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.what);
        std::vector<SMCSensor> sensors;
        for (const auto& [key, value] : r.keys) sensors.push_back(temperature(key, value));
        const auto group = DieSensorGroup::select(sensors, r.hid, r.cpu);
        EXPECT_EQ(group.hottestReading(sensors, r.hid), r.expected);
        EXPECT_EQ(group.keys().size() + group.hidNames().size(), r.members);
        EXPECT_EQ(group.isFallback(), r.fallback);
        for (const auto& s : sensors)
            EXPECT_EQ(group.contains(s), std::find(group.keys().begin(), group.keys().end(), s.key) != group.keys().end());
    }
}

// Under Linux the chips' own hwmon sensors stand for the die services: a die they read leaves
// the SMC's keys of that die out of the tick, and a die they do not read keeps its keys.
TEST(DieSensorGroup, HwmonSensorsTakeOverTheDiesTheyCoverAndOnlyThose) {
    const CPUTopology intel{1, 4, 0}, intelPro{1, 4, 0};
    const std::vector<std::pair<std::string, double>> mbp114 = {
        {"TC1C", 54}, {"TC2C", 54}, {"TC3C", 52}, {"TC4C", 52}, {"TCXC", 55.23}, {"TC0E", 56.3}, {"TC0P", 49.5}};
    const std::vector<HIDSensorReading> coretemp = {{"coretemp Package id 0", 45}, {"coretemp Core 0", 45},
                                                    {"coretemp Core 1", 45}, {"coretemp Core 2", 45},
                                                    {"coretemp Core 3", 45}};
    const std::vector<std::pair<std::string, double>> macPro61 = {
        {"TC0c", 32}, {"TC1c", 34}, {"TCXc", 33.9}, {"TC0E", -56}, {"TG0D", 35.1}, {"TG1D", 40}, {"TG1d", 40}};
    auto with = [](std::vector<HIDSensorReading> a, const std::vector<HIDSensorReading>& b) {
        a.insert(a.end(), b.begin(), b.end());
        return a;
    };
    struct Row {
        const char* what;
        CPUTopology cpu;
        std::vector<std::pair<std::string, double>> keys;
        std::vector<HIDSensorReading> hid;
        std::vector<std::string> tickKeys;  // the SMC keys still read per tick
        std::vector<std::string> covered;
        std::optional<std::string> hottest;
    };
    const Row rows[] = {
        {"MacBookPro11,4 with coretemp: no SMC die key is read per tick, equal cores still count", intel, mbp114,
         coretemp, {}, {"CPU"}, "coretemp Package id 0"},
        {"MacBookPro11,4 without coretemp: the SMC keys as before", intel, mbp114, {},
         {"TC1C", "TC2C", "TC3C", "TC4C", "TCXC", "TC0E"}, {}, "TC0E"},
        {"coretemp not reading: the SMC keeps the CPU", intel, mbp114,
         {{"coretemp Core 0", std::nan("")}, {"coretemp Core 1", 5}},
         {"TC1C", "TC2C", "TC3C", "TC4C", "TCXC", "TC0E"}, {}, "TC0E"},
        {"MacPro6,1 with coretemp only: its GPU dies are still read from the SMC", intelPro, macPro61, coretemp,
         {"TG0D", "TG1D", "TG1d"}, {"CPU"}, "coretemp Package id 0"},
        {"MacPro6,1, GPUs hotter than the CPU: the hottest die stays a GPU", intelPro, macPro61,
         {{"coretemp Package id 0", 34}, {"coretemp Core 0", 32}}, {"TG0D", "TG1D", "TG1d"}, {"CPU"}, "TG1D"},
        {"MacPro6,1 with both GPUs' hwmon too: no SMC die key is read", intelPro, macPro61,
         with(coretemp, {{"radeon temp1", 52}, {"radeon.1 temp1", 47}}), {}, {"CPU", "GPU"}, "radeon temp1"},
        {"a Mac without GPU die keys does not count a hwmon GPU", intel, mbp114,
         with(coretemp, {{"amdgpu edge", 70}}), {}, {"CPU"}, "coretemp Package id 0"},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.what);
        std::vector<SMCSensor> sensors;
        for (const auto& [key, value] : r.keys) sensors.push_back(temperature(key, value));
        const auto group = DieSensorGroup::select(sensors, r.hid, r.cpu);
        EXPECT_EQ(group.keys(), r.tickKeys);
        EXPECT_EQ(group.coveredByHwmon(), r.covered);
        const auto hottest = group.hottestReading(sensors, r.hid);
        EXPECT_EQ(hottest ? std::optional(hottest->first) : std::nullopt, r.hottest);
        // The refresh filter reads exactly the keys left in the group.
        for (const auto& s : sensors)
            EXPECT_EQ(group.contains(s), std::find(r.tickKeys.begin(), r.tickKeys.end(), s.key) != r.tickKeys.end())
                << s.key;
        EXPECT_FALSE(group.isFallback());
    }
}

}  // namespace
}  // namespace quorvane
