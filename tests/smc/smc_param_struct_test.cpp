#include "smc/smc_param_struct.hpp"

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <functional>
#include <new>
#include <vector>

#include "shared/smc/four_cc.hpp"

namespace quorvane {
namespace {

std::array<std::uint8_t, 80> bytesOf(const SMCParamStruct& r) {
    std::array<std::uint8_t, 80> out{};
    std::memcpy(out.data(), &r, sizeof r);
    return out;
}

// Offsets are checked at compile time; what is left is the byte order the user client sees.
TEST(SMCParamStructLayout, CodesAndCountsAreNativeLittleEndianAndGapsStayZero) {
    // A record built over dirty memory: value-initialisation must still zero every byte.
    alignas(SMCParamStruct) unsigned char storage[sizeof(SMCParamStruct)];
    std::memset(storage, 0xCC, sizeof storage);
    const auto* fresh = new (storage) SMCParamStruct{};
    EXPECT_EQ(bytesOf(*fresh), (std::array<std::uint8_t, 80>{}));

    struct Row {
        std::function<void(SMCParamStruct&)> set;
        std::vector<std::pair<std::size_t, std::uint8_t>> bytes;  // every other byte stays zero
    };
    const Row rows[] = {
        {[](auto& r) { r.key = FourCC::code("#KEY"); }, {{0, 0x59}, {1, 0x45}, {2, 0x4B}, {3, 0x23}}},
        {[](auto& r) { r.keyInfo.dataType = FourCC::code("fpe2"); }, {{32, 0x32}, {33, 0x65}, {34, 0x70}, {35, 0x66}}},
        {[](auto& r) { r.data32 = 0x0A0B0C0D; }, {{44, 0x0D}, {45, 0x0C}, {46, 0x0B}, {47, 0x0A}}},
    };
    for (const auto& row : rows) {
        SMCParamStruct r{};
        row.set(r);
        std::array<std::uint8_t, 80> expected{};
        for (const auto& [offset, value] : row.bytes) expected[offset] = value;
        EXPECT_EQ(bytesOf(r), expected) << "field at offset " << row.bytes.front().first;
    }
}

TEST(SMCParamStructValueBytes, ReadCountIsClampedAndWritesZeroThePastBytes) {
    SMCParamStruct r{};
    for (int i = 0; i < 32; ++i) r.bytes[i] = static_cast<std::uint8_t>(0xA0 + i);
    EXPECT_TRUE(r.valueBytes(-1).empty());
    EXPECT_TRUE(r.valueBytes(0).empty());
    EXPECT_EQ(r.valueBytes(2), (std::vector<std::uint8_t>{0xA0, 0xA1}));
    EXPECT_EQ(r.valueBytes(40).size(), 32u);

    r.setValueBytes(std::vector<std::uint8_t>{0x1F, 0x40});
    std::vector<std::uint8_t> expected(32, 0);
    expected[0] = 0x1F;
    expected[1] = 0x40;
    EXPECT_EQ(r.valueBytes(32), expected);
    EXPECT_EQ(r.result, 0) << "nothing outside the value area is touched";

    std::vector<std::uint8_t> forty(40);
    for (int i = 0; i < 40; ++i) forty[i] = static_cast<std::uint8_t>(i + 1);
    r.setValueBytes(forty);
    EXPECT_EQ(r.valueBytes(32), std::vector<std::uint8_t>(forty.begin(), forty.begin() + 32));
}

}  // namespace
}  // namespace quorvane
