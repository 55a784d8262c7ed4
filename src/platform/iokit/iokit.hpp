// IOKit stand-in: the calls the SMC layer makes, with IOKit's names, types and return codes.
// Services come from an in-process registry (tests, the in-process virtual Mac) or, when a class
// is not registered there, from a Unix socket of that name in the bootstrap directory (the virtual
// Mac process). Thread-safe.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

using kern_return_t = std::int32_t;
using IOReturn = kern_return_t;
using mach_port_t = std::uint32_t;
using io_object_t = mach_port_t;
using io_service_t = io_object_t;
using io_connect_t = io_object_t;
using task_port_t = mach_port_t;

struct __IOMatchingDictionary;
using CFMutableDictionaryRef = __IOMatchingDictionary*;
using CFDictionaryRef = const __IOMatchingDictionary*;

inline constexpr kern_return_t KERN_SUCCESS = 0;
inline constexpr IOReturn kIOReturnSuccess = 0;
inline constexpr IOReturn kIOReturnError = static_cast<IOReturn>(0xe00002bcu);
inline constexpr IOReturn kIOReturnNoMemory = static_cast<IOReturn>(0xe00002bdu);
inline constexpr IOReturn kIOReturnNoResources = static_cast<IOReturn>(0xe00002beu);
inline constexpr IOReturn kIOReturnIPCError = static_cast<IOReturn>(0xe00002bfu);
inline constexpr IOReturn kIOReturnNoDevice = static_cast<IOReturn>(0xe00002c0u);
inline constexpr IOReturn kIOReturnNotPrivileged = static_cast<IOReturn>(0xe00002c1u);
inline constexpr IOReturn kIOReturnBadArgument = static_cast<IOReturn>(0xe00002c2u);
inline constexpr IOReturn kIOReturnIOError = static_cast<IOReturn>(0xe00002cau);
inline constexpr IOReturn kIOReturnExclusiveAccess = static_cast<IOReturn>(0xe00002c5u);
inline constexpr IOReturn kIOReturnUnsupported = static_cast<IOReturn>(0xe00002c7u);
inline constexpr IOReturn kIOReturnNotOpen = static_cast<IOReturn>(0xe00002cdu);
inline constexpr IOReturn kIOReturnBusy = static_cast<IOReturn>(0xe00002d5u);
inline constexpr IOReturn kIOReturnTimeout = static_cast<IOReturn>(0xe00002d6u);
inline constexpr IOReturn kIOReturnUnderrun = static_cast<IOReturn>(0xe00002e7u);
inline constexpr IOReturn kIOReturnAborted = static_cast<IOReturn>(0xe00002ebu);
inline constexpr IOReturn kIOReturnNotResponding = static_cast<IOReturn>(0xe00002edu);

inline constexpr mach_port_t kIOMainPortDefault = 0;
extern const task_port_t mach_task_self_;

// Builds a matching dictionary for a service class; consumed by IOServiceGetMatchingService.
CFMutableDictionaryRef IOServiceMatching(const char* name);
// The first matching service, 0 when none. Consumes matching (may be null: returns 0).
io_service_t IOServiceGetMatchingService(mach_port_t mainPort, CFDictionaryRef matching);
kern_return_t IOServiceOpen(io_service_t service, task_port_t owningTask, std::uint32_t type, io_connect_t* connect);
kern_return_t IOObjectRelease(io_object_t object);
kern_return_t IOConnectCallStructMethod(mach_port_t connection, std::uint32_t selector, const void* input,
                                        std::size_t inputSize, void* output, std::size_t* outputSize);
kern_return_t IOServiceClose(io_connect_t connect);

namespace quorvane::iokit {

// One open user client of a service. callStructMethod may be called from several threads.
class UserClient {
public:
    virtual ~UserClient() = default;
    virtual kern_return_t callStructMethod(std::uint32_t selector, const void* input, std::size_t inputSize,
                                           void* output, std::size_t* outputSize) = 0;
};

// A registered service: every open makes a new user client.
class Service {
public:
    virtual ~Service() = default;
    // On success stores the new client and returns kIOReturnSuccess.
    virtual kern_return_t open(std::uint32_t type, std::shared_ptr<UserClient>& client) = 0;
};

// In-process registry. A registered class hides a socket service of the same name.
void registerService(const std::string& className, std::shared_ptr<Service> service);
void unregisterService(const std::string& className);

// Registers a service for the lifetime of the object (tests).
class ScopedServiceRegistration {
public:
    ScopedServiceRegistration(std::string className, std::shared_ptr<Service> service)
        : className_(std::move(className)) { registerService(className_, std::move(service)); }
    ~ScopedServiceRegistration() { unregisterService(className_); }
    ScopedServiceRegistration(const ScopedServiceRegistration&) = delete;
    ScopedServiceRegistration& operator=(const ScopedServiceRegistration&) = delete;

private:
    std::string className_;
};

// Serves a Service on a Unix socket (the kernel side of the socket stand-in; used by the virtual
// Mac process). Each accepted connection is one open of the service; its calls are answered in
// order. Stops accepting and closes every connection when destroyed. Thread-safe.
class SocketServiceServer {
public:
    // Throws std::system_error when the socket cannot be bound.
    SocketServiceServer(std::string path, std::shared_ptr<Service> service);
    ~SocketServiceServer();
    SocketServiceServer(const SocketServiceServer&) = delete;
    SocketServiceServer& operator=(const SocketServiceServer&) = delete;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace quorvane::iokit
