#include "shared/smc/smc_data_codec.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "shared/smc/four_cc.hpp"

namespace quorvane {
namespace {

using Kind = SMCDataType::Kind;

const SMCDataType fpe2 = SMCDataType::of(Kind::fpe2);
const SMCDataType sp78 = SMCDataType::of(Kind::sp78);
const SMCDataType flt = SMCDataType::of(Kind::flt);
const SMCDataType ui8 = SMCDataType::of(Kind::ui8);
const SMCDataType ui16 = SMCDataType::of(Kind::ui16);
const SMCDataType ui32 = SMCDataType::of(Kind::ui32);
const SMCDataType flag = SMCDataType::of(Kind::flag);

double decode(std::vector<std::uint8_t> bytes, SMCDataType type) { return SMCDataCodec::decode(bytes, type); }

std::vector<std::uint8_t> encode(double value, SMCDataType type) {
    const SMCBytes b = SMCDataCodec::encode(value, type);
    return {b.begin(), b.end()};
}

SMCCodecError encodeError(double value, SMCDataType type) {
    try {
        SMCDataCodec::encode(value, type);
    } catch (const SMCCodecError& e) {
        return e;
    }
    ADD_FAILURE() << "encode(" << value << ", " << type.name() << ") did not fail";
    return SMCCodecError::sizeMismatch(-1, -1);
}

SMCCodecError decodeError(std::vector<std::uint8_t> bytes, SMCDataType type) {
    try {
        SMCDataCodec::decode(bytes, type);
    } catch (const SMCCodecError& e) {
        return e;
    }
    ADD_FAILURE() << "decode as " << type.name() << " did not fail";
    return SMCCodecError::sizeMismatch(-1, -1);
}

// ---- SMCDataType ----

TEST(SMCDataTypeFromRaw, RecognisesEveryTypeCode) {
    EXPECT_EQ(SMCDataType::fromRaw(FourCC::code("fpe2")), fpe2);
    EXPECT_EQ(SMCDataType::fromRaw(FourCC::code("sp78")), sp78);
    EXPECT_EQ(SMCDataType::fromRaw(FourCC::code("flt ")), flt);
    EXPECT_EQ(SMCDataType::fromRaw(FourCC::code("ui8 ")), ui8);
    EXPECT_EQ(SMCDataType::fromRaw(FourCC::code("ui16")), ui16);
    EXPECT_EQ(SMCDataType::fromRaw(FourCC::code("ui32")), ui32);
    EXPECT_EQ(SMCDataType::fromRaw(FourCC::code("flag")), flag);
}

TEST(SMCDataTypeFromRaw, UnknownCodeBecomesOtherCarryingTheCode) {
    const SMCDataType t = SMCDataType::fromRaw(FourCC::code("ch8*"));
    EXPECT_EQ(t.kind(), Kind::other);
    EXPECT_EQ(t.rawType(), FourCC::code("ch8*"));
    EXPECT_EQ(t.size(), 0u);
    EXPECT_FALSE(t == SMCDataType::fromRaw(FourCC::code("ui64")));
    EXPECT_TRUE(t == SMCDataType::fromRaw(FourCC::code("ch8*")));
    // "flt" without its trailing space is not the float type.
    EXPECT_EQ(SMCDataType::fromRaw(FourCC::code(std::string("flt\0", 4))).kind(), Kind::other);
}

TEST(SMCDataTypeSize, MatchesEncodedLength) {
    for (SMCDataType t : {fpe2, sp78, flt, ui8, ui16, ui32, flag}) {
        EXPECT_EQ(SMCDataCodec::encode(1.0, t).size(), t.size()) << t.name();
    }
}

// ---- decode ----

TEST(SMCDataCodecDecode, FixedPointWorkedValues) {
    EXPECT_EQ(decode({0x1F, 0x40}, fpe2), 2000.0);
    EXPECT_EQ(decode({0xFF, 0xFF}, fpe2), 16383.75);
    EXPECT_EQ(decode({0x28, 0x80}, sp78), 40.5);
    EXPECT_EQ(decode({0xFF, 0x80}, sp78), -0.5);
    EXPECT_EQ(decode({0x80, 0x00}, sp78), -128.0);
    EXPECT_EQ(decode({0x7F, 0xFF}, sp78), 127.99609375);
}

TEST(SMCDataCodecDecode, IntegersAreBigEndian) {
    EXPECT_EQ(decode({0xAB}, ui8), 171.0);
    EXPECT_EQ(decode({0x07, 0xD0}, ui16), 2000.0);
    EXPECT_EQ(decode({0x00, 0x00, 0x07, 0xD0}, ui32), 2000.0);
    EXPECT_EQ(decode({0xFF, 0xFF, 0xFF, 0xFF}, ui32), 4294967295.0);
}

TEST(SMCDataCodecDecode, FloatIsLittleEndianSinglePrecision) {
    EXPECT_EQ(decode({0x00, 0x00, 0xFA, 0x44}, flt), 2000.0);
    EXPECT_EQ(decode({0x00, 0x00, 0x00, 0xBF}, flt), -0.5);
}

TEST(SMCDataCodecDecode, NonFiniteFloatIsOutOfRange) {
    const SMCCodecError inf = decodeError({0x00, 0x00, 0x80, 0x7F}, flt);
    EXPECT_EQ(inf, SMCCodecError::valueOutOfRange(std::numeric_limits<double>::infinity()));
    EXPECT_EQ(inf.description(), "valueOutOfRange(inf)");
    const SMCCodecError nan = decodeError({0x00, 0x00, 0xC0, 0xFF}, flt);
    EXPECT_EQ(nan.kind(), SMCCodecError::Kind::valueOutOfRange);
    EXPECT_EQ(nan.description(), "valueOutOfRange(nan)");
}

TEST(SMCDataCodecDecode, FlagIsNonZero) {
    EXPECT_EQ(decode({0x00}, flag), 0.0);
    EXPECT_EQ(decode({0x01}, flag), 1.0);
    EXPECT_EQ(decode({0x80}, flag), 1.0);
}

TEST(SMCDataCodecDecode, TooFewBytesIsSizeMismatch) {
    EXPECT_EQ(decodeError({0x01}, ui16), SMCCodecError::sizeMismatch(2, 1));
    EXPECT_EQ(decodeError({0x01}, ui16).description(), "sizeMismatch(expected: 2, got: 1)");
    EXPECT_EQ(decodeError({}, flag), SMCCodecError::sizeMismatch(1, 0));
    EXPECT_EQ(decodeError({1, 2, 3}, flt), SMCCodecError::sizeMismatch(4, 3));
}

TEST(SMCDataCodecDecode, ExtraBytesAreIgnored) {
    EXPECT_EQ(decode({0x00, 0x00, 0x07, 0xD0, 0xFF}, ui32), 2000.0);
    EXPECT_EQ(decode({0x1F, 0x40, 0xFF, 0xFF}, fpe2), 2000.0);
}

TEST(SMCDataCodecDecode, OtherTypeIsUnsupportedWhateverTheBytes) {
    const SMCDataType other = SMCDataType::fromRaw(FourCC::code("ch8*"));
    EXPECT_EQ(decodeError({1, 2, 3, 4}, other), SMCCodecError::unsupportedType("ch8*"));
    EXPECT_EQ(decodeError({}, other).description(), "unsupportedType(\"ch8*\")");
}

// ---- encode ----

TEST(SMCDataCodecEncode, FixedPointWorkedValues) {
    EXPECT_EQ(encode(2000.0, fpe2), (std::vector<std::uint8_t>{0x1F, 0x40}));
    EXPECT_EQ(encode(1800.3, fpe2), (std::vector<std::uint8_t>{0x1C, 0x21}));
    EXPECT_EQ(encode(16383.75, fpe2), (std::vector<std::uint8_t>{0xFF, 0xFF}));
    EXPECT_EQ(encode(-128.0, sp78), (std::vector<std::uint8_t>{0x80, 0x00}));
    EXPECT_EQ(encode(127.99609375, sp78), (std::vector<std::uint8_t>{0x7F, 0xFF}));
    EXPECT_EQ(encode(-0.5, sp78), (std::vector<std::uint8_t>{0xFF, 0x80}));
}

TEST(SMCDataCodecEncode, RoundsHalvesAwayFromZero) {
    EXPECT_EQ(encode(0.125, fpe2), (std::vector<std::uint8_t>{0x00, 0x01}));  // 0.5 → 1
    EXPECT_EQ(encode(2.5, ui8), (std::vector<std::uint8_t>{0x03}));
    EXPECT_EQ(encode(255.4, ui8), (std::vector<std::uint8_t>{0xFF}));
    EXPECT_EQ(encode(-0.4, ui8), (std::vector<std::uint8_t>{0x00}));
    EXPECT_EQ(encode(-1.0 / 512.0, sp78), (std::vector<std::uint8_t>{0xFF, 0xFF}));  // -0.5 → -1
}

TEST(SMCDataCodecEncode, RangeIsCheckedOnTheValueForFixedPoint) {
    EXPECT_EQ(encodeError(-0.1, fpe2), SMCCodecError::valueOutOfRange(-0.1));
    EXPECT_EQ(encodeError(-0.1, fpe2).description(), "valueOutOfRange(-0.1)");
    EXPECT_EQ(encodeError(16383.8, fpe2).description(), "valueOutOfRange(16383.8)");
    EXPECT_EQ(encodeError(128.0, sp78).description(), "valueOutOfRange(128.0)");
    EXPECT_EQ(encodeError(-128.001, sp78).kind(), SMCCodecError::Kind::valueOutOfRange);
}

TEST(SMCDataCodecEncode, RangeIsCheckedOnTheRoundedValueForIntegers) {
    EXPECT_EQ(encodeError(255.5, ui8), SMCCodecError::valueOutOfRange(255.5));
    EXPECT_EQ(encodeError(-0.6, ui8), SMCCodecError::valueOutOfRange(-0.6));
    EXPECT_EQ(encode(65535.0, ui16), (std::vector<std::uint8_t>{0xFF, 0xFF}));
    EXPECT_EQ(encodeError(65535.5, ui16).kind(), SMCCodecError::Kind::valueOutOfRange);
    EXPECT_EQ(encodeError(70000.0, ui16).description(), "valueOutOfRange(70000.0)");
    EXPECT_EQ(encode(4294967295.0, ui32), (std::vector<std::uint8_t>{0xFF, 0xFF, 0xFF, 0xFF}));
    EXPECT_EQ(encode(2000.0, ui32), (std::vector<std::uint8_t>{0x00, 0x00, 0x07, 0xD0}));
    EXPECT_EQ(encodeError(4294967295.5, ui32).kind(), SMCCodecError::Kind::valueOutOfRange);
    EXPECT_EQ(encodeError(1e300, ui32).kind(), SMCCodecError::Kind::valueOutOfRange);
    EXPECT_EQ(encodeError(-1e300, ui8).kind(), SMCCodecError::Kind::valueOutOfRange);
}

TEST(SMCDataCodecEncode, FloatIsLittleEndianAndMustStayFinite) {
    EXPECT_EQ(encode(2000.0, flt), (std::vector<std::uint8_t>{0x00, 0x00, 0xFA, 0x44}));
    EXPECT_EQ(encodeError(1e39, flt), SMCCodecError::valueOutOfRange(1e39));
    EXPECT_EQ(encodeError(1e39, flt).description(), "valueOutOfRange(1e+39)");
    EXPECT_EQ(encodeError(-1e39, flt).kind(), SMCCodecError::Kind::valueOutOfRange);
    const double fltMax = std::numeric_limits<float>::max();
    EXPECT_EQ(encode(fltMax, flt), (std::vector<std::uint8_t>{0xFF, 0xFF, 0x7F, 0x7F}));
}

TEST(SMCDataCodecEncode, FloatOverflowBoundaryFollowsNearestRounding) {
    // 2^128 - 2^103 is the midpoint between FLT_MAX and 2^128: it rounds to infinity, the double
    // just below it rounds to FLT_MAX.
    const double midpoint = std::ldexp(1.0, 128) - std::ldexp(1.0, 103);
    EXPECT_EQ(encodeError(midpoint, flt).kind(), SMCCodecError::Kind::valueOutOfRange);
    const double below = std::nextafter(midpoint, 0.0);
    EXPECT_EQ(encode(below, flt), (std::vector<std::uint8_t>{0xFF, 0xFF, 0x7F, 0x7F}));
}

TEST(SMCDataCodecEncode, FlagIsOneForAnyNonZero) {
    EXPECT_EQ(encode(0.0, flag), (std::vector<std::uint8_t>{0x00}));
    EXPECT_EQ(encode(-0.0, flag), (std::vector<std::uint8_t>{0x00}));
    EXPECT_EQ(encode(-3.0, flag), (std::vector<std::uint8_t>{0x01}));
    EXPECT_EQ(encode(1e-300, flag), (std::vector<std::uint8_t>{0x01}));
}

TEST(SMCDataCodecEncode, NonFiniteFailsForEveryType) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    const SMCDataType other = SMCDataType::fromRaw(FourCC::code("ch8*"));
    for (SMCDataType t : {fpe2, sp78, flt, ui8, ui16, ui32, flag, other}) {
        EXPECT_EQ(encodeError(nan, t).kind(), SMCCodecError::Kind::valueOutOfRange) << t.name();
        EXPECT_EQ(encodeError(inf, t), SMCCodecError::valueOutOfRange(inf)) << t.name();
        EXPECT_EQ(encodeError(-inf, t).description(), "valueOutOfRange(-inf)") << t.name();
    }
    EXPECT_EQ(encodeError(-nan, flag).description(), "valueOutOfRange(nan)");
}

TEST(SMCDataCodecEncode, OtherTypeIsUnsupported) {
    const SMCDataType other = SMCDataType::fromRaw(FourCC::code("ui64"));
    EXPECT_EQ(encodeError(1.0, other), SMCCodecError::unsupportedType("ui64"));
}

TEST(SMCDataCodecRoundTrip, RepresentableValuesSurviveEncodeThenDecode) {
    for (double v : {0.0, 0.25, 1800.5, 16383.75}) EXPECT_EQ(decode(encode(v, fpe2), fpe2), v);
    for (double v : {-128.0, -0.5, 40.5, 127.99609375}) EXPECT_EQ(decode(encode(v, sp78), sp78), v);
    for (double v : {-1.5, 0.0, 2000.0, 1e30}) {
        EXPECT_EQ(decode(encode(v, flt), flt), static_cast<double>(static_cast<float>(v)));
    }
    for (double v : {0.0, 255.0}) EXPECT_EQ(decode(encode(v, ui8), ui8), v);
    for (double v : {0.0, 1234.0, 65535.0}) EXPECT_EQ(decode(encode(v, ui16), ui16), v);
    for (double v : {0.0, 70000.0, 4294967295.0}) EXPECT_EQ(decode(encode(v, ui32), ui32), v);
}

// ---- textual forms ----

TEST(ShortestDecimal, IntegralValuesGetPointZero) {
    EXPECT_EQ(shortestDecimal(2000.0), "2000.0");
    EXPECT_EQ(shortestDecimal(0.0), "0.0");
    EXPECT_EQ(shortestDecimal(-0.0), "-0.0");
    EXPECT_EQ(shortestDecimal(-3.0), "-3.0");
    EXPECT_EQ(shortestDecimal(4294967295.0), "4294967295.0");
}

TEST(ShortestDecimal, FractionsAreShortestRoundTrip) {
    EXPECT_EQ(shortestDecimal(0.1), "0.1");
    EXPECT_EQ(shortestDecimal(16383.8), "16383.8");
    EXPECT_EQ(shortestDecimal(1800.3), "1800.3");
    EXPECT_EQ(shortestDecimal(0.1 + 0.2), "0.30000000000000004");
}

TEST(ShortestDecimal, ExponentFormsAndNonFinite) {
    EXPECT_EQ(shortestDecimal(1e39), "1e+39");
    EXPECT_EQ(shortestDecimal(-1e-7), "-1e-07");
    EXPECT_EQ(shortestDecimal(std::numeric_limits<double>::quiet_NaN()), "nan");
    EXPECT_EQ(shortestDecimal(-std::numeric_limits<double>::quiet_NaN()), "nan");
    EXPECT_EQ(shortestDecimal(std::numeric_limits<double>::infinity()), "inf");
    EXPECT_EQ(shortestDecimal(-std::numeric_limits<double>::infinity()), "-inf");
}

TEST(SMCCodecErrorEquality, SameCaseAndPayload) {
    EXPECT_EQ(SMCCodecError::sizeMismatch(2, 1), SMCCodecError::sizeMismatch(2, 1));
    EXPECT_FALSE(SMCCodecError::sizeMismatch(2, 1) == SMCCodecError::sizeMismatch(2, 0));
    EXPECT_FALSE(SMCCodecError::unsupportedType("abcd") == SMCCodecError::unsupportedType("abce"));
    EXPECT_FALSE(SMCCodecError::valueOutOfRange(1.0) == SMCCodecError::sizeMismatch(1, 1));
}

TEST(SMCBytesValue, HoldsAtMostThirtyTwoBytes) {
    const std::vector<std::uint8_t> forty(40, 0xAA);
    const SMCBytes b{std::span<const std::uint8_t>(forty)};
    EXPECT_EQ(b.size(), 32u);
    EXPECT_EQ((SMCBytes{1, 2}), (SMCBytes{1, 2}));
    EXPECT_FALSE((SMCBytes{1, 2}) == (SMCBytes{1, 2, 0}));
}

}  // namespace
}  // namespace quorvane
