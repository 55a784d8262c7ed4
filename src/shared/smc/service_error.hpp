// The error object every failed command replies with: domain, code and exactly one user-info
// entry, the localized description. Value type, not shared.
#pragma once

#include <cstdint>
#include <map>
#include <string>

namespace quorvane {

inline constexpr const char* kLocalizedDescriptionKey = "NSLocalizedDescription";

struct ServiceError {
    std::string domain;
    std::int64_t code = 0;
    std::map<std::string, std::string> userInfo;

    // The message under the localized-description key ("" when absent).
    std::string localizedDescription() const;
    // Error Domain=<domain> Code=<code> "<message>" UserInfo={NSLocalizedDescription=<message>}
    std::string rendering() const;

    friend bool operator==(const ServiceError&, const ServiceError&) = default;
};

// Domain "com.quorvane.SMCService", the code, the message under the localized-description key.
ServiceError makeServiceError(std::int64_t code, const std::string& message);

namespace ServiceErrorCode {
inline constexpr std::int64_t rejected = 1001;
inline constexpr std::int64_t fanOutOfRange = 1002;
inline constexpr std::int64_t hardwareFailed = 1003;
inline constexpr std::int64_t engageCanceled = 1004;
}  // namespace ServiceErrorCode

}  // namespace quorvane
