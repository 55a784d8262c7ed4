// Four-character SMC codes (keys and type codes) packed into 32 bits, first character in the most
// significant byte. Pure functions, thread-safe.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace quorvane::FourCC {

// Throws std::invalid_argument unless text is exactly four bytes of valid UTF-8.
std::uint32_t code(std::string_view text);
// Non-throwing form: false (and code untouched) unless text is exactly four bytes of valid UTF-8.
bool tryCode(std::string_view text, std::uint32_t& code);
// The four bytes, most significant first, as UTF-8; each invalid sequence (its maximal subpart, as
// UTF-8 decoders do) becomes one U+FFFD.
// Nothing is trimmed.
std::string string(std::uint32_t code);

}  // namespace quorvane::FourCC
