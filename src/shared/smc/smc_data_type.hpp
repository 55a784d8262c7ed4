// The SMC value types the system understands, identified by their four-character type code.
// Value type, not shared.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace quorvane {

class SMCDataType {
public:
    enum class Kind : std::uint8_t { fpe2, sp78, flt, ui8, ui16, ui32, flag, other };

    // SMCDataType(rawType:): the matching case, or other carrying the code.
    static SMCDataType fromRaw(std::uint32_t rawType);
    static constexpr SMCDataType of(Kind kind);

    Kind kind() const { return kind_; }
    // The four-character code ("flt " for flt; the carried code for other).
    std::uint32_t rawType() const { return raw_; }
    // Size in bytes of a value of this type; 0 for other.
    std::size_t size() const;
    std::string name() const;

    friend bool operator==(SMCDataType a, SMCDataType b) {
        return a.kind_ == b.kind_ && (a.kind_ != Kind::other || a.raw_ == b.raw_);
    }

private:
    constexpr SMCDataType(Kind kind, std::uint32_t raw) : kind_(kind), raw_(raw) {}
    Kind kind_;
    std::uint32_t raw_;
};

namespace smc_type_codes {
inline constexpr std::uint32_t fpe2 = 0x66706532u;  // "fpe2"
inline constexpr std::uint32_t sp78 = 0x73703738u;  // "sp78"
inline constexpr std::uint32_t flt = 0x666c7420u;   // "flt "
inline constexpr std::uint32_t ui8 = 0x75693820u;   // "ui8 "
inline constexpr std::uint32_t ui16 = 0x75693136u;  // "ui16"
inline constexpr std::uint32_t ui32 = 0x75693332u;  // "ui32"
inline constexpr std::uint32_t flag = 0x666c6167u;  // "flag"
}  // namespace smc_type_codes

constexpr SMCDataType SMCDataType::of(Kind kind) {
    using namespace smc_type_codes;
    switch (kind) {
        case Kind::fpe2: return {kind, fpe2};
        case Kind::sp78: return {kind, sp78};
        case Kind::flt: return {kind, flt};
        case Kind::ui8: return {kind, ui8};
        case Kind::ui16: return {kind, ui16};
        case Kind::ui32: return {kind, ui32};
        case Kind::flag: return {kind, flag};
        case Kind::other: break;
    }
    return {Kind::other, 0};
}

}  // namespace quorvane
