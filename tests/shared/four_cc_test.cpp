#include "shared/smc/four_cc.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <stdexcept>
#include <string>

namespace quorvane {
namespace {

const std::string kFFFD = "\xEF\xBF\xBD";

TEST(FourCCCode, PacksFirstCharacterIntoMostSignificantByteAndRoundTrips) {
    EXPECT_EQ(FourCC::code("#KEY"), 0x234B4559u);
    EXPECT_EQ(FourCC::code("ui8 "), 0x75693820u);
    EXPECT_EQ(FourCC::code("\xC3\xA9" "ab"), 0xC3A96162u);  // "é" is two bytes
    EXPECT_EQ(FourCC::code(std::string_view("F0Md\xFF", 4)), 0x46304D64u) << "only the view's bytes count";
    for (const char* key : {"#KEY", "FNum", "F9Tg", "flt ", "\xC3\xA9" "ab"}) {
        EXPECT_EQ(FourCC::string(FourCC::code(key)), key);
    }
    EXPECT_EQ(FourCC::string(0x41420000u), std::string("AB\0\0", 4)) << "nothing is trimmed";
}

TEST(FourCCCode, RefusesAnythingButFourBytesOfValidUtf8) {
    for (const std::string& bad : {std::string("abc"), std::string("abcde"), std::string(),
                                  std::string("ab\xFF" "c", 4), std::string("a\xC3" "bc", 4),
                                  std::string("\xC0\x80" "ab", 4), std::string("\xED\xA0\x80" "a", 4)}) {
        std::uint32_t code = 7;
        EXPECT_FALSE(FourCC::tryCode(bad, code)) << bad;
        EXPECT_EQ(code, 7u) << "a refused key must leave the output untouched";
        EXPECT_THROW(FourCC::code(bad), std::invalid_argument);
    }
}

TEST(FourCCString, EachBrokenSequenceBecomesOneReplacementCharacter) {
    // Maximal subpart: a lead byte with the continuation bytes that still fit it is one broken
    // sequence; a byte that cannot start or continue one is a sequence of its own.
    const std::pair<std::uint32_t, std::string> rows[] = {
        {0x41FF4243u, "A" + kFFFD + "BC"},              // invalid byte
        {0x41E28241u, "A" + kFFFD + "A"},     // three-byte sequence cut after two
        {0xF09F9841u, kFFFD + "A"},                      // four-byte sequence cut after three
        {0x414243E2u, "ABC" + kFFFD},  // lead byte at the very end
        {0xC3414243u, kFFFD + "ABC"},                    // two-byte lead, no continuation
        {0xE0804142u, kFFFD + kFFFD + "AB"},             // overlong: E0 then 80 are separate
        {0xEDA08041u, kFFFD + kFFFD + kFFFD + "A"},      // surrogate: each byte separate
        {0x80808080u, kFFFD + kFFFD + kFFFD + kFFFD},    // lone continuation bytes
        {0xF4908080u, kFFFD + kFFFD + kFFFD + kFFFD},    // above U+10FFFF
        {0xC3A98041u, "\xC3\xA9" + kFFFD + "A"},          // a whole "é", then a stray continuation
        {0xF1808080u, "\xF1\x80\x80\x80"},                  // U+40000: only F0 has the overlong bound
        {0xF08F8080u, kFFFD + kFFFD + kFFFD + kFFFD},    // overlong four-byte form
    };
    for (const auto& [code, text] : rows) EXPECT_EQ(FourCC::string(code), text) << std::hex << code;
}

}  // namespace
}  // namespace quorvane
