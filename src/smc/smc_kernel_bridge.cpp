#include "smc/smc_kernel_bridge.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <stdexcept>

#include "shared/smc/four_cc.hpp"

namespace quorvane {

namespace {

constexpr std::string_view kIndexKeyName = "#IDX";
constexpr std::string_view kKeyCountKey = "#KEY";

// Malformed names never reach a record: they fail like an absent key.
std::uint32_t keyCode(std::string_view key) {
    std::uint32_t code = 0;
    if (!FourCC::tryCode(key, code)) throw SMCError::keyNotFound(std::string(key));
    return code;
}

// Every request starts as 80 zero bytes, the alignment gaps included: value-initialisation does
// not promise zero padding, and the user client sees the raw bytes.
SMCParamStruct blankRequest(std::uint8_t command) {
    SMCParamStruct r;
    std::memset(static_cast<void*>(&r), 0, sizeof r);
    r.data8 = command;
    return r;
}

}  // namespace

SMCKernelBridge::SMCKernelBridge(std::unique_ptr<SMCTransport> transport) : transport_(std::move(transport)) {
    if (!transport_) throw std::invalid_argument("SMCKernelBridge: transport must not be null");
}

std::shared_ptr<SMCKernelBridge> SMCKernelBridge::open() {
    return std::make_shared<SMCKernelBridge>(std::make_unique<IOKitSMCTransport>());
}

SMCParamStruct SMCKernelBridge::exchange(const SMCParamStruct& request, std::string_view keyName) {
    SMCParamStruct reply = transport_->call(request);
    switch (reply.result) {
        case 0x00: return reply;
        case 0x84: throw SMCError::keyNotFound(std::string(keyName));
        case 0x85: throw SMCError::notReadable(std::string(keyName));
        case 0x86: throw SMCError::notWritable(std::string(keyName));
        default: throw SMCError::smcResult(reply.result);
    }
}

SMCKeyInfoData SMCKernelBridge::keyInfo(std::string_view key) {
    const std::uint32_t code = keyCode(key);
    {
        const std::lock_guard<std::mutex> lock(cacheLock_);
        const auto it = keyInfoCache_.find(code);
        if (it != keyInfoCache_.end()) return it->second;
    }
    SMCParamStruct request = blankRequest(SMCCommand::readKeyInfo);
    request.key = code;
    const SMCParamStruct reply = exchange(request, key);
    SMCKeyInfoData info;
    info.dataSize = reply.keyInfo.dataSize;
    info.dataType = reply.keyInfo.dataType;
    info.dataAttributes = reply.keyInfo.dataAttributes;
    // A zero size or type is not a usable answer; ask again next time.
    if (info.dataSize != 0 && info.dataType != 0) {
        const std::lock_guard<std::mutex> lock(cacheLock_);
        keyInfoCache_.insert_or_assign(code, info);
    }
    return info;
}

SMCRawValue SMCKernelBridge::readRaw(std::string_view key) {
    const SMCKeyInfoData info = keyInfo(key);
    SMCParamStruct request = blankRequest(SMCCommand::readBytes);
    request.key = keyCode(key);
    request.keyInfo.dataSize = info.dataSize;
    const SMCParamStruct reply = exchange(request, key);
    const std::size_t n = std::min<std::size_t>(info.dataSize, sizeof reply.bytes);
    SMCRawValue raw;
    raw.bytes = SMCBytes(std::span<const std::uint8_t>(reply.bytes, n));
    raw.type = SMCDataType::fromRaw(info.dataType);
    return raw;
}

double SMCKernelBridge::read(std::string_view key) {
    const SMCRawValue raw = readRaw(key);
    try {
        return SMCDataCodec::decode(raw.bytes.span(), raw.type);
    } catch (const SMCCodecError& e) {
        throw SMCError::codec("decode " + std::string(key) + ": " + e.description());
    }
}

void SMCKernelBridge::write(std::string_view key, double value) {
    const SMCKeyInfoData info = keyInfo(key);
    const SMCDataType type = SMCDataType::fromRaw(info.dataType);
    SMCBytes encoded;
    try {
        encoded = SMCDataCodec::encode(value, type);
    } catch (const SMCCodecError& e) {
        throw SMCError::codec("encode " + std::string(key) + ": " + e.description());
    }
    if (encoded.size() != info.dataSize) {
        throw SMCError::codec("size mismatch for " + std::string(key) + ": encoded " + std::to_string(encoded.size()) +
                              " != " + std::to_string(info.dataSize));
    }
    SMCParamStruct request = blankRequest(SMCCommand::writeBytes);
    request.key = keyCode(key);
    request.keyInfo.dataSize = info.dataSize;
    request.keyInfo.dataType = info.dataType;
    request.setValueBytes(encoded.begin(), encoded.size());
    exchange(request, key);
}

long SMCKernelBridge::keyCount() {
    const double count = read(kKeyCountKey);
    // Only a finite, non-negative value below 2^63 may be converted; anything else is a bad
    // answer from the SMC, not a count.
    constexpr double kLongLimit = 9223372036854775808.0;  // LONG_MAX + 1, exact as a double
    static_assert(sizeof(long) == 8, "key counts are held in a 64-bit long");
    if (!(count >= 0.0 && count < kLongLimit)) {
        throw SMCError::codec("decode " + std::string(kKeyCountKey) + ": " +
                              SMCCodecError::valueOutOfRange(count).description());
    }
    return static_cast<long>(std::trunc(count));
}

std::string SMCKernelBridge::key(long long atIndex) {
    if (atIndex < 0 || atIndex > 0xFFFFFFFFLL) throw SMCError::keyNotFound(std::string(kIndexKeyName));
    SMCParamStruct request = blankRequest(SMCCommand::keyByIndex);
    request.data32 = static_cast<std::uint32_t>(atIndex);
    const SMCParamStruct reply = exchange(request, kIndexKeyName);
    return FourCC::string(reply.key);
}

bool SMCKernelBridge::hasKey(std::string_view key) noexcept {
    try {
        keyInfo(key);
        return true;
    } catch (...) {
        return false;
    }
}

}  // namespace quorvane
