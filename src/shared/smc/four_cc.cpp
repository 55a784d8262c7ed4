#include "shared/smc/four_cc.hpp"

#include <stdexcept>

namespace quorvane::FourCC {

namespace {

struct Utf8Step {
    std::size_t length;  // bytes consumed: the whole sequence, or its maximal invalid subpart
    bool valid;
};

// The UTF-8 sequence starting at s[i]. An invalid one covers its maximal subpart (the longest
// prefix of some valid sequence, at least one byte), which readers replace with one U+FFFD.
Utf8Step utf8Step(std::string_view s, std::size_t i) {
    const auto b0 = static_cast<unsigned char>(s[i]);
    if (b0 < 0x80) return {1, true};
    std::size_t need = 0;
    unsigned char lo = 0x80, hi = 0xBF;  // allowed range of the second byte
    if (b0 >= 0xC2 && b0 <= 0xDF) {
        need = 2;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
        need = 3;
        if (b0 == 0xE0) lo = 0xA0;  // overlong
        if (b0 == 0xED) hi = 0x9F;  // surrogates
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
        need = 4;
        if (b0 == 0xF0) lo = 0x90;  // overlong
        if (b0 == 0xF4) hi = 0x8F;  // above U+10FFFF
    } else {
        return {1, false};
    }
    std::size_t n = 1;
    for (; n < need && i + n < s.size(); ++n) {
        const auto b = static_cast<unsigned char>(s[i + n]);
        if (b < lo || b > hi) break;
        lo = 0x80;
        hi = 0xBF;
    }
    return {n, n == need};
}

bool validUtf8(std::string_view s) {
    for (std::size_t i = 0; i < s.size();) {
        const Utf8Step step = utf8Step(s, i);
        if (!step.valid) return false;
        i += step.length;
    }
    return true;
}

}  // namespace

bool tryCode(std::string_view text, std::uint32_t& code) {
    if (text.size() != 4 || !validUtf8(text)) return false;
    std::uint32_t c = 0;
    for (char ch : text) c = (c << 8) | static_cast<unsigned char>(ch);
    code = c;
    return true;
}

std::uint32_t code(std::string_view text) {
    std::uint32_t c = 0;
    if (!tryCode(text, c)) {
        throw std::invalid_argument("FourCC.code: key must be exactly four UTF-8 bytes, got " +
                                    std::to_string(text.size()) + " bytes");
    }
    return c;
}

std::string string(std::uint32_t code) {
    const char raw[4] = {static_cast<char>(code >> 24), static_cast<char>(code >> 16),
                         static_cast<char>(code >> 8), static_cast<char>(code)};
    const std::string_view s(raw, 4);
    std::string out;
    out.reserve(4);
    for (std::size_t i = 0; i < s.size();) {
        const Utf8Step step = utf8Step(s, i);
        if (step.valid) {
            out.append(s.substr(i, step.length));
        } else {
            out += "\xEF\xBF\xBD";  // U+FFFD
        }
        i += step.length;
    }
    return out;
}

}  // namespace quorvane::FourCC
