#include <cmath>
#include <cstring>
#include <filesystem>

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

// A write as a client makes it: the value encoded by the type the key reports.
std::uint8_t writeValue(SMCKeyModel& model, const std::string& key, double value) {
    const SMCRecord info = model.exchange(keyInfoRequest(key));
    if (info.result() != smc_result::success) return info.result();
    const SMCBytes bytes = SMCDataCodec::encode(value, SMCDataType::fromRaw(info.dataType()));
    return model.exchange(writeRequest(key, info.dataType(), {bytes.begin(), bytes.end()})).result();
}

// Every real table with fans: a fan follows its target only through that Mac's own mechanism
// (its mode key, else its bit of "FS! "), behind the "Ftst" unlock only where the table has one,
// and only that fan; the other mechanism's key is absent.
TEST(RealTableFirmwareTest, AFanFollowsItsTargetOnlyThroughItsTablesOwnMechanism) {
    int tables = 0;
    for (const auto& entry : std::filesystem::directory_iterator(MachineProfile::dumpDirectory())) {
        if (entry.path().extension() != ".csv") continue;
        SCOPED_TRACE(entry.path().filename().string());
        const MachineProfile profile = MachineProfile::fromDump(entry.path().string());
        if (profile.fans.empty()) continue;
        ++tables;
        FakeClock clock;
        SMCKeyModel model(profile, clock);
        const long fan = static_cast<long>(profile.fans.size()) - 1;  // the highest bit, on two-fan Macs
        const std::string n = "F" + std::to_string(fan);
        const bool bitmask = !model.hasKey(n + "Md");
        ASSERT_TRUE(!bitmask || model.hasKey("FS! ")) << "a fan with no way to manual control";
        const std::string engageKey = bitmask ? "FS! " : n + "Md";
        const double engaged = bitmask ? double(1u << fan) : 1.0;
        EXPECT_EQ(writeValue(model, bitmask ? n + "Md" : "FS! ", 1), smc_result::keyNotFound);

        ASSERT_EQ(writeValue(model, engageKey, 0), smc_result::success);  // some tables were dumped with a fan held
        const FanDefinition& def = profile.fans[static_cast<std::size_t>(fan)];
        const double target = std::abs(def.autoSpeed - def.maximum) > 200 ? def.maximum : def.minimum;
        ASSERT_EQ(writeValue(model, n + "Tg", target), smc_result::success);
        if (model.hasKey("Ftst")) {
            EXPECT_EQ(writeValue(model, engageKey, engaged), smc_result::firmwareBusy);
            ASSERT_EQ(writeValue(model, "Ftst", 1), smc_result::success);
            clock.advance(4);
        }
        clock.advance(30);
        EXPECT_NEAR(model.readKey(n + "Ac"), def.autoSpeed, 1) << "automatic ignores the target";
        ASSERT_EQ(writeValue(model, engageKey, engaged), smc_result::success);
        clock.advance(30);
        EXPECT_NEAR(model.readKey(n + "Ac"), target, 1);
        const auto state = model.stateJSON();
        for (long i = 0; i <= fan; ++i) EXPECT_EQ(state["fans"][i]["manual"], i == fan) << "fan " << i;
        EXPECT_EQ(state.contains("FS! "), model.hasKey("FS! "));
        if (bitmask) {
            EXPECT_EQ(state["FS! "], engaged);
        }

        ASSERT_EQ(writeValue(model, model.hasKey("Ftst") ? "Ftst" : engageKey, 0), smc_result::success);
        EXPECT_EQ(model.readKey(engageKey), 0) << "Ftst = 0 hands the fan back too";
        clock.advance(30);
        EXPECT_NEAR(model.readKey(n + "Ac"), def.autoSpeed, 1);
    }
    EXPECT_GE(tables, 30);
}

}  // namespace
}  // namespace quorvane::sim
