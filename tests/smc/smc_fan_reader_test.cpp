// The fan reader over the virtual Mac: fan count with its probe fallback, per-fan status with
// its documented defaults, and no exchange for indices without keys.
#include <gtest/gtest.h>

#include "sim/virtual_mac.hpp"
#include "smc/smc_fan_reader.hpp"
#include "tests/sim/sim_test_support.hpp"

namespace quorvane {
namespace {

class FanReaderTest : public ::testing::Test {
protected:
    void SetUp() override {
        mac = sim::VirtualMac::create("intel-desktop", clock);
        registration = mac->registerInProcess();
        reader.emplace(SMCKernelBridge::open());
    }
    sim::testing::FakeClock clock;
    std::shared_ptr<sim::VirtualMac> mac;
    std::unique_ptr<iokit::ScopedServiceRegistration> registration;
    std::optional<SMCFanReader> reader;
};

TEST_F(FanReaderTest, CountIsFNumClampedWithoutProbing) {
    EXPECT_EQ(reader->fanCount(), 2);
    mac->setKey("FNum", 12);
    EXPECT_EQ(reader->fanCount(), 10);
    mac->setKey("FNum", 0);
    EXPECT_EQ(reader->fanCount(), 0);
    EXPECT_EQ(mac->exchangeCount(SMCCommand::readKeyInfo, "F0Ac"), 0u);
}

TEST_F(FanReaderTest, CountFallsBackToProbingActualSpeedKeys) {
    // A fresh bridge each time: key information, once learnt, is cached for the bridge's life.
    auto count = [] { return SMCFanReader(SMCKernelBridge::open()).fanCount(); };
    mac->removeKey("FNum");
    EXPECT_EQ(count(), 2);
    mac->removeKey("F0Ac");
    EXPECT_EQ(count(), 2) << "a gap does not stop the probe";
    mac->removeKey("F1Ac");
    EXPECT_EQ(count(), 0);
}

TEST_F(FanReaderTest, StatusAbsorbsFailuresIntoDefaults) {
    mac->setKey("F0Md", 1);
    auto s = reader->status(0);
    EXPECT_TRUE(s.currentRPMValid);
    EXPECT_EQ(s.minRPM, 1200);
    EXPECT_EQ(s.maxRPM, 2700);
    EXPECT_TRUE(s.isManaged);

    mac->failKey("F1Ac", 0x85);
    mac->failKey("F1Tg", 0x85);
    mac->failKey("F1Md", 0x85);
    s = reader->status(1);
    EXPECT_FALSE(s.currentRPMValid);
    EXPECT_EQ(s.currentRPM, 0);
    EXPECT_EQ(s.targetRPM, 0);
    EXPECT_FALSE(s.isManaged);

    mac->clearFaults();
    mac->setKey("F1Ac", 1800);
    mac->failKey("F1Tg", 0x84);
    mac->setKey("F1Md", 3);
    s = reader->status(1);
    EXPECT_EQ(s.targetRPM, 1800);
    EXPECT_FALSE(s.isManaged);
}

TEST_F(FanReaderTest, KnownBoundsAndBadIndicesSaveExchanges) {
    const auto s = reader->status(0, FanBounds{1000, 5000});
    EXPECT_EQ(s.minRPM, 1000);
    EXPECT_EQ(s.maxRPM, 5000);
    EXPECT_EQ(mac->exchangeCount(SMCCommand::readBytes, "F0Mn"), 0u);
    EXPECT_EQ(mac->exchangeCount(SMCCommand::readBytes, "F0Mx"), 0u);
    mac->resetCounters();
    EXPECT_FALSE(reader->status(10).currentRPMValid);
    EXPECT_FALSE(reader->status(-1).currentRPMValid);
    EXPECT_EQ(mac->model().totalExchanges(), 0u);
}

TEST_F(FanReaderTest, AllFansFollowsTheCount) {
    EXPECT_EQ(reader->allFans().size(), 2u);
    mac->setKey("FNum", 0);
    mac->resetCounters();
    EXPECT_TRUE(reader->allFans().empty());
    EXPECT_EQ(mac->model().totalExchanges(), 1u);
}

}  // namespace
}  // namespace quorvane
