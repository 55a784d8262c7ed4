#include <cmath>
#include <cstring>

#include <gtest/gtest.h>

#include "sim/sim_test_support.hpp"
#include "sim/smc_key_model.hpp"

namespace quorvane::sim {
namespace {

using namespace testing;

std::vector<std::uint8_t> fltBytes(float v) {
    std::vector<std::uint8_t> b(4);
    std::memcpy(b.data(), &v, 4);
    return b;
}

class AppleSiliconFirmwareTest : public ::testing::Test {
protected:
    FakeClock clock;
    SMCKeyModel model{MachineProfile::load("apple-silicon-laptop"), clock};

    std::uint8_t write(const std::string& key, std::vector<std::uint8_t> bytes, std::uint32_t type) {
        return model.exchange(writeRequest(key, type, std::move(bytes))).result();
    }
    std::uint8_t writeMode(int fan, std::uint8_t mode) {
        return write("F" + std::to_string(fan) + "Md", {mode}, smc_type_codes::ui8);
    }
};

TEST_F(AppleSiliconFirmwareTest, ManualModeNeedsFtstsUnlockDelayAndFtstOffReturnsEveryFanToAutomatic) {
    EXPECT_EQ(writeMode(0, 1), smc_result::firmwareBusy);
    clock.advance(60);
    EXPECT_EQ(writeMode(0, 1), smc_result::firmwareBusy) << "time alone does not unlock";
    EXPECT_EQ(writeMode(0, 0), smc_result::success);  // automatic is always accepted
    ASSERT_EQ(write("Ftst", {1}, smc_type_codes::ui8), smc_result::success);
    clock.advance(3.4);
    EXPECT_EQ(writeMode(0, 1), smc_result::firmwareBusy);
    // Writing Ftst = 1 again does not restart the delay.
    ASSERT_EQ(write("Ftst", {1}, smc_type_codes::ui8), smc_result::success);
    clock.advance(0.1);
    EXPECT_EQ(writeMode(0, 1), smc_result::success);
    EXPECT_EQ(writeMode(1, 1), smc_result::success);
    EXPECT_EQ(model.readKey("F0Md"), 1);

    ASSERT_EQ(write("Ftst", {0}, smc_type_codes::ui8), smc_result::success);
    EXPECT_EQ(model.readKey("F0Md"), 0);
    EXPECT_EQ(model.readKey("F1Md"), 0);
    EXPECT_EQ(writeMode(0, 1), smc_result::firmwareBusy);
    ASSERT_EQ(write("Ftst", {1}, smc_type_codes::ui8), smc_result::success);
    clock.advance(1);
    EXPECT_EQ(writeMode(0, 1), smc_result::firmwareBusy);  // a fresh delay starts
}

TEST_F(AppleSiliconFirmwareTest, ActualSpeedFollowsTheTargetWithAFirstOrderLagAndSettlesCapped) {
    model.setKey("Ftst", 1);
    clock.advance(4);
    model.setKey("F1Ac", 5000);
    ASSERT_EQ(writeMode(0, 1), smc_result::success);
    ASSERT_EQ(write("F0Tg", fltBytes(4000), smc_type_codes::flt), smc_result::success);
    // Many short exchanges must not stall the lag: after one time constant, 63 % of the way.
    for (int i = 0; i < 1500; ++i) {
        clock.advance(0.001);
        model.exchange(readRequest("F0Ac", 4));
    }
    EXPECT_NEAR(model.readKey("F0Ac"), 4000 + (1300 - 4000) * std::exp(-1.0), 1.0);
    clock.advance(30);
    EXPECT_NEAR(model.readKey("F0Ac"), 4000, 1.0);
    EXPECT_NEAR(model.readKey("F1Ac"), 1300, 1.0) << "automatic: back to the auto speed";
    ASSERT_EQ(writeMode(1, 1), smc_result::success);
    model.setKey("F1Tg", 9000);
    clock.advance(30);
    EXPECT_NEAR(model.readKey("F1Ac"), 5800, 1.0) << "manual above the maximum: capped";
}

TEST(IntelFirmwareTest, ManualModeIsAcceptedAtOnceAndFpe2FansFollowTheTarget) {
    FakeClock clock;
    SMCKeyModel model{MachineProfile::load("intel-desktop"), clock};
    EXPECT_FALSE(model.hasKey("Ftst"));
    ASSERT_EQ(model.exchange(writeRequest("F0Md", smc_type_codes::ui8, {1})).result(), smc_result::success);
    ASSERT_EQ(model.exchange(writeRequest("F0Tg", smc_type_codes::fpe2, {0x1F, 0x40})).result(),  // 2000
              smc_result::success);
    clock.advance(30);
    EXPECT_EQ(model.readKey("F0Ac"), 2000);
}

}  // namespace
}  // namespace quorvane::sim
