// The fan reader against a table-driven SMC, where every request can be seen: counts from
// hardware values that are fractional, huge, negative or not numbers at all, the probe over all
// ten indices, and the order and number of reads that make up one status.
#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <limits>
#include <memory>
#include <tuple>
#include <utility>
#include <string>
#include <vector>

#include "shared/smc/four_cc.hpp"
#include "smc/fan_control_keys.hpp"
#include "smc/smc_fan_reader.hpp"
#include "tests/smc/table_smc_transport.hpp"

namespace quorvane {
namespace {

using testing::TableSMCTransport;

std::vector<std::uint8_t> fltBytes(float v) {
    const auto bits = std::bit_cast<std::uint32_t>(v);
    return {static_cast<std::uint8_t>(bits), static_cast<std::uint8_t>(bits >> 8), static_cast<std::uint8_t>(bits >> 16),
            static_cast<std::uint8_t>(bits >> 24)};
}
std::vector<std::uint8_t> fpe2Bytes(double rpm) {
    const auto raw = static_cast<std::uint16_t>(rpm * 4);
    return {static_cast<std::uint8_t>(raw >> 8), static_cast<std::uint8_t>(raw)};
}

class FanReaderTableTest : public ::testing::Test {
protected:
    void fnumFloat(float v) {
        smc->keyInfo("FNum", 4, "flt ");
        smc->value("FNum", fltBytes(v));
    }
    void fanKey(const std::string& key, double rpm) {
        smc->keyInfo(key, 2, "fpe2");
        smc->value(key, fpe2Bytes(rpm));
    }
    void modeKey(long fan, std::uint8_t value) {
        const std::string key = "F" + std::to_string(fan) + "Md";
        smc->keyInfo(key, 1, "ui8 ");
        smc->value(key, {value});
    }
    // Keys of the requests of one command, in order.
    std::vector<std::string> keysOf(std::uint8_t command) const {
        std::vector<std::string> out;
        for (const auto& r : smc->requests()) {
            if (r.data8 == command) out.push_back(FourCC::string(r.key));
        }
        return out;
    }

    TableSMCTransport* smc = nullptr;
    std::unique_ptr<SMCFanReader> reader = std::make_unique<SMCFanReader>(testing::tableBridge(smc));
};

TEST_F(FanReaderTableTest, FloatingFanCountsAreTruncatedAndClampedAndNonNumbersProbe) {
    fanKey("F0Ac", 1500);  // what the probe finds: one fan
    fnumFloat(1);
    ASSERT_EQ(reader->fanCount(), 1);  // warm: from here on only a probe asks for key information
    const std::tuple<float, long, bool> rows[] = {
        {2.9f, 2, false},
        {1e30f, 10, false},
        {-3.0f, 0, false},
        {0.99f, 0, false},
        {std::numeric_limits<float>::quiet_NaN(), 1, true},
        {std::numeric_limits<float>::infinity(), 1, true},
    };
    for (const auto& [fnum, count, probed] : rows) {
        fnumFloat(fnum);
        const std::size_t before = smc->count(SMCCommand::readKeyInfo);
        EXPECT_EQ(reader->fanCount(), count) << fnum;
        EXPECT_EQ(smc->count(SMCCommand::readKeyInfo) > before, probed) << fnum;
    }
}

TEST_F(FanReaderTableTest, FailedCountReadProbesAllTenIndicesWhateverTheGaps) {
    smc->fail(SMCCommand::readKeyInfo, "FNum", SMCError::callFailed(-1));
    fanKey("F3Ac", 1500);
    EXPECT_EQ(reader->fanCount(), 4);
    EXPECT_EQ(keysOf(SMCCommand::readKeyInfo),
              (std::vector<std::string>{"FNum", "F0Ac", "F1Ac", "F2Ac", "F3Ac", "F4Ac", "F5Ac", "F6Ac", "F7Ac", "F8Ac",
                                        "F9Ac"}));
    EXPECT_EQ(smc->count(SMCCommand::readBytes), 0u) << "the probe asks for key information only";
}

TEST_F(FanReaderTableTest, StatusReadsCurrentBoundsTargetThenModeOnce) {
    fanKey("F0Ac", 1800);
    fanKey("F0Mn", 1200);
    fanKey("F0Mx", 6000);
    fanKey("F0Tg", 2000);
    modeKey(0, 1);
    const auto s = reader->status(0);
    EXPECT_EQ(keysOf(SMCCommand::readBytes), (std::vector<std::string>{"F0Ac", "F0Mn", "F0Mx", "F0Tg", "F0Md"}));
    EXPECT_EQ(s.id, 0);
    EXPECT_EQ(s.currentRPM, 1800);
    EXPECT_TRUE(s.currentRPMValid);
    EXPECT_EQ(s.minRPM, 1200);
    EXPECT_EQ(s.maxRPM, 6000);
    EXPECT_EQ(s.targetRPM, 2000);
    EXPECT_TRUE(s.isManaged);
}

TEST_F(FanReaderTableTest, MissingKeysTakeDefaultsAndOnlyAModeOfExactlyOneIsManaged) {
    fanKey("F1Ac", 1800);
    const auto s = reader->status(1);
    EXPECT_EQ(s.targetRPM, 1800) << "a missing target takes the current speed";
    EXPECT_EQ(s.minRPM, 0);
    EXPECT_EQ(s.maxRPM, 0);
    EXPECT_TRUE(s.currentRPMValid);
    EXPECT_FALSE(s.isManaged);
    // Without a mode key the fan's own bit of the force bitmask says it; the last mask holds the
    // bit, so the mode rows below show that a mode key overrides it.
    smc->keyInfo("FS! ", 2, "ui16");
    for (const auto& [mask, managed] : {std::pair{0x0000, false}, {0x0001, false}, {0xFFFD, false}, {0x0002, true}}) {
        smc->value("FS! ", {static_cast<std::uint8_t>(mask >> 8), static_cast<std::uint8_t>(mask)});
        EXPECT_EQ(reader->status(1).isManaged, managed) << "mask " << mask;
    }
    for (std::uint8_t mode : {0, 3, 2, 1}) {
        modeKey(1, mode);
        EXPECT_EQ(reader->status(1).isManaged, mode == 1) << "mode " << int(mode);
    }
}

TEST_F(FanReaderTableTest, NothingReadableTakesEveryDefault) {
    // An empty table: every key is absent, the count probe finds nothing.
    EXPECT_EQ(reader->fanCount(), 0);
    smc->fail(SMCCommand::readKeyInfo, "F0Ac", SMCError::callFailed(-1));
    const auto s = reader->status(0);
    EXPECT_FALSE(s.currentRPMValid);
    EXPECT_EQ(s.currentRPM, 0);
    EXPECT_EQ(s.targetRPM, 0) << "a failed target takes the failed current's 0";
    EXPECT_EQ(s.minRPM, 0);
    EXPECT_EQ(s.maxRPM, 0);
    EXPECT_FALSE(s.isManaged);
}

TEST_F(FanReaderTableTest, IndicesOutsideTheKeyRangeMakeNoExchange) {
    for (long n : {-1L, 10L, 1000L}) {
        const auto s = reader->status(n);
        EXPECT_FALSE(s.currentRPMValid) << n;
        EXPECT_EQ(s.currentRPM, 0) << n;
    }
    EXPECT_EQ(smc->total(), 0u);
}

TEST_F(FanReaderTableTest, KnownBoundsSkipBothBoundReads) {
    fanKey("F2Ac", 1800);
    fanKey("F2Mn", 1000);
    fanKey("F2Mx", 5000);
    fanKey("F2Tg", 1900);
    modeKey(2, 0);
    const auto s = reader->status(2, FanBounds{1200, 6000});
    EXPECT_EQ(keysOf(SMCCommand::readBytes), (std::vector<std::string>{"F2Ac", "F2Tg", "F2Md"}));
    EXPECT_EQ(keysOf(SMCCommand::readKeyInfo), (std::vector<std::string>{"F2Ac", "F2Tg", "F2Md"}));
    EXPECT_EQ(s.minRPM, 1200);
    EXPECT_EQ(s.maxRPM, 6000);
}

TEST_F(FanReaderTableTest, AllFansReadsEachFanInIndexOrder) {
    smc->keyInfo("FNum", 1, "ui8 ");
    smc->value("FNum", {2});
    fanKey("F0Ac", 1500);
    fanKey("F1Ac", 1600);
    std::vector<std::pair<long, double>> fans;
    for (const auto& f : reader->allFans()) fans.emplace_back(f.id, f.currentRPM);
    EXPECT_EQ(fans, (std::vector<std::pair<long, double>>{{0, 1500}, {1, 1600}}));
    smc->value("FNum", {0});
    const auto before = smc->total();
    EXPECT_TRUE(reader->allFans().empty());
    EXPECT_EQ(smc->total(), before + 1) << "only the count is read";
}

// Which keys hold the fans is found by key information alone; an answer other than "no such key"
// counts the key as present and leaves the finding open. The bitmask is set bit by bit, and a
// mask that is no 16-bit number is refused before anything is written.
TEST(FanControlKeysTest, FoundByKeyInformationAndTheBitmaskSetBitByBit) {
    TableSMCTransport* smc = nullptr;
    auto bridge = testing::tableBridge(smc);
    smc->keyInfo("F1Md", 1, "ui8 ");
    smc->fail(SMCCommand::readKeyInfo, "F2Md", SMCError::callFailed(-1));
    const auto keys = FanControlKeys::find(*bridge, 3);
    EXPECT_EQ(keys.modeKeys, 0b110);
    EXPECT_FALSE(keys.forceBitmask);
    EXPECT_FALSE(keys.settled);
    EXPECT_FALSE(keys.canEngage(0));
    EXPECT_EQ(smc->count(SMCCommand::readBytes), 0u);

    const struct {
        const char* type;
        std::vector<std::uint8_t> mask;
        long fan;
        std::vector<std::uint8_t> written;  // empty: refused
    } rows[] = {
        {"ui16", {0x00, 0x01}, 1, {0x00, 0x03}},
        {"ui16", {0x00, 0x02}, 1, {0x00, 0x02}},
        {"ui16", {0x80, 0x00}, 0, {0x80, 0x01}},
        {"ui32", {0x00, 0x01, 0x00, 0x00}, 0, {}},
        {"flt ", fltBytes(1.5f), 0, {}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.type);
        TableSMCTransport* table = nullptr;
        auto b = testing::tableBridge(table);
        table->keyInfo("FS! ", static_cast<std::uint32_t>(row.mask.size()), row.type);
        table->value("FS! ", row.mask);
        EXPECT_TRUE(FanControlKeys::find(*b, 2).forceBitmask);
        if (row.written.empty()) {
            EXPECT_THROW(FanControlKeys::setForceBit(*b, row.fan), SMCError);
            EXPECT_EQ(table->count(SMCCommand::writeBytes), 0u);
            continue;
        }
        FanControlKeys::setForceBit(*b, row.fan);
        const auto write = table->requests().back();
        ASSERT_EQ(write.data8, SMCCommand::writeBytes);
        EXPECT_EQ(std::vector<std::uint8_t>(write.bytes, write.bytes + 2), row.written);
    }
}

}  // namespace
}  // namespace quorvane
