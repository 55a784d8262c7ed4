// A 128-bit UUID over libuuid: random (version 4) generation, canonical upper-case text, parsing
// of the 36-character form in either case. Value type, thread-safe.
#pragma once

#include <array>
#include <compare>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace quorvane {

class Uuid {
public:
    // The nil UUID (all zero bits).
    Uuid() = default;
    explicit Uuid(const std::array<std::uint8_t, 16>& bytes) : bytes_(bytes) {}

    // Fresh random identifier from the kernel's random source.
    static Uuid random();
    // Exactly 8-4-4-4-12 hexadecimal digits joined by hyphens, either case; anything else is absent.
    static std::optional<Uuid> parse(std::string_view text);

    // "E621E1F8-C36C-495A-93FC-0C247A3E6E5F"
    std::string uuidString() const;
    const std::array<std::uint8_t, 16>& bytes() const { return bytes_; }

    friend bool operator==(const Uuid&, const Uuid&) = default;
    friend auto operator<=>(const Uuid&, const Uuid&) = default;

private:
    std::array<std::uint8_t, 16> bytes_{};
};

}  // namespace quorvane

template <>
struct std::hash<quorvane::Uuid> {
    std::size_t operator()(const quorvane::Uuid& u) const noexcept;
};
