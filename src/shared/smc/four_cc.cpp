#include "shared/smc/four_cc.hpp"

#include <stdexcept>

namespace quorvane::FourCC {

namespace {

// Length of the valid UTF-8 sequence starting at s[i], or 0 if it is invalid.
std::size_t utf8SequenceLength(std::string_view s, std::size_t i) {
    const auto b0 = static_cast<unsigned char>(s[i]);
    const std::size_t left = s.size() - i;
    auto cont = [&](std::size_t k) { return k < left && (static_cast<unsigned char>(s[i + k]) & 0xC0) == 0x80; };
    if (b0 < 0x80) return 1;
    if (b0 >= 0xC2 && b0 <= 0xDF) return cont(1) ? 2 : 0;
    if (b0 >= 0xE0 && b0 <= 0xEF) {
        if (!cont(1) || !cont(2)) return 0;
        const auto b1 = static_cast<unsigned char>(s[i + 1]);
        if (b0 == 0xE0 && b1 < 0xA0) return 0;  // overlong
        if (b0 == 0xED && b1 > 0x9F) return 0;  // surrogates
        return 3;
    }
    if (b0 >= 0xF0 && b0 <= 0xF4) {
        if (!cont(1) || !cont(2) || !cont(3)) return 0;
        const auto b1 = static_cast<unsigned char>(s[i + 1]);
        if (b0 == 0xF0 && b1 < 0x90) return 0;
        if (b0 == 0xF4 && b1 > 0x8F) return 0;
        return 4;
    }
    return 0;
}

bool validUtf8(std::string_view s) {
    for (std::size_t i = 0; i < s.size();) {
        const std::size_t n = utf8SequenceLength(s, i);
        if (n == 0) return false;
        i += n;
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
        const std::size_t n = utf8SequenceLength(s, i);
        if (n == 0) {
            out += "\xEF\xBF\xBD";  // U+FFFD for each invalid byte
            ++i;
        } else {
            out.append(s.substr(i, n));
            i += n;
        }
    }
    return out;
}

}  // namespace quorvane::FourCC
