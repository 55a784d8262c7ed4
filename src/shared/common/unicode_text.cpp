#include "shared/common/unicode_text.hpp"

#include <algorithm>

#include "shared/common/unicode_tables.inc"

namespace quorvane::unicode {

namespace {
// The entry of a sorted range table that holds cp, if any.
template <class Range>
const Range* find(std::span<const Range> table, char32_t cp) {
    const auto it = std::upper_bound(table.begin(), table.end(), cp,
                                     [](char32_t c, const Range& r) { return c < r.first; });
    if (it == table.begin() || cp > std::prev(it)->last) return nullptr;
    return &*std::prev(it);
}
}  // namespace

char32_t nextCodePoint(std::string_view text, std::size_t& i) {
    const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
    const unsigned char lead = byte(i);
    std::size_t length = 0;
    char32_t cp = 0;
    char32_t minimum = 0;
    if (lead < 0x80) {
        ++i;
        return lead;
    } else if ((lead & 0xE0) == 0xC0) {
        length = 2, cp = lead & 0x1F, minimum = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
        length = 3, cp = lead & 0x0F, minimum = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
        length = 4, cp = lead & 0x07, minimum = 0x10000;
    }
    if (length == 0 || i + length > text.size()) {
        ++i;
        return 0xFFFD;
    }
    for (std::size_t k = 1; k < length; ++k) {
        if ((byte(i + k) & 0xC0) != 0x80) {
            ++i;
            return 0xFFFD;
        }
        cp = (cp << 6) | (byte(i + k) & 0x3F);
    }
    if (cp < minimum || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
        ++i;
        return 0xFFFD;
    }
    i += length;
    return cp;
}

std::optional<std::int64_t> wholeNumberValue(char32_t cp) {
    if (const auto* run = find(tables::wholeNumbers, cp)) return run->value + (cp - run->first);
    return std::nullopt;
}

bool isPrepend(char32_t cp) { return find(tables::prepend, cp) != nullptr; }

bool joinsPrevious(char32_t cp) { return find(tables::joinsPrevious, cp) != nullptr; }

}  // namespace quorvane::unicode
