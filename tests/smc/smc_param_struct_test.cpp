#include "smc/smc_param_struct.hpp"

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <vector>

#include "shared/smc/four_cc.hpp"

namespace quorvane {
namespace {

std::array<std::uint8_t, 80> bytesOf(const SMCParamStruct& r) {
    std::array<std::uint8_t, 80> out{};
    std::memcpy(out.data(), &r, sizeof r);
    return out;
}

TEST(SMCParamStructLayout, DefaultRecordIsEightyZeroBytes) {
    const auto b = bytesOf(SMCParamStruct{});
    for (std::size_t i = 0; i < b.size(); ++i) EXPECT_EQ(b[i], 0) << "offset " << i;
}

TEST(SMCParamStructLayout, KeyCountRequestSerialisesAtTheUserClientOffsets) {
    SMCParamStruct r{};
    r.key = FourCC::code("#KEY");
    r.keyInfo.dataSize = 4;
    r.data8 = 5;
    std::array<std::uint8_t, 80> expected{};
    expected[0] = 0x59;
    expected[1] = 0x45;
    expected[2] = 0x4B;
    expected[3] = 0x23;
    expected[28] = 0x04;
    expected[42] = 0x05;
    EXPECT_EQ(bytesOf(r), expected);
}

TEST(SMCParamStructLayout, EveryFieldLandsAtItsOffset) {
    SMCParamStruct r{};
    r.vers.release = 0x0102;
    r.pLimitData.memPLimit = 0x03040506;
    r.keyInfo.dataType = FourCC::code("fpe2");
    r.keyInfo.dataAttributes = 0xD4;
    r.padding = 0x0708;
    r.result = 0x84;
    r.status = 0x11;
    r.data32 = 0x0A0B0C0D;
    r.bytes[31] = 0xEE;
    const auto b = bytesOf(r);
    EXPECT_EQ(b[8], 0x02);
    EXPECT_EQ(b[9], 0x01);
    EXPECT_EQ(b[24], 0x06);
    EXPECT_EQ(b[27], 0x03);
    EXPECT_EQ(b[32], 0x32);  // "fpe2" native little-endian: '2' first
    EXPECT_EQ(b[35], 0x66);
    EXPECT_EQ(b[36], 0xD4);
    EXPECT_EQ(b[37], 0x00);
    EXPECT_EQ(b[38], 0x08);
    EXPECT_EQ(b[40], 0x84);
    EXPECT_EQ(b[41], 0x11);
    EXPECT_EQ(b[43], 0x00);
    EXPECT_EQ(b[44], 0x0D);
    EXPECT_EQ(b[79], 0xEE);
}

TEST(SMCParamStructValueBytes, CountIsClampedToTheValueArea) {
    SMCParamStruct r{};
    for (int i = 0; i < 32; ++i) r.bytes[i] = static_cast<std::uint8_t>(0xA0 + i);
    EXPECT_TRUE(r.valueBytes(-1).empty());
    EXPECT_TRUE(r.valueBytes(0).empty());
    EXPECT_EQ(r.valueBytes(2), (std::vector<std::uint8_t>{0xA0, 0xA1}));
    const auto all = r.valueBytes(40);
    ASSERT_EQ(all.size(), 32u);
    EXPECT_EQ(all.back(), 0xA0 + 31);
}

TEST(SMCParamStructSetValueBytes, ZeroesEverythingPastTheGivenBytes) {
    SMCParamStruct r{};
    std::memset(r.bytes, 0x55, sizeof r.bytes);
    r.setValueBytes(std::vector<std::uint8_t>{0x1F, 0x40});
    EXPECT_EQ(r.bytes[0], 0x1F);
    EXPECT_EQ(r.bytes[1], 0x40);
    for (int i = 2; i < 32; ++i) EXPECT_EQ(r.bytes[i], 0) << i;
    EXPECT_EQ(r.result, 0) << "nothing outside the value area is touched";
}

TEST(SMCParamStructSetValueBytes, StoresOnlyTheFirstThirtyTwo) {
    SMCParamStruct r{};
    std::vector<std::uint8_t> forty(40);
    for (int i = 0; i < 40; ++i) forty[i] = static_cast<std::uint8_t>(i + 1);
    r.setValueBytes(forty);
    EXPECT_EQ(r.bytes[0], 1);
    EXPECT_EQ(r.bytes[31], 32);
    const auto b = bytesOf(r);
    EXPECT_EQ(b[79], 32);
}

}  // namespace
}  // namespace quorvane
