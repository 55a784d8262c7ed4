// The 80-byte AppleSMC user-client record seen from the controller's side: raw byte offsets,
// native-endian integers. Kept independent of the SMC library's own record type so the virtual
// Mac checks that layout instead of sharing it. Value type, not shared.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace quorvane::sim {

// Command bytes (data8) the controller answers.
namespace smc_command {
inline constexpr std::uint8_t readBytes = 5;
inline constexpr std::uint8_t writeBytes = 6;
inline constexpr std::uint8_t keyByIndex = 8;
inline constexpr std::uint8_t keyInfo = 9;
}  // namespace smc_command

// Result bytes the virtual controller produces.
namespace smc_result {
inline constexpr std::uint8_t success = 0x00;
inline constexpr std::uint8_t error = 0x01;           // generic fault
inline constexpr std::uint8_t firmwareBusy = 0x82;    // firmware refuses manual fan mode for now
inline constexpr std::uint8_t keyNotFound = 0x84;
inline constexpr std::uint8_t notReadable = 0x85;
inline constexpr std::uint8_t notWritable = 0x86;
inline constexpr std::uint8_t sizeMismatch = 0x87;    // request dataSize/dataType differ from the key's
inline constexpr std::uint8_t badCommand = 0x89;      // data8 is not a known command
}  // namespace smc_result

// The selector of the struct method that exchanges one record.
inline constexpr std::uint32_t kSMCSelector = 2;

class SMCRecord {
public:
    static constexpr std::size_t kSize = 80;
    static constexpr std::size_t kKey = 0;
    static constexpr std::size_t kDataSize = 28;
    static constexpr std::size_t kDataType = 32;
    static constexpr std::size_t kAttributes = 36;
    static constexpr std::size_t kResult = 40;
    static constexpr std::size_t kStatus = 41;
    static constexpr std::size_t kCommand = 42;
    static constexpr std::size_t kData32 = 44;
    static constexpr std::size_t kBytes = 48;
    static constexpr std::size_t kValueCapacity = 32;

    SMCRecord() = default;
    // Copies exactly kSize bytes from raw.
    static SMCRecord fromBytes(const void* raw) {
        SMCRecord r;
        std::memcpy(r.bytes_.data(), raw, kSize);
        return r;
    }

    std::uint32_t key() const { return u32(kKey); }
    void setKey(std::uint32_t v) { setU32(kKey, v); }
    std::uint32_t dataSize() const { return u32(kDataSize); }
    void setDataSize(std::uint32_t v) { setU32(kDataSize, v); }
    std::uint32_t dataType() const { return u32(kDataType); }
    void setDataType(std::uint32_t v) { setU32(kDataType, v); }
    std::uint8_t attributes() const { return bytes_[kAttributes]; }
    void setAttributes(std::uint8_t v) { bytes_[kAttributes] = v; }
    std::uint8_t result() const { return bytes_[kResult]; }
    void setResult(std::uint8_t v) { bytes_[kResult] = v; }
    std::uint8_t command() const { return bytes_[kCommand]; }
    void setCommand(std::uint8_t v) { bytes_[kCommand] = v; }
    std::uint32_t data32() const { return u32(kData32); }
    void setData32(std::uint32_t v) { setU32(kData32, v); }

    const std::uint8_t* value() const { return bytes_.data() + kBytes; }
    // Stores up to 32 bytes and zeroes the rest of the value area.
    void setValue(const std::uint8_t* data, std::size_t n) {
        if (n > kValueCapacity) n = kValueCapacity;
        std::memset(bytes_.data() + kBytes, 0, kValueCapacity);
        if (n != 0) std::memcpy(bytes_.data() + kBytes, data, n);
    }

    const std::array<std::uint8_t, kSize>& raw() const { return bytes_; }
    std::uint8_t* data() { return bytes_.data(); }

private:
    std::uint32_t u32(std::size_t at) const {
        std::uint32_t v;
        std::memcpy(&v, bytes_.data() + at, sizeof v);
        return v;
    }
    void setU32(std::size_t at, std::uint32_t v) { std::memcpy(bytes_.data() + at, &v, sizeof v); }

    std::array<std::uint8_t, kSize> bytes_{};
};

}  // namespace quorvane::sim
