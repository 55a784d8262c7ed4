// The SMC value codec as tables: worked values per type, range edges, error payloads and their
// texts, and the one number-to-text rule every message uses.
#include "shared/smc/smc_data_codec.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "shared/smc/four_cc.hpp"

namespace quorvane {
namespace {

using Kind = SMCDataType::Kind;
using Bytes = std::vector<std::uint8_t>;
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

const SMCDataType fpe2 = SMCDataType::of(Kind::fpe2);
const SMCDataType sp78 = SMCDataType::of(Kind::sp78);
const SMCDataType flt = SMCDataType::of(Kind::flt);
const SMCDataType ui8 = SMCDataType::of(Kind::ui8);
const SMCDataType ui16 = SMCDataType::of(Kind::ui16);
const SMCDataType ui32 = SMCDataType::of(Kind::ui32);
const SMCDataType flag = SMCDataType::of(Kind::flag);
const SMCDataType other = SMCDataType::fromRaw(FourCC::code("ch8*"));

Bytes encode(double value, SMCDataType type) {
    const SMCBytes b = SMCDataCodec::encode(value, type);
    return {b.begin(), b.end()};
}

template <typename F>
std::string errorText(F&& f) {
    try {
        f();
    } catch (const SMCCodecError& e) {
        return e.description();
    }
    return "no error";
}

TEST(SMCDataTypeFromRaw, KnownCodesAndOtherCarryingTheCode) {
    const std::pair<const char*, SMCDataType> known[] = {{"fpe2", fpe2}, {"sp78", sp78}, {"flt ", flt}, {"ui8 ", ui8},
                                                         {"ui16", ui16}, {"ui32", ui32}, {"flag", flag}};
    for (const auto& [code, type] : known) {
        EXPECT_EQ(SMCDataType::fromRaw(FourCC::code(code)), type) << code;
        EXPECT_EQ(SMCDataCodec::encode(1.0, type).size(), type.size()) << code;
    }
    EXPECT_EQ(other.kind(), Kind::other);
    EXPECT_EQ(other.rawType(), FourCC::code("ch8*"));
    EXPECT_FALSE(other == SMCDataType::fromRaw(FourCC::code("ui64")));
    EXPECT_TRUE(other == SMCDataType::fromRaw(FourCC::code("ch8*")));
    EXPECT_EQ(SMCBytes().count, 0u);
    // "flt" without its trailing space is not the float type.
    EXPECT_EQ(SMCDataType::fromRaw(FourCC::code(std::string("flt\0", 4))).kind(), Kind::other);
}

struct DecodeRow {
    Bytes bytes;
    SMCDataType type;
    double value;
};

TEST(SMCDataCodecDecode, WorkedValuesPerType) {
    const DecodeRow rows[] = {
        {{0x1F, 0x40}, fpe2, 2000.0},         {{0xFF, 0xFF}, fpe2, 16383.75},
        {{0x1F, 0x40, 0xFF}, fpe2, 2000.0},   {{0x28, 0x80}, sp78, 40.5},
        {{0xFF, 0x80}, sp78, -0.5},           {{0x80, 0x00}, sp78, -128.0},
        {{0x7F, 0xFF}, sp78, 127.99609375},   {{0xAB}, ui8, 171.0},
        {{0x07, 0xD0}, ui16, 2000.0},         {{0xFF, 0xFF, 0xFF, 0xFF}, ui32, 4294967295.0},
        {{0, 0, 0x07, 0xD0, 0xFF}, ui32, 2000.0},
        {{0x00, 0x00, 0xFA, 0x44}, flt, 2000.0}, {{0x00, 0x00, 0x00, 0xBF}, flt, -0.5},
        {{0x00}, flag, 0.0},                  {{0x80}, flag, 1.0},
    };
    for (const auto& r : rows) EXPECT_EQ(SMCDataCodec::decode(r.bytes, r.type), r.value) << r.type.name();
}

TEST(SMCDataCodecDecode, FailuresCarryTheirPayloadsAndTexts) {
    const std::tuple<Bytes, SMCDataType, std::string> rows[] = {
        {{0x01}, ui16, "sizeMismatch(expected: 2, got: 1)"},
        {{}, flag, "sizeMismatch(expected: 1, got: 0)"},
        {{1, 2, 3}, flt, "sizeMismatch(expected: 4, got: 3)"},
        {{0x00, 0x00, 0x80, 0x7F}, flt, "valueOutOfRange(inf)"},
        {{0x00, 0x00, 0xC0, 0xFF}, flt, "valueOutOfRange(nan)"},
        {{1, 2, 3, 4}, other, "unsupportedType(\"ch8*\")"},
        {{}, other, "unsupportedType(\"ch8*\")"},
    };
    for (const auto& [bytes, type, text] : rows) {
        EXPECT_EQ(errorText([&] { SMCDataCodec::decode(bytes, type); }), text) << type.name();
    }
}

struct EncodeRow {
    double value;
    SMCDataType type;
    Bytes bytes;  // empty: the value is out of range
};

TEST(SMCDataCodecEncode, RoundingAndRangeEdgesPerType) {
    const double floatMidpoint = std::ldexp(1.0, 128) - std::ldexp(1.0, 103);  // rounds to infinity
    const EncodeRow rows[] = {
        {2000.0, fpe2, {0x1F, 0x40}},  {1800.3, fpe2, {0x1C, 0x21}},  {0.125, fpe2, {0x00, 0x01}},
        {16383.75, fpe2, {0xFF, 0xFF}}, {16383.8, fpe2, {}},          {-0.1, fpe2, {}},
        {0.0, fpe2, {0x00, 0x00}},
        {-128.0, sp78, {0x80, 0x00}},  {127.99609375, sp78, {0x7F, 0xFF}}, {-0.5, sp78, {0xFF, 0x80}},
        {-1.0 / 512.0, sp78, {0xFF, 0xFF}}, {128.0, sp78, {}},        {-128.001, sp78, {}},
        {2.5, ui8, {0x03}},            {255.4, ui8, {0xFF}},          {255.5, ui8, {}},
        {-0.4, ui8, {0x00}},           {-0.6, ui8, {}},               {-1e300, ui8, {}},
        {65535.0, ui16, {0xFF, 0xFF}}, {65535.5, ui16, {}},           {2000.0, ui32, {0, 0, 0x07, 0xD0}},
        {4294967295.0, ui32, {0xFF, 0xFF, 0xFF, 0xFF}}, {4294967295.5, ui32, {}}, {1e300, ui32, {}},
        {2000.0, flt, {0x00, 0x00, 0xFA, 0x44}},
        {std::nextafter(floatMidpoint, 0.0), flt, {0xFF, 0xFF, 0x7F, 0x7F}},
        {floatMidpoint, flt, {}},      {-1e39, flt, {}},
        {0.0, flag, {0x00}},           {-0.0, flag, {0x00}},          {-3.0, flag, {0x01}},
        {1e-300, flag, {0x01}},
    };
    for (const auto& r : rows) {
        if (r.bytes.empty()) {
            // The payload is the value as passed in, not the scaled or rounded one.
            EXPECT_EQ(errorText([&] { SMCDataCodec::encode(r.value, r.type); }),
                      "valueOutOfRange(" + shortestDecimal(r.value) + ")")
                << r.value << " as " << r.type.name();
        } else {
            EXPECT_EQ(encode(r.value, r.type), r.bytes) << r.value << " as " << r.type.name();
        }
    }
}

TEST(SMCDataCodecEncode, NonFiniteAndOtherTypesFailForEveryType) {
    for (SMCDataType t : {fpe2, sp78, flt, ui8, ui16, ui32, flag, other}) {
        EXPECT_EQ(errorText([&] { SMCDataCodec::encode(kNaN, t); }), "valueOutOfRange(nan)") << t.name();
        EXPECT_EQ(errorText([&] { SMCDataCodec::encode(-kInf, t); }), "valueOutOfRange(-inf)") << t.name();
    }
    EXPECT_EQ(errorText([] { SMCDataCodec::encode(1.0, SMCDataType::fromRaw(FourCC::code("ui64"))); }),
              "unsupportedType(\"ui64\")");
}

TEST(ShortestDecimal, FixedInsideTheExactIntegerRangeExponentOutside) {
    const std::pair<double, const char*> rows[] = {
        {0.0, "0.0"}, {-0.0, "-0.0"}, {-3.0, "-3.0"}, {250000.0, "250000.0"}, {4294967295.0, "4294967295.0"},
        {9007199254740991.0, "9007199254740991.0"},  // 2^53 - 1, the last fixed value
        {9007199254740992.0, "9.007199254740992e+15"}, {3e20, "3e+20"}, {-1e300, "-1e+300"},
        {0.1 + 0.2, "0.30000000000000004"}, {16383.8, "16383.8"}, {123456.789, "123456.789"},
        {1e-4, "0.0001"}, {9.9e-5, "9.9e-05"}, {-1e-7, "-1e-07"}, {5e-324, "5e-324"},
        {kNaN, "nan"}, {-kNaN, "nan"}, {kInf, "inf"}, {-kInf, "-inf"},
    };
    for (const auto& [value, text] : rows) {
        EXPECT_EQ(shortestDecimal(value), text);
        if (std::isfinite(value)) {
            EXPECT_EQ(std::strtod(text, nullptr), value) << text << " must read back exactly";
        }
    }
}

TEST(SMCBytesValue, HoldsAtMostThirtyTwoBytes) {
    const Bytes forty(40, 0xAA);
    EXPECT_EQ(SMCBytes{std::span<const std::uint8_t>(forty)}.size(), 32u);
    EXPECT_FALSE((SMCBytes{1, 2}) == (SMCBytes{1, 2, 0}));
}

}  // namespace
}  // namespace quorvane
