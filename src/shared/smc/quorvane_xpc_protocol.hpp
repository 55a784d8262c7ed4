// The fan-control service's XPC protocol, shared by the daemon and the application. Every method
// calls its reply exactly once; the error argument is empty on success. Implementations say their
// own thread-safety (the daemon's service is thread-safe).
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "shared/smc/service_error.hpp"

namespace quorvane {

using OptionalError = std::optional<ServiceError>;

class QuorvaneXPCProtocol {
public:
    virtual ~QuorvaneXPCProtocol() = default;

    virtual void setTargetRPM(std::int64_t fan, double rpm,
                              std::function<void(double appliedRPM, OptionalError error)> reply) = 0;
    virtual void setManualControl(std::int64_t fan, bool enabled, std::function<void(OptionalError error)> reply) = 0;
    virtual void restoreAutomaticControl(std::function<void(OptionalError error)> reply) = 0;
    virtual void heartbeat(std::function<void(double uptimeSeconds)> reply) = 0;
    virtual void helperVersion(std::function<void(std::string version)> reply) = 0;
};

// Wire selector names, in protocol order.
namespace QuorvaneXPCSelector {
inline constexpr const char* setTargetRPM = "setTargetRPMWithFan:rpm:reply:";
inline constexpr const char* setManualControl = "setManualControlWithFan:enabled:reply:";
inline constexpr const char* restoreAutomaticControl = "restoreAutomaticControlWithReply:";
inline constexpr const char* heartbeat = "heartbeatWithReply:";
inline constexpr const char* helperVersion = "helperVersionWithReply:";
}  // namespace QuorvaneXPCSelector

}  // namespace quorvane
