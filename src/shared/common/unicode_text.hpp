// Reading UTF-8 text character by character where a number hides in it: code points, and the
// whole-number value of each user-perceived character (extended grapheme cluster). The tables
// (unicode_tables.inc) are generated from the Unicode character database by
// scripts/generate-unicode-tables. Pure, thread-safe.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

namespace quorvane::unicode {

// The code point at text[i], advancing i past it. Malformed bytes are consumed one at a time as
// U+FFFD. Precondition: i < text.size().
char32_t nextCodePoint(std::string_view text, std::size_t& i);

// Calls f(value) for every character of text that represents a whole number (a digit of any
// script, a superscript, a circled number, a Han numeral, ...), in order. A character of several
// code points ("8" with a combining keycap) represents none. Stops early when f returns false.
template <class F>
void forEachWholeNumber(std::string_view text, F f);

// The numeric value of a code point when it is a whole number.
std::optional<std::int64_t> wholeNumberValue(char32_t cp);
// Code points that share a character with the one after them (grapheme class Prepend) ...
bool isPrepend(char32_t cp);
// ... and those that share it with the one before (Extend, ZWJ, SpacingMark).
bool joinsPrevious(char32_t cp);

namespace tables {
struct CodePointRange {
    char32_t first, last;
};
// first…last have the values value, value + 1, ...
struct NumericRun {
    char32_t first, last;
    std::int64_t value;
};
extern const std::span<const NumericRun> wholeNumbers;
extern const std::span<const CodePointRange> prepend;
extern const std::span<const CodePointRange> joinsPrevious;
}  // namespace tables

template <class F>
void forEachWholeNumber(std::string_view text, F f) {
    std::size_t i = 0;
    std::optional<char32_t> previous;
    std::optional<char32_t> current;
    if (i < text.size()) current = nextCodePoint(text, i);
    while (current) {
        std::optional<char32_t> following;
        if (i < text.size()) following = nextCodePoint(text, i);
        // A code point with a numeric value joins a neighbour only through these two rules.
        const bool alone = !(previous && isPrepend(*previous)) && !(following && joinsPrevious(*following));
        if (alone) {
            if (const auto value = wholeNumberValue(*current); value && !f(*value)) return;
        }
        previous = current;
        current = following;
    }
}

}  // namespace quorvane::unicode
