#include "smc/smc_kernel_bridge.hpp"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "tests/smc/table_smc_transport.hpp"

namespace quorvane {
namespace {

using testing::errorOf;
using testing::TableSMCTransport;
using Cmd = std::vector<std::uint8_t>;

// A request record with only the given fields set.
SMCParamStruct record(std::uint8_t command, const std::string& key, std::uint32_t size = 0, const std::string& type = "",
                      const std::vector<std::uint8_t>& bytes = {}) {
    SMCParamStruct r{};
    r.data8 = command;
    if (!key.empty()) r.key = FourCC::code(key);
    r.keyInfo.dataSize = size;
    if (!type.empty()) r.keyInfo.dataType = FourCC::code(type);
    r.setValueBytes(bytes);
    return r;
}
bool same(const SMCParamStruct& a, const SMCParamStruct& b) { return std::memcmp(&a, &b, sizeof a) == 0; }

class BridgeTest : public ::testing::Test {
protected:
    TableSMCTransport* smc = nullptr;
    std::shared_ptr<SMCKernelBridge> bridge = testing::tableBridge(smc);
};

// ---- exchange counts and request records ----

TEST_F(BridgeTest, ColdCallsAskKeyInfoFirstAndEachRequestCarriesOnlyItsFields) {
    smc->keyInfo("F0Ac", 2, "fpe2", 0, 0xD4);
    smc->value("F0Ac", {0x1F, 0x40});
    EXPECT_EQ(bridge->read("F0Ac"), 2000.0);
    EXPECT_EQ(bridge->read("F0Ac"), 2000.0);
    EXPECT_EQ(smc->commands(), (Cmd{9, 5, 5})) << "a warm read is one exchange";
    const auto reqs = smc->requests();
    EXPECT_TRUE(same(reqs[0], record(9, "F0Ac")));
    EXPECT_TRUE(same(reqs[1], record(5, "F0Ac", 2))) << "type and attributes stay zero in a read";

    smc->keyInfo("F0Tg", 2, "fpe2", 0, 0xD4);
    bridge->write("F0Tg", 1800.3);
    bridge->write("F0Tg", 2000.0);
    EXPECT_EQ(smc->commands(), (Cmd{9, 5, 5, 9, 6, 6})) << "a warm write is one exchange";
    EXPECT_TRUE(same(smc->requests().back(), record(6, "F0Tg", 2, "fpe2", {0x1F, 0x40})))
        << "attributes zero, bytes zero-filled to 32";
    EXPECT_EQ(smc->requests()[4].bytes[1], 0x21);  // 1800.3 → 0x1C21
}

TEST_F(BridgeTest, KeyInfoIsCachedUnlessItsSizeOrTypeIsZero) {
    smc->keyInfo("TC0P", 2, "sp78", 0, 0x80);
    smc->keyInfo("ZSIZ", 0, "ui8 ");
    smc->keyInfo("ZTYP", 1, "");
    const SMCKeyInfoData info = bridge->keyInfo("TC0P");
    EXPECT_EQ(info, (SMCKeyInfoData{2, FourCC::code("sp78"), 0x80}));
    EXPECT_EQ(bridge->keyInfo("TC0P"), info);
    EXPECT_TRUE(bridge->hasKey("TC0P"));
    EXPECT_EQ(smc->count(9), 1u);
    EXPECT_EQ(bridge->keyInfo("ZSIZ"), (SMCKeyInfoData{0, FourCC::code("ui8 "), 0}));
    EXPECT_EQ(bridge->keyInfo("ZTYP").dataType, 0u);
    EXPECT_TRUE(bridge->hasKey("ZSIZ"));
    EXPECT_TRUE(bridge->hasKey("ZTYP"));
    EXPECT_EQ(smc->count(9), 5u) << "zero size or type is asked again every time";
}

TEST_F(BridgeTest, AbsentKeyFailsWithItsNameAndIsNeverCached) {
    smc->keyInfo("F0Md", 1, "ui8 ", 0x84);
    EXPECT_EQ(errorOf([&] { bridge->read("F0Md"); }), SMCError::keyNotFound("F0Md"));
    EXPECT_FALSE(bridge->hasKey("F0Md"));
    EXPECT_EQ(smc->commands(), (Cmd{9, 9})) << "no read after a failed key-information exchange";
    // Once the key appears, the next call learns it.
    smc->keyInfo("F0Md", 1, "ui8 ");
    smc->value("F0Md", {1});
    EXPECT_EQ(bridge->read("F0Md"), 1.0);
}

TEST_F(BridgeTest, TransportFailurePropagatesUnchangedAndIsNotCached) {
    smc->fail(9, "FNum", SMCError::callFailed(kIOReturnNotResponding));
    EXPECT_EQ(errorOf([&] { bridge->read("FNum"); }), SMCError::callFailed(kIOReturnNotResponding));
    EXPECT_FALSE(bridge->hasKey("FNum"));
    EXPECT_EQ(smc->count(9), 2u);
}

TEST_F(BridgeTest, ConcurrentColdReadsOfOneKeyBothSucceed) {
    smc->keyInfo("F0Ac", 2, "fpe2");
    smc->value("F0Ac", {0x1F, 0x40});
    double a = 0, b = 0;
    std::thread t1([&] { for (int i = 0; i < 50; ++i) a += bridge->read("F0Ac"); });
    std::thread t2([&] { for (int i = 0; i < 50; ++i) b += bridge->read("F0Ac"); });
    t1.join();
    t2.join();
    EXPECT_EQ(a, 100000.0);
    EXPECT_EQ(b, 100000.0);
    EXPECT_LE(smc->count(9), 2u);
    EXPECT_EQ(smc->count(5), 100u);
}

// ---- result codes ----

TEST_F(BridgeTest, ResultCodesMapToTheirErrorsAndTheStatusByteIsNeverExamined) {
    smc->keyInfo("F0Ac", 2, "fpe2");
    smc->value("F0Ac", {0, 0}, 0x85);
    smc->keyInfo("F0Tg", 2, "fpe2");
    smc->keyInfo("Ftst", 1, "ui8 ", 0x01);
    EXPECT_EQ(errorOf([&] { bridge->read("F0Ac"); }), SMCError::notReadable("F0Ac"));
    smc->writeResult("F0Tg", 0x86);
    EXPECT_EQ(errorOf([&] { bridge->write("F0Tg", 1000); }), SMCError::notWritable("F0Tg"));
    smc->writeResult("F0Tg", 0x01);
    EXPECT_EQ(errorOf([&] { bridge->write("F0Tg", 1000); }), SMCError::smcResult(1));
    EXPECT_EQ(errorOf([&] { bridge->keyInfo("Ftst"); }), SMCError::smcResult(1));

    smc->keyInfo("FNum", 1, "ui8 ");
    SMCParamStruct r{};
    r.status = 0xFF;
    r.bytes[0] = 2;
    smc->reply(SMCCommand::readBytes, "FNum", r);
    EXPECT_EQ(bridge->read("FNum"), 2.0);
}

// ---- codec failures ----

TEST_F(BridgeTest, CodecFailuresNameTheKeyAndNothingIsWritten) {
    smc->keyInfo("F0Tg", 2, "ui16");
    smc->keyInfo("F1Tg", 4, "ui16");
    smc->keyInfo("RPlt", 8, "ch8*");
    smc->value("RPlt", {'j', '3', '1', '4'});
    smc->keyInfo("F0Ac", 1, "fpe2");
    smc->value("F0Ac", {0x1F, 0x40});
    const std::pair<std::function<void()>, std::string> rows[] = {
        {[&] { bridge->write("F0Tg", 70000); }, "encode F0Tg: valueOutOfRange(70000.0)"},
        {[&] { bridge->write("F0Tg", 250000); }, "encode F0Tg: valueOutOfRange(250000.0)"},
        {[&] { bridge->write("F1Tg", 1200); }, "size mismatch for F1Tg: encoded 2 != 4"},
        {[&] { bridge->read("RPlt"); }, "decode RPlt: unsupportedType(\"ch8*\")"},
        {[&] { bridge->write("RPlt", 1); }, "encode RPlt: unsupportedType(\"ch8*\")"},
        {[&] { bridge->read("F0Ac"); }, "decode F0Ac: sizeMismatch(expected: 2, got: 1)"},
    };
    for (const auto& [call, text] : rows) EXPECT_EQ(errorOf(call), SMCError::codec(text)) << text;
    EXPECT_EQ(smc->count(6), 0u);
}

TEST_F(BridgeTest, ReadRawReturnsKeySizedBytesCappedAtThirtyTwo) {
    smc->keyInfo("BIG!", 40, "ch8*");
    std::vector<std::uint8_t> all(32);
    for (int i = 0; i < 32; ++i) all[i] = static_cast<std::uint8_t>(i + 1);
    smc->value("BIG!", all);
    const SMCRawValue raw = bridge->readRaw("BIG!");
    EXPECT_EQ(raw.bytes.size(), 32u);
    EXPECT_EQ(raw.bytes[31], 32);
    EXPECT_EQ(raw.type, SMCDataType::fromRaw(FourCC::code("ch8*")));

    smc->keyInfo("F0Md", 1, "ui8 ");
    smc->value("F0Md", {7, 8, 9});
    EXPECT_EQ(bridge->readRaw("F0Md").bytes, (SMCBytes{7}));
}

// ---- key count and enumeration ----

TEST_F(BridgeTest, KeyCountDecodesHashKeyByItsOwnTypeAndRefusesNonCounts) {
    smc->keyInfo("#KEY", 4, "flt ");
    smc->value("#KEY", {0x66, 0x66, 0x4E, 0x41});  // 12.9f
    EXPECT_EQ(bridge->keyCount(), 12) << "truncated toward zero";
    const std::pair<std::vector<std::uint8_t>, std::string> refused[] = {
        {{0x00, 0x00, 0x80, 0xBF}, "decode #KEY: valueOutOfRange(-1.0)"},
        {{0xCA, 0xF2, 0x49, 0x71}, ""},  // ~1e30f, beyond any long
        {{0x00, 0x00, 0x00, 0x5F}, ""},  // 2^63 exactly, one past the largest long
        {{0x00, 0x00, 0xC0, 0x7F}, "decode #KEY: valueOutOfRange(nan)"},
    };
    for (const auto& [bytes, text] : refused) {
        smc->value("#KEY", bytes);
        const SMCError e = errorOf([&] { bridge->keyCount(); });
        EXPECT_EQ(e.kind(), SMCError::Kind::codec);
        if (!text.empty()) {
            EXPECT_EQ(e, SMCError::codec(text));
        }
    }
}

TEST_F(BridgeTest, KeyAtIndexSendsTheIndexAndNamesTheReplyKey) {
    smc->keyAt(17, FourCC::code("TC0P"));
    smc->keyAt(4294967295u, 0x41FF4243u);
    EXPECT_EQ(bridge->key(17), "TC0P");
    EXPECT_EQ(bridge->key(4294967295LL), "A\xEF\xBF\xBD" "BC");
    const auto reqs = smc->requests();
    ASSERT_EQ(reqs.size(), 2u);
    SMCParamStruct expected = record(8, "");
    expected.data32 = 17;
    EXPECT_TRUE(same(reqs[0], expected));
}

TEST_F(BridgeTest, KeyAtIndexFailuresNameHashIdxAndIndicesOutsideThirtyTwoBitsMakeNoExchange) {
    smc->keyAt(3, 0, 0x84);
    smc->keyAt(4, 0, 0x85);
    const std::pair<long long, SMCError> rows[] = {
        {3, SMCError::keyNotFound("#IDX")},         {4, SMCError::notReadable("#IDX")},
        {-1, SMCError::keyNotFound("#IDX")},        {4294967296LL, SMCError::keyNotFound("#IDX")},
        {-4294967296LL + 5, SMCError::keyNotFound("#IDX")},
    };
    for (const auto& [index, error] : rows) EXPECT_EQ(errorOf([&] { bridge->key(index); }), error) << index;
    EXPECT_EQ(smc->total(), 2u);
}

// ---- malformed key names ----

TEST_F(BridgeTest, MalformedKeyNamesAreRefusedWithoutAnExchange) {
    const std::string names[] = {"", "F0A", "F10Ac", std::string("F0\xFF" "c", 4), std::string("\xE2\x82" "ab", 4)};
    for (const std::string& name : names) {
        EXPECT_EQ(errorOf([&] { bridge->keyInfo(name); }), SMCError::keyNotFound(name));
        EXPECT_EQ(errorOf([&] { bridge->read(name); }), SMCError::keyNotFound(name));
        EXPECT_EQ(errorOf([&] { bridge->readRaw(name); }), SMCError::keyNotFound(name));
        EXPECT_EQ(errorOf([&] { bridge->write(name, 1.0); }), SMCError::keyNotFound(name));
        EXPECT_FALSE(bridge->hasKey(name));
    }
    EXPECT_EQ(smc->total(), 0u);
}

TEST(BridgeConstruction, NullTransportIsRefused) {
    EXPECT_THROW(SMCKernelBridge(nullptr), std::invalid_argument);
}

}  // namespace
}  // namespace quorvane
