#include "shared/smc/smc_data_codec.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>

#include "shared/smc/four_cc.hpp"

namespace quorvane {

// ---- SMCBytes ----------------------------------------------------------------------------------

SMCBytes::SMCBytes(std::initializer_list<std::uint8_t> bytes) {
    const std::size_t n = std::min<std::size_t>(bytes.size(), data.size());
    std::copy_n(bytes.begin(), n, data.begin());
    count = static_cast<std::uint8_t>(n);
}

SMCBytes::SMCBytes(std::span<const std::uint8_t> bytes) {
    const std::size_t n = std::min<std::size_t>(bytes.size(), data.size());
    if (n) std::memcpy(data.data(), bytes.data(), n);
    count = static_cast<std::uint8_t>(n);
}

bool operator==(const SMCBytes& a, const SMCBytes& b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end());
}

// ---- SMCCodecError -----------------------------------------------------------------------------

SMCCodecError SMCCodecError::sizeMismatch(int expected, int got) {
    SMCCodecError e(Kind::sizeMismatch);
    e.expected_ = expected;
    e.got_ = got;
    e.text_ = "sizeMismatch(expected: " + std::to_string(expected) + ", got: " + std::to_string(got) + ")";
    return e;
}

SMCCodecError SMCCodecError::unsupportedType(std::string typeCode) {
    SMCCodecError e(Kind::unsupportedType);
    e.text_ = "unsupportedType(\"" + typeCode + "\")";
    e.typeCode_ = std::move(typeCode);
    return e;
}

SMCCodecError SMCCodecError::valueOutOfRange(double value) {
    SMCCodecError e(Kind::valueOutOfRange);
    e.value_ = value;
    e.text_ = "valueOutOfRange(" + shortestDecimal(value) + ")";
    return e;
}

bool operator==(const SMCCodecError& a, const SMCCodecError& b) {
    if (a.kind_ != b.kind_) return false;
    switch (a.kind_) {
        case SMCCodecError::Kind::sizeMismatch: return a.expected_ == b.expected_ && a.got_ == b.got_;
        case SMCCodecError::Kind::unsupportedType: return a.typeCode_ == b.typeCode_;
        case SMCCodecError::Kind::valueOutOfRange: return a.value_ == b.value_;
    }
    return false;
}

// ---- SMCDataCodec ------------------------------------------------------------------------------

namespace SMCDataCodec {

namespace {

using Kind = SMCDataType::Kind;

std::uint32_t bigEndian(std::span<const std::uint8_t> b, std::size_t n) {
    std::uint32_t v = 0;
    for (std::size_t i = 0; i < n; ++i) v = (v << 8) | b[i];
    return v;
}

SMCBytes bigEndianBytes(std::uint32_t v, std::size_t n) {
    SMCBytes out;
    for (std::size_t i = 0; i < n; ++i) out.data[i] = static_cast<std::uint8_t>(v >> (8 * (n - 1 - i)));
    out.count = static_cast<std::uint8_t>(n);
    return out;
}

// Smallest magnitude that rounds to infinity in single precision (round to nearest, ties to
// even): FLT_MAX plus half an ulp, 2^128 - 2^103. Checked before the narrowing so an
// out-of-range double never reaches the conversion.
constexpr double kFloatOverflow = 340282356779733661637539395458142568448.0;

// Round half away from zero, then check [0, max] on the rounded value, so -0.4 encodes as 0
// while -0.6 fails.
std::uint32_t roundedUnsigned(double value, double max) {
    const double r = std::round(value);
    if (!(r >= 0.0 && r <= max)) throw SMCCodecError::valueOutOfRange(value);
    return static_cast<std::uint32_t>(r);
}

}  // namespace

double decode(std::span<const std::uint8_t> bytes, SMCDataType type) {
    if (type.kind() == Kind::other) throw SMCCodecError::unsupportedType(FourCC::string(type.rawType()));
    const std::size_t size = type.size();
    if (bytes.size() < size) {
        throw SMCCodecError::sizeMismatch(static_cast<int>(size),
                                          static_cast<int>(std::min<std::size_t>(bytes.size(), 0x7fffffff)));
    }
    switch (type.kind()) {
        case Kind::fpe2: return static_cast<double>(bigEndian(bytes, 2)) / 4.0;
        case Kind::sp78: {
            const auto pattern = static_cast<std::uint16_t>(bigEndian(bytes, 2));
            return static_cast<double>(static_cast<std::int16_t>(pattern)) / 256.0;
        }
        case Kind::flt: {
            const std::uint32_t bits = static_cast<std::uint32_t>(bytes[0]) | static_cast<std::uint32_t>(bytes[1]) << 8 |
                                       static_cast<std::uint32_t>(bytes[2]) << 16 |
                                       static_cast<std::uint32_t>(bytes[3]) << 24;
            const double v = static_cast<double>(std::bit_cast<float>(bits));
            if (!std::isfinite(v)) throw SMCCodecError::valueOutOfRange(v);
            return v;
        }
        case Kind::ui8: return static_cast<double>(bytes[0]);
        case Kind::ui16: return static_cast<double>(bigEndian(bytes, 2));
        case Kind::ui32: return static_cast<double>(bigEndian(bytes, 4));
        case Kind::flag: return bytes[0] != 0 ? 1.0 : 0.0;
        case Kind::other: break;
    }
    throw SMCCodecError::unsupportedType(FourCC::string(type.rawType()));
}

SMCBytes encode(double value, SMCDataType type) {
    if (!std::isfinite(value)) throw SMCCodecError::valueOutOfRange(value);
    switch (type.kind()) {
        case Kind::fpe2: {
            if (!(value >= 0.0 && value <= 16383.75)) throw SMCCodecError::valueOutOfRange(value);
            return bigEndianBytes(static_cast<std::uint32_t>(std::round(value * 4.0)), 2);
        }
        case Kind::sp78: {
            if (!(value >= -128.0 && value <= 127.99609375)) throw SMCCodecError::valueOutOfRange(value);
            const auto m = static_cast<std::int16_t>(std::round(value * 256.0));
            return bigEndianBytes(static_cast<std::uint16_t>(m), 2);
        }
        case Kind::flt: {
            if (!(std::fabs(value) < kFloatOverflow)) throw SMCCodecError::valueOutOfRange(value);
            const auto bits = std::bit_cast<std::uint32_t>(static_cast<float>(value));
            SMCBytes out;
            for (std::size_t i = 0; i < 4; ++i) out.data[i] = static_cast<std::uint8_t>(bits >> (8 * i));
            out.count = 4;
            return out;
        }
        case Kind::ui8: return bigEndianBytes(roundedUnsigned(value, 255.0), 1);
        case Kind::ui16: return bigEndianBytes(roundedUnsigned(value, 65535.0), 2);
        case Kind::ui32: return bigEndianBytes(roundedUnsigned(value, 4294967295.0), 4);
        case Kind::flag: return SMCBytes{static_cast<std::uint8_t>(value != 0.0 ? 1 : 0)};
        case Kind::other: break;
    }
    throw SMCCodecError::unsupportedType(FourCC::string(type.rawType()));
}

}  // namespace SMCDataCodec

}  // namespace quorvane
