#include "shared/smc/four_cc.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <stdexcept>
#include <string>

namespace quorvane {
namespace {

TEST(FourCCCode, PacksFirstCharacterIntoMostSignificantByte) {
    EXPECT_EQ(FourCC::code("#KEY"), 0x234B4559u);
    EXPECT_EQ(FourCC::code("ui8 "), 0x75693820u);
    EXPECT_EQ(FourCC::code("F0Md"), 0x46304D64u);
}

TEST(FourCCCode, RefusesStringsThatAreNotExactlyFourBytes) {
    EXPECT_THROW(FourCC::code("abc"), std::invalid_argument);
    EXPECT_THROW(FourCC::code("abcde"), std::invalid_argument);
    EXPECT_THROW(FourCC::code(""), std::invalid_argument);
    std::uint32_t code = 7;
    EXPECT_FALSE(FourCC::tryCode("F10Ac", code));
    EXPECT_EQ(code, 7u) << "a refused key must leave the output untouched";
}

TEST(FourCCCode, RefusesFourBytesThatAreNotValidUtf8) {
    std::uint32_t code = 0;
    EXPECT_FALSE(FourCC::tryCode(std::string("ab\xFF" "c", 4), code));
    EXPECT_FALSE(FourCC::tryCode(std::string("a\xC3" "bc", 4), code));  // truncated sequence
    EXPECT_THROW(FourCC::code(std::string("\xC0\x80" "ab", 4)), std::invalid_argument);  // overlong
}

TEST(FourCCCode, AcceptsMultibyteUtf8OfFourBytes) {
    // "é" is two bytes, so "éab" is four bytes of UTF-8.
    std::uint32_t code = 0;
    ASSERT_TRUE(FourCC::tryCode("\xC3\xA9" "ab", code));
    EXPECT_EQ(code, 0xC3A96162u);
    EXPECT_EQ(FourCC::string(code), "\xC3\xA9" "ab");
}

TEST(FourCCString, KeepsTrailingSpacesAndZeroBytes) {
    EXPECT_EQ(FourCC::string(0x75693820u), "ui8 ");
    EXPECT_EQ(FourCC::string(0x41420000u), std::string("AB\0\0", 4));
}

TEST(FourCCString, ReplacesInvalidBytesWithReplacementCharacter) {
    const std::string s = FourCC::string(0x41FF4243u);
    EXPECT_EQ(s, "A\xEF\xBF\xBD" "BC");
}

TEST(FourCCString, RoundTripsEveryValidAsciiKey) {
    for (const char* key : {"#KEY", "FNum", "Ftst", "F9Tg", "flt ", "TC0P"}) {
        EXPECT_EQ(FourCC::string(FourCC::code(key)), key);
    }
}

}  // namespace
}  // namespace quorvane
