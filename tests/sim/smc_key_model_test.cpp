#include "sim/smc_key_model.hpp"

#include <cmath>
#include <cstring>

#include <gtest/gtest.h>

#include "shared/smc/smc_data_codec.hpp"
#include "sim/sim_test_support.hpp"

namespace quorvane::sim {
namespace {

using namespace testing;

class SMCKeyModelTest : public ::testing::Test {
protected:
    FakeClock clock;
    MachineProfile profile = MachineProfile::load("apple-silicon-laptop");
    SMCKeyModel model{profile, clock};

    std::uint8_t resultOf(const SMCRecord& r) { return model.exchange(r).result(); }
};

TEST_F(SMCKeyModelTest, RawCallFillsKeyInfoAtItsByteOffsetsAndRejectsMalformedArguments) {
    // Built from raw bytes: key "#KEY" little-endian at 0, command 9 at 42.
    std::uint8_t in[80] = {0x59, 0x45, 0x4B, 0x23};
    in[42] = 9;
    std::uint8_t out[80] = {};
    std::size_t outSize = 80;
    EXPECT_EQ(model.call(1, 3, in, 80, out, &outSize), kIOReturnBadArgument);
    EXPECT_EQ(model.call(1, 2, in, 79, out, &outSize), kIOReturnBadArgument);
    EXPECT_EQ(model.call(1, 2, nullptr, 80, out, &outSize), kIOReturnBadArgument);
    EXPECT_EQ(model.call(1, 2, in, 80, out, nullptr), kIOReturnBadArgument);
    outSize = 40;
    EXPECT_EQ(model.call(1, 2, in, 80, out, &outSize), kIOReturnBadArgument);
    EXPECT_EQ(model.totalExchanges(), 0u);
    std::uint64_t id = 0;
    ASSERT_EQ(model.openConnection(id), kIOReturnSuccess);
    outSize = 80;
    ASSERT_EQ(model.call(id, 2, in, 80, out, &outSize), kIOReturnSuccess);
    EXPECT_EQ(outSize, 80u);
    EXPECT_EQ(out[40], 0);  // result
    const std::uint8_t size[4] = {4, 0, 0, 0};
    const std::uint8_t type[4] = {0x32, 0x33, 0x69, 0x75};  // "ui32" as a native little-endian integer
    EXPECT_EQ(std::memcmp(out + 28, size, 4), 0);
    EXPECT_EQ(std::memcmp(out + 32, type, 4), 0);
    EXPECT_NE(out[36], 0);  // attributes
}

TEST_F(SMCKeyModelTest, ReadReturnsTheValueBytesOfTheKey) {
    const SMCRecord reply = model.exchange(readRequest("#KEY", 4));
    ASSERT_EQ(reply.result(), smc_result::success);
    const auto bytes = valueOf(reply, 4);
    const double count = SMCDataCodec::decode(bytes, SMCDataType::of(SMCDataType::Kind::ui32));
    EXPECT_EQ(count, static_cast<double>(model.keyCount()));
    EXPECT_EQ(reply.value()[4], 0);  // nothing beyond the key's size
}

TEST_F(SMCKeyModelTest, RefusedExchangesAnswerTheirResultCodeAndWriteNothing) {
    const std::pair<SMCRecord, std::uint8_t> rows[] = {
        {keyInfoRequest("ZZZZ"), smc_result::keyNotFound},
        {readRequest("ZZZZ", 1), smc_result::keyNotFound},
        {writeRequest("ZZZZ", smc_type_codes::ui8, {1}), smc_result::keyNotFound},
        {readRequest("KPPW", 1), smc_result::notReadable},  // write-only
        {writeRequest("#KEY", smc_type_codes::ui32, {0, 0, 0, 1}), smc_result::notWritable},
        {writeRequest("F0Ac", smc_type_codes::flt, {0, 0, 0x7a, 0x44}), smc_result::notWritable},
        {writeRequest("F0Mx", smc_type_codes::flt, {0, 0, 0x7a, 0x44}), smc_result::notWritable},
        {readRequest("F0Ac", 2), smc_result::sizeMismatch},
        {writeRequest("F0Tg", smc_type_codes::fpe2, {0x1F, 0x40}), smc_result::sizeMismatch},
        {writeRequest("F0Tg", smc_type_codes::ui32, {0, 0, 0x7a, 0x44}), smc_result::sizeMismatch},
    };
    for (const auto& [request, result] : rows) EXPECT_EQ(resultOf(request), result) << FourCC::string(request.key());
    EXPECT_EQ(model.writeLog().size(), 0u);
    const std::uint8_t unknownCommand = resultOf(request(0x42, "F0Ac"));
    EXPECT_NE(unknownCommand, smc_result::success);
    EXPECT_NE(unknownCommand, smc_result::keyNotFound);
    EXPECT_EQ(resultOf(writeRequest("KPPW", smc_type_codes::ui8, {1})), smc_result::success);
}

TEST_F(SMCKeyModelTest, KeyByIndexWalksTheSortedKeysAndEndsWith0x84) {
    std::vector<std::uint32_t> codes;
    for (std::uint32_t i = 0;; ++i) {
        const SMCRecord reply = model.exchange(indexRequest(i));
        if (reply.result() != smc_result::success) {
            EXPECT_EQ(reply.result(), smc_result::keyNotFound);
            break;
        }
        codes.push_back(reply.key());
        ASSERT_LT(i, 1000u);
    }
    EXPECT_EQ(codes.size(), model.keyCount());
    EXPECT_TRUE(std::is_sorted(codes.begin(), codes.end()));
    EXPECT_EQ(resultOf(indexRequest(0xFFFFFFFFu)), smc_result::keyNotFound);
}

TEST_F(SMCKeyModelTest, SuccessfulWritesAreLoggedInOrderWithDecodedValues) {
    model.setKey("Ftst", 1);
    clock.advance(5);
    ASSERT_EQ(resultOf(writeRequest("F1Md", smc_type_codes::ui8, {1})), smc_result::success);
    ASSERT_EQ(resultOf(writeRequest("F0Md", smc_type_codes::ui8, {0})), smc_result::success);
    ASSERT_EQ(resultOf(writeRequest("ZZZZ", smc_type_codes::ui8, {0})), smc_result::keyNotFound);
    ASSERT_EQ(resultOf(writeRequest("Ftst", smc_type_codes::ui8, {0})), smc_result::success);
    // A type the codec does not know stores the raw bytes and logs NaN.
    model.addKey(KeyDefinition{"WXYZ", FourCC::code("{abc"), 3, 0xC0, true, true, SMCBytes{1, 2, 3}});
    ASSERT_EQ(resultOf(writeRequest("WXYZ", FourCC::code("{abc"), {7, 8, 9})), smc_result::success);
    EXPECT_EQ(model.readKeyBytes("WXYZ"), (std::vector<std::uint8_t>{7, 8, 9}));
    EXPECT_THROW(model.readKey("WXYZ"), std::invalid_argument);
    const auto log = model.writeLog();
    ASSERT_EQ(log.size(), 4u);
    EXPECT_TRUE(std::isnan(log[3].value));
    EXPECT_EQ(log[0].key, "F1Md");
    EXPECT_EQ(log[0].value, 1);
    EXPECT_EQ(log[1].key, "F0Md");
    EXPECT_EQ(log[2].key, "Ftst");
    EXPECT_EQ(log[2].value, 0);
}

TEST_F(SMCKeyModelTest, ExchangesAreCountedPerCommandAndPerKeyUntilReset) {
    model.exchange(keyInfoRequest("F0Ac"));
    model.exchange(readRequest("F0Ac", 4));
    model.exchange(readRequest("F0Ac", 4));
    model.exchange(readRequest("ZZZZ", 4));
    model.exchange(indexRequest(0));
    EXPECT_EQ(model.exchangeCount(smc_command::keyInfo), 1u);
    EXPECT_EQ(model.exchangeCount(smc_command::readBytes), 3u);
    EXPECT_EQ(model.exchangeCount(smc_command::readBytes, "F0Ac"), 2u);
    EXPECT_EQ(model.exchangeCount(smc_command::readBytes, "ZZZZ"), 1u);
    EXPECT_EQ(model.exchangeCount(smc_command::keyByIndex), 1u);
    EXPECT_EQ(model.totalExchanges(), 5u);
    model.resetCounters();
    EXPECT_EQ(model.totalExchanges(), 0u);
    EXPECT_EQ(model.exchangeCount(smc_command::readBytes, "F0Ac"), 0u);
}

TEST_F(SMCKeyModelTest, DirectAccessRejectsWhatTheKeyCannotHoldAndTheCountFollowsKeys) {
    EXPECT_THROW(model.setKey("ZZZZ", 1), std::invalid_argument);
    EXPECT_THROW(model.readKey("ZZZZ"), std::invalid_argument);
    EXPECT_THROW(model.setKey("FNum", 300), std::invalid_argument);
    EXPECT_THROW(model.setKey("FNum", std::nan("")), std::invalid_argument);
    EXPECT_THROW(model.setKey("TOOLONG", 1), std::invalid_argument);
    EXPECT_THROW(model.setKeyBytes("FNum", {1, 2}), std::invalid_argument);
    EXPECT_FALSE(model.hasKey("TOOLONG"));
    EXPECT_EQ(model.readKey("FNum"), 2);
    // "#KEY" follows removed and added keys.
    const double before = model.readKey("#KEY");
    ASSERT_TRUE(model.removeKey("TC0P"));
    EXPECT_FALSE(model.removeKey("TC0P"));
    EXPECT_EQ(model.readKey("#KEY"), before - 1);
    EXPECT_EQ(resultOf(keyInfoRequest("TC0P")), smc_result::keyNotFound);
    model.addKey(KeyDefinition{"TX0P", smc_type_codes::sp78, 2, 0x80, true, false, SMCBytes{0x28, 0x80}});
    EXPECT_EQ(model.readKey("#KEY"), before);
    EXPECT_EQ(model.readKey("TX0P"), 40.5);
}

}  // namespace
}  // namespace quorvane::sim
