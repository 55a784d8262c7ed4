// Converts SMC value bytes to and from double-precision numbers with exact fixed-point scaling,
// byte order, rounding (halves away from zero) and range checks. Pure, thread-safe.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <span>
#include <string>

#include "shared/smc/shortest_decimal.hpp"
#include "shared/smc/smc_data_type.hpp"

namespace quorvane {

// Up to 32 value bytes held inline: the value area of one SMC record. Value type.
struct SMCBytes {
    std::array<std::uint8_t, 32> data{};
    std::uint8_t count = 0;

    SMCBytes() = default;
    SMCBytes(std::initializer_list<std::uint8_t> bytes);
    // The first min(bytes.size(), 32) bytes.
    explicit SMCBytes(std::span<const std::uint8_t> bytes);
    std::span<const std::uint8_t> span() const { return {data.data(), count}; }
    std::size_t size() const { return count; }
    const std::uint8_t* begin() const { return data.data(); }
    const std::uint8_t* end() const { return data.data() + count; }
    std::uint8_t operator[](std::size_t i) const { return data[i]; }
    friend bool operator==(const SMCBytes& a, const SMCBytes& b);
};

class SMCCodecError : public std::exception {
public:
    enum class Kind { sizeMismatch, unsupportedType, valueOutOfRange };

    static SMCCodecError sizeMismatch(int expected, int got);
    static SMCCodecError unsupportedType(std::string typeCode);
    static SMCCodecError valueOutOfRange(double value);

    Kind kind() const { return kind_; }
    int expected() const { return expected_; }
    int got() const { return got_; }
    const std::string& typeCode() const { return typeCode_; }
    double value() const { return value_; }

    // sizeMismatch(expected: 2, got: 1), unsupportedType("abcd"), valueOutOfRange(1e+39)
    const std::string& description() const { return text_; }
    const char* what() const noexcept override { return text_.c_str(); }

    // Same case and equal payloads (values compare numerically).
    friend bool operator==(const SMCCodecError& a, const SMCCodecError& b);

private:
    SMCCodecError(Kind kind) : kind_(kind) {}
    Kind kind_;
    int expected_ = 0;
    int got_ = 0;
    std::string typeCode_;
    double value_ = 0;
    std::string text_;
};

namespace SMCDataCodec {
// Fails with SMCCodecError. Bytes beyond the type's size are ignored.
double decode(std::span<const std::uint8_t> bytes, SMCDataType type);
// Exactly the type's size in bytes. Fails with SMCCodecError.
SMCBytes encode(double value, SMCDataType type);
}  // namespace SMCDataCodec

}  // namespace quorvane
