// HID temperature services: the condensing rules, and reading them through the event-system
// stand-in both in process and from the virtual Mac.
#include <limits>

#include <gtest/gtest.h>

#include "sim/sim_test_support.hpp"
#include "sim/virtual_mac.hpp"
#include "smc/hid_sensor_source.hpp"

namespace quorvane {
namespace {

using Pairs = std::vector<std::pair<std::string, double>>;
using Readings = std::vector<HIDSensorReading>;

TEST(HIDSensorSource, CondensesToOneMedianPerNameInFirstSeenOrder) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    struct Row {
        Pairs pairs;
        Readings expected;
    };
    const Row rows[] = {
        {{{"A", 40}, {"A", 44}, {"A", 200}}, {{"A", 42}}},
        {{{"A", 30}, {"B", 50}, {"A", 35}, {"A", 31}}, {{"A", 31}, {"B", 50}}},
        {{{"?", 40}, {"", 41}, {"C", nan}}, {}},
        {{{"L", -40.0}, {"H", 130.0}, {"L", -40.1}, {"H", 130.1}}, {{"L", -40}, {"H", 130}}},
    };
    for (const Row& r : rows) EXPECT_EQ(HIDSensorSource::condense(r.pairs), r.expected);
}

// Publishes fixed services.
struct FixedSystem final : hid::EventSystem {
    std::vector<hid::ServiceRecord> records;
    std::vector<hid::ServiceRecord> services() override { return records; }
};

TEST(HIDSensorSource, ReadsOnlyMatchingServicesWithAStringProductAndAnEvent) {
    auto system = std::make_shared<FixedSystem>();
    system->records = {
        {0xFF00, 5, std::string("PMU tdie1"), 45.0},
        {0xFF00, 5, 7.0, 41.0},                                 // a number is not a name
        {0xFF00, 5, std::monostate{}, 41.0},                    // no name
        {0xFF00, 5, std::string("PMU tdie2"), std::nullopt},    // no event
        {0xFF00, 6, std::string("Other usage"), 50.0},
        {0xFF01, 5, std::string("Other page"), 50.0},
        {0xFF00, 5, std::string("PMU tdie1"), 47.0},
    };
    hid::ScopedEventSystemRegistration registration(system);
    HIDSensorSource source;
    EXPECT_EQ(source.readAll(), (Readings{{"PMU tdie1", 46.0}}));
}

TEST(HIDSensorSource, WithoutAnEventSystemEveryReadIsEmpty) {
    sim::testing::ScopedBootstrap empty;
    EXPECT_TRUE(HIDSensorSource().readAll().empty());
}

TEST(HIDSensorSource, ServesTheVirtualMacsServicesOverTheSocket) {
    sim::testing::ScopedBootstrap bootstrap;
    static const clock::SuspendingClock clock;
    auto mac = sim::VirtualMac::create("apple-silicon-laptop", clock);
    hid::SocketEventSystemServer server((bootstrap.dir() / hid::kEventSystemSocketName).string(), mac->eventSystem());
    const auto readings = HIDSensorSource().readAll();
    // Eight die sensors (tdie3 twice: 46.25 and 47.5 → 46.875), two device sensors, the NAND and
    // the battery gauge (twice: 29.5 and 30.5 → 30); "?", "", a number, no event, 200, -127,
    // NaN and the other usage are dropped.
    ASSERT_EQ(readings.size(), 12u);
    EXPECT_EQ(readings[0], (HIDSensorReading{"PMU tdie1", 44.75}));
    EXPECT_EQ(readings[2], (HIDSensorReading{"PMU tdie3", 46.875}));
    EXPECT_EQ(readings.back(), (HIDSensorReading{"gas gauge battery", 30.0}));
}

}  // namespace
}  // namespace quorvane
