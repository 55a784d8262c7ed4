// Sensor discovery and refresh over the virtual Mac and a table SMC: what is listed, what is
// skipped, and how many exchanges each walk costs.
#include <gtest/gtest.h>

#include "platform/log/log.hpp"
#include "sim/sim_test_support.hpp"
#include "sim/virtual_mac.hpp"
#include "smc/sensor_discovery.hpp"
#include "table_smc_transport.hpp"

namespace quorvane {
namespace {

using sim::MachineProfile;

// A small machine: a temperature of each type, an out-of-range one, power, fan, keys that are not
// sensors and a type the codec does not know.
MachineProfile smallMachine() {
    return MachineProfile::fromJSON(nlohmann::json::parse(R"({
      "fans": [{"type": "fpe2", "minimum": 1200, "maximum": 6000}],
      "keys": [
        {"key": "TC0P", "type": "sp78", "value": 45.0},
        {"key": "TC0H", "type": "sp78", "value": -127.0},
        {"key": "TfC0", "type": "flt", "value": 50.0},
        {"key": "TW0P", "type": "flt", "value": 130.5},
        {"key": "PSTR", "type": "flt", "value": 9.5},
        {"key": "BNum", "type": "ui8", "value": 1},
        {"key": "PCPC", "type": "sp96", "hex": "0100"},
        {"key": "Tpx0", "type": "flt", "value": 40.0, "readable": false}
      ]})"),
                                    "small");
}

struct VirtualMacFixture : ::testing::Test {
    sim::testing::FakeClock clock;
    std::shared_ptr<sim::VirtualMac> mac = sim::VirtualMac::create(smallMachine(), clock);
    std::unique_ptr<iokit::ScopedServiceRegistration> registration = mac->registerInProcess();
    SensorDiscovery discovery{SMCKernelBridge::open()};

    std::uint64_t exchanges() const { return mac->model().totalExchanges(); }
};

TEST_F(VirtualMacFixture, ListsRecognisedSensorsInKeyOrderWithinTheExchangeBudget) {
    const auto all = discovery.discoverAll();
    std::vector<std::string> keys;
    for (const auto& s : all) keys.push_back(s.key);
    // Index order is key-code order; F0Ac is a fan; TC0H (-127), TW0P (130.5), the unreadable,
    // untyped and non-sensor keys are not listed.
    EXPECT_EQ(keys, (std::vector<std::string>{"F0Ac", "PSTR", "TC0P", "TfC0"}));
    EXPECT_EQ(all[2], (SMCSensor{"TC0P", "TC0P", "CPU P", SensorCategory::cpu, 45.0, SensorClass::temperature, "\u00b0C"}));
    EXPECT_EQ(all[1].unit, "W");
    EXPECT_EQ(all[1].category, SensorCategory::enclosure);
    EXPECT_EQ(all[3].name, "SoC Fabric C0");
    EXPECT_EQ(all[3].category, SensorCategory::neuralEngine);

    const std::uint64_t keyCount = mac->model().keyCount();
    EXPECT_LE(exchanges(), 3 * keyCount + 2);  // plus the "#KEY" read
    mac->resetCounters();
    EXPECT_EQ(discovery.discover().size(), 2u);
    EXPECT_LE(exchanges(), 2 * keyCount + 1);
}

TEST_F(VirtualMacFixture, RefreshKeepsImplausibleTemperaturesAndCostsOneExchangePerSensor) {
    auto sensors = discovery.discoverAll();
    mac->setKey("TC0P", 120.0);
    mac->setKey("TfC0", 200.0);  // out of range: keeps 50
    mac->setKey("PSTR", 200.0);  // power has no range: takes it
    mac->resetCounters();
    sensors = discovery.refresh(sensors);
    EXPECT_EQ(exchanges(), sensors.size());
    EXPECT_EQ(sensors[1].currentTemp, 200.0);
    EXPECT_EQ(sensors[2].currentTemp, 120.0);
    EXPECT_EQ(sensors[3].currentTemp, 50.0);

    mac->resetCounters();
    const auto unchanged = discovery.refresh(sensors, [](const SMCSensor&) { return false; });
    EXPECT_EQ(unchanged, sensors);
    EXPECT_EQ(exchanges(), 0u);
    mac->setKey("TC0P", 60.0);
    const auto one = discovery.refresh(sensors, [](const SMCSensor& s) { return s.key == "TC0P"; });
    EXPECT_EQ(exchanges(), 1u);
    EXPECT_EQ(one[2].currentTemp, 60.0);

    // A record read back from JSON with a key that is not four bytes keeps its reading.
    SMCSensor odd = sensors[2];
    odd.key = "TC0PX";
    EXPECT_EQ(discovery.refresh({odd}).front().currentTemp, odd.currentTemp);
}

TEST_F(VirtualMacFixture, LoadHeatsTheTemperatureKeysAndTheyCoolBack) {
    mac->setLoad(1.0);
    clock.advance(200);
    // Full load, the fan at a fifth of its maximum: 45 / (1 + 1.5 * 0.2) ≈ 34.6 °C above idle.
    EXPECT_NEAR(mac->readKey("TfC0"), 50.0 + 34.6, 0.5);
    EXPECT_EQ(mac->readKey("TC0H"), -127.0);  // a key reading "absent" stays so
    mac->setLoad(0.0);
    clock.advance(400);
    EXPECT_NEAR(mac->readKey("TfC0"), 50.0, 0.1);
}

using testing::TableSMCTransport;

struct TableWalk {
    TableSMCTransport* smc = nullptr;
    SensorDiscovery discovery{testing::tableBridge(smc)};
    void keyCount(std::uint32_t n) {
        smc->keyInfo("#KEY", 4, "ui32");
        smc->value("#KEY", {std::uint8_t(n >> 24), std::uint8_t(n >> 16), std::uint8_t(n >> 8), std::uint8_t(n)});
    }
};

TEST(SensorDiscoveryWalk, KeyCountDecidesTheWalk) {
    struct Row {
        std::optional<std::uint32_t> count;
        std::size_t indexExchanges;
        bool logged;
    };
    const Row rows[] = {{std::nullopt, 0, false}, {0, 0, false},          {16384, 16384, false},
                        {16385, 16384, true},  {20000, 16384, true}};
    for (const Row& r : rows) {
        SCOPED_TRACE(r.count.value_or(-1));
        log::ScopedCapture capture;
        TableWalk walk;
        if (r.count) walk.keyCount(*r.count);
        EXPECT_TRUE(walk.discovery.discoverAll().empty());
        std::vector<std::uint32_t> indices;
        for (const auto& request : walk.smc->requests()) {
            if (request.data8 == SMCCommand::keyByIndex) indices.push_back(request.data32);
        }
        ASSERT_EQ(indices.size(), r.indexExchanges);
        if (!indices.empty()) {
            EXPECT_EQ(indices.back(), r.indexExchanges - 1) << "indices run from 0";
        }
        EXPECT_EQ(capture->records().size(), r.logged ? 1u : 0u);
        EXPECT_EQ(capture->count(log::Level::Error, "discovery",
                                 "#KEY reported " + std::to_string(r.count.value_or(0)) +
                                     " keys \u2014 implausible, walking the first 16384"),
                  r.logged ? 1u : 0u);
    }
}

TEST(SensorDiscoveryWalk, SkipsKeysThatAreNotUTF8AndFailedIndices) {
    TableWalk walk;
    walk.keyCount(3);
    walk.smc->keyAt(0, 0x54FF3030u);              // "T\xFF00"
    walk.smc->keyAt(1, 0, 0x84);                   // a failed index
    walk.smc->keyAt(2, FourCC::code("TC0P"));
    walk.smc->keyInfo("TC0P", 2, "sp78");
    walk.smc->value("TC0P", {0x2D, 0x00});
    const auto all = walk.discovery.discoverAll();
    ASSERT_EQ(all.size(), 1u);
    EXPECT_EQ(all[0].currentTemp, 45.0);
    // The bad code never reached a key-information exchange.
    EXPECT_EQ(walk.smc->count(SMCCommand::readKeyInfo), 2u);
}

}  // namespace
}  // namespace quorvane
