// sysctlbyname stand-in for the CPU topology the client asks about ("hw.nperflevels",
// "hw.perflevel0.physicalcpu", "hw.perflevel1.physicalcpu", "hw.physicalcpu"; 32-bit integers as
// on the Mac). Answers come from an in-process provider (tests) or, when none is registered, from
// the virtual Mac's socket in the bootstrap directory. Thread-safe.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

// 0 with the value in *oldp (or, with oldp null, its size in *oldlenp); -1 with errno ENOENT for a
// name nobody answers, ENOMEM when *oldlenp is too small, EPERM for a write, EINVAL for bad pointers.
int sysctlbyname(const char* name, void* oldp, std::size_t* oldlenp, const void* newp, std::size_t newlen);

namespace quorvane::sysctl {

// Something that knows the machine's integer sysctl values: the virtual Mac, or a test double.
class Provider {
public:
    virtual ~Provider() = default;
    // None for a name this machine does not have.
    virtual std::optional<std::int32_t> value(const std::string& name) = 0;
};

inline constexpr const char* kSysctlSocketName = "com.apple.sysctl";
// Bounds on one socket exchange: names are short, replies one integer.
inline constexpr std::size_t kMaxNameBytes = 128;
inline constexpr std::size_t kMaxReplyBytes = 32;
inline constexpr int kReplyTimeoutMilliseconds = 2000;
// The reply for a name the machine does not have.
inline constexpr const char* kUnknownReply = "ENOENT";

// In-process provider; hides the socket while registered.
void registerProvider(std::shared_ptr<Provider> provider);
void unregisterProvider();

class ScopedProviderRegistration {
public:
    explicit ScopedProviderRegistration(std::shared_ptr<Provider> provider) { registerProvider(std::move(provider)); }
    ~ScopedProviderRegistration() { unregisterProvider(); }
    ScopedProviderRegistration(const ScopedProviderRegistration&) = delete;
    ScopedProviderRegistration& operator=(const ScopedProviderRegistration&) = delete;
};

// Serves a provider on a Unix socket: each connection sends a name line and gets the decimal value
// or kUnknownReply. Thread-safe.
class SocketSysctlServer {
public:
    // Throws std::system_error when the socket cannot be bound or the provider is null.
    SocketSysctlServer(std::string path, std::shared_ptr<Provider> provider);
    ~SocketSysctlServer();
    SocketSysctlServer(const SocketSysctlServer&) = delete;
    SocketSysctlServer& operator=(const SocketSysctlServer&) = delete;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace quorvane::sysctl
