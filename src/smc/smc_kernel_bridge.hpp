// Reads and writes SMC keys by name as numbers over an SMCTransport, caching each key's size and
// type after the first successful key-information exchange. Thread-safe: cacheLock guards the
// cache and is never held across an exchange.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>

#include "shared/smc/smc_data_codec.hpp"
#include "shared/smc/smc_data_type.hpp"
#include "smc/smc_error.hpp"
#include "smc/smc_param_struct.hpp"
#include "smc/smc_transport.hpp"

namespace quorvane {

namespace SMCCommand {
inline constexpr std::uint8_t readBytes = 5;
inline constexpr std::uint8_t writeBytes = 6;
inline constexpr std::uint8_t keyByIndex = 8;
inline constexpr std::uint8_t readKeyInfo = 9;
}  // namespace SMCCommand

struct SMCRawValue {
    SMCBytes bytes;
    SMCDataType type = SMCDataType::of(SMCDataType::Kind::other);
};

class SMCKernelBridge {
public:
    explicit SMCKernelBridge(std::unique_ptr<SMCTransport> transport);
    // init(): opens a new IOKitSMCTransport. Throws SMCError (serviceNotFound, openFailed).
    static std::shared_ptr<SMCKernelBridge> open();

    // Every operation throws SMCError. A key name that is not exactly four UTF-8 bytes is refused
    // before any exchange (keyNotFound carrying the name).
    SMCKeyInfoData keyInfo(std::string_view key);
    SMCRawValue readRaw(std::string_view key);
    double read(std::string_view key);
    void write(std::string_view key, double value);
    long keyCount();
    // Indices outside 0…4294967295 are refused without an exchange.
    std::string key(long long atIndex);
    bool hasKey(std::string_view key) noexcept;

    SMCTransport& transport() { return *transport_; }

private:
    SMCParamStruct exchange(const SMCParamStruct& request, std::string_view keyName);

    std::unique_ptr<SMCTransport> transport_;
    std::mutex cacheLock_;
    std::unordered_map<std::uint32_t, SMCKeyInfoData> keyInfoCache_;  // guarded by cacheLock_
};

}  // namespace quorvane
