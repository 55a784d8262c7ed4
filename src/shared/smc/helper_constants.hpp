// Identifiers, code-signing requirements and timing constants of the daemon/application contract.
// Thread-safe: the two composed requirements are built once, on first use.
#pragma once

#include <string>

namespace quorvane {

inline constexpr const char* helperBuildVersion = "1.2.2";

namespace HelperConstants {

inline constexpr const char* machServiceName = "com.quorvane.SMCService.xpc";
inline constexpr const char* daemonPlistName = "com.quorvane.SMCService.plist";
inline constexpr const char* daemonLabel = "com.quorvane.SMCService";
inline constexpr const char* appBundleID = "com.quorvane.app";
inline constexpr const char* teamID = "K7Q2M5ZR1T";

inline constexpr double heartbeatInterval = 2.5;
inline constexpr double heartbeatTimeout = 5.0;
inline constexpr double xpcCallTimeout = 4.0;
inline constexpr double manualEngageUnlockTimeout = 10.0;
inline constexpr double engageCallTimeout = 12.0;
inline constexpr double heartbeatCallTimeout = 2.0;

// What a connecting client must satisfy.
const std::string& clientRequirement();
// What the application requires of the daemon.
const std::string& daemonRequirement();
inline constexpr const char* debugClientRequirement =
    "identifier \"Quorvane\" or identifier \"Calvetrin\" or identifier \"com.quorvane.app\"";

}  // namespace HelperConstants
}  // namespace quorvane
