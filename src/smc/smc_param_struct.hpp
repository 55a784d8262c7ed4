// The 80-byte AppleSMC user-client record, byte for byte: one is sent and one comes back per
// exchange. Value type, not shared.
#pragma once

#include <cstddef>
#include <cstdint>
#include <type_traits>
#include <vector>

namespace quorvane {

struct SMCVersion {
    std::uint8_t major = 0;
    std::uint8_t minor = 0;
    std::uint8_t build = 0;
    std::uint8_t reserved = 0;
    std::uint16_t release = 0;
};

struct SMCPLimitData {
    std::uint16_t version = 0;
    std::uint16_t length = 0;
    std::uint32_t cpuPLimit = 0;
    std::uint32_t gpuPLimit = 0;
    std::uint32_t memPLimit = 0;
};

// Packed to 2 so that the record's `padding` field sits at offset 38, right after the attribute
// byte and its one-byte gap, as the user client lays it out. Every gap of the record is a named
// field, so `SMCParamStruct{}` zeroes all 80 bytes by the language's rules, not by luck.
#pragma pack(push, 2)
struct SMCKeyInfoData {
    std::uint32_t dataSize = 0;
    std::uint32_t dataType = 0;
    std::uint8_t dataAttributes = 0;
    std::uint8_t reserved = 0;  // gap at record offset 37; not part of the key's information

    friend bool operator==(const SMCKeyInfoData& a, const SMCKeyInfoData& b) {
        return a.dataSize == b.dataSize && a.dataType == b.dataType && a.dataAttributes == b.dataAttributes;
    }
};
#pragma pack(pop)
static_assert(sizeof(SMCKeyInfoData) == 10);

struct SMCParamStruct {
    std::uint32_t key = 0;
    SMCVersion vers;
    std::uint8_t reservedAfterVers[2] = {};  // gap at 10–11
    SMCPLimitData pLimitData;
    SMCKeyInfoData keyInfo;
    std::uint16_t padding = 0;
    std::uint8_t result = 0;
    std::uint8_t status = 0;
    std::uint8_t data8 = 0;
    std::uint8_t reservedAfterCommand = 0;  // gap at 43
    std::uint32_t data32 = 0;
    std::uint8_t bytes[32] = {};

    // The first count bytes of the value area, count clamped to 0…32.
    std::vector<std::uint8_t> valueBytes(long count) const;
    // Copies up to 32 bytes into the value area and zeroes the rest.
    void setValueBytes(const std::vector<std::uint8_t>& values);
    void setValueBytes(const std::uint8_t* values, std::size_t n);
};

static_assert(sizeof(SMCParamStruct) == 80);
// No implicit padding anywhere: every byte belongs to a field and is value-initialised.
static_assert(std::has_unique_object_representations_v<SMCParamStruct>);
static_assert(alignof(SMCParamStruct) == 4);
static_assert(offsetof(SMCParamStruct, key) == 0);
static_assert(offsetof(SMCParamStruct, vers) == 4);
static_assert(offsetof(SMCParamStruct, vers) + offsetof(SMCVersion, release) == 8);
static_assert(offsetof(SMCParamStruct, reservedAfterVers) == 10);
static_assert(offsetof(SMCParamStruct, pLimitData) == 12);
static_assert(offsetof(SMCParamStruct, pLimitData) + offsetof(SMCPLimitData, length) == 14);
static_assert(offsetof(SMCParamStruct, pLimitData) + offsetof(SMCPLimitData, cpuPLimit) == 16);
static_assert(offsetof(SMCParamStruct, pLimitData) + offsetof(SMCPLimitData, gpuPLimit) == 20);
static_assert(offsetof(SMCParamStruct, pLimitData) + offsetof(SMCPLimitData, memPLimit) == 24);
static_assert(offsetof(SMCParamStruct, keyInfo) == 28);
static_assert(offsetof(SMCParamStruct, keyInfo) + offsetof(SMCKeyInfoData, dataType) == 32);
static_assert(offsetof(SMCParamStruct, keyInfo) + offsetof(SMCKeyInfoData, dataAttributes) == 36);
static_assert(offsetof(SMCParamStruct, keyInfo) + offsetof(SMCKeyInfoData, reserved) == 37);
static_assert(offsetof(SMCParamStruct, padding) == 38);
static_assert(offsetof(SMCParamStruct, result) == 40);
static_assert(offsetof(SMCParamStruct, status) == 41);
static_assert(offsetof(SMCParamStruct, data8) == 42);
static_assert(offsetof(SMCParamStruct, reservedAfterCommand) == 43);
static_assert(offsetof(SMCParamStruct, data32) == 44);
static_assert(offsetof(SMCParamStruct, bytes) == 48);

}  // namespace quorvane
