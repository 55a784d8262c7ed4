// A scriptable IOKit service for the iokit tests: counts opens, can refuse them, and its user
// clients echo, answer short, fail, throw or block until released. Thread-safe.
#pragma once

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <stdexcept>

#include "platform/iokit/iokit.hpp"

namespace quorvane::iokit::testing {

// Selectors understood by FakeUserClient.
inline constexpr std::uint32_t kEcho = 1;       // copies input to output, reports the bytes copied
inline constexpr std::uint32_t kShort = 2;      // writes 79 bytes of 0xAB whatever the capacity
inline constexpr std::uint32_t kFail = 3;       // returns kIOReturnNotPrivileged
inline constexpr std::uint32_t kThrow = 4;      // throws
inline constexpr std::uint32_t kBlock = 5;      // blocks until FakeService::release()
inline constexpr std::uint32_t kWhichOpen = 6;  // writes the 1-based number of this client's open

class FakeService final : public Service {
public:
    kern_return_t refuseWith = kIOReturnSuccess;  // set before use

    kern_return_t open(std::uint32_t type, std::shared_ptr<UserClient>& client) override;

    int opens() const { return opens_.load(); }
    std::uint32_t lastType() const { return lastType_.load(); }

    // Waits until some client is inside a kBlock call.
    void waitUntilBlocked() {
        std::unique_lock lock(mutex_);
        cv_.wait(lock, [&] { return blocked_ > 0; });
    }
    void release() {
        std::lock_guard lock(mutex_);
        released_ = true;
        cv_.notify_all();
    }
    void block() {
        std::unique_lock lock(mutex_);
        ++blocked_;
        cv_.notify_all();
        cv_.wait(lock, [&] { return released_; });
        --blocked_;
    }

private:
    std::atomic<int> opens_{0};
    std::atomic<std::uint32_t> lastType_{0};
    std::mutex mutex_;
    std::condition_variable cv_;
    int blocked_ = 0;        // guarded by mutex_
    bool released_ = false;  // guarded by mutex_
};

class FakeUserClient final : public UserClient {
public:
    FakeUserClient(FakeService& service, int openNumber) : service_(service), openNumber_(openNumber) {}

    kern_return_t callStructMethod(std::uint32_t selector, const void* input, std::size_t inputSize, void* output,
                                   std::size_t* outputSize) override {
        switch (selector) {
            case kEcho: {
                const std::size_t n = std::min(inputSize, *outputSize);
                if (n > 0) std::memcpy(output, input, n);
                *outputSize = n;
                return kIOReturnSuccess;
            }
            case kShort:
                if (*outputSize < 79) return kIOReturnBadArgument;
                std::memset(output, 0xAB, 79);
                *outputSize = 79;
                return kIOReturnSuccess;
            case kFail:
                *outputSize = 0;
                return kIOReturnNotPrivileged;
            case kThrow:
                throw std::runtime_error("fake user client fault");
            case kBlock:
                service_.block();
                *outputSize = 0;
                return kIOReturnSuccess;
            case kWhichOpen:
                if (*outputSize < sizeof openNumber_) return kIOReturnBadArgument;
                std::memcpy(output, &openNumber_, sizeof openNumber_);
                *outputSize = sizeof openNumber_;
                return kIOReturnSuccess;
            default:
                return kIOReturnUnsupported;
        }
    }

private:
    FakeService& service_;
    const int openNumber_;
};

inline kern_return_t FakeService::open(std::uint32_t type, std::shared_ptr<UserClient>& client) {
    lastType_.store(type);
    if (refuseWith != kIOReturnSuccess) return refuseWith;
    client = std::make_shared<FakeUserClient>(*this, ++opens_);
    return kIOReturnSuccess;
}

// Opens the first service of a class, releasing the service object; 0 when it fails.
inline io_connect_t openClass(const char* className, kern_return_t* result = nullptr) {
    const io_service_t service = IOServiceGetMatchingService(kIOMainPortDefault, IOServiceMatching(className));
    if (service == 0) return 0;
    io_connect_t connect = 0;
    const kern_return_t kr = IOServiceOpen(service, mach_task_self_, 0, &connect);
    IOObjectRelease(service);
    if (result) *result = kr;
    return kr == kIOReturnSuccess ? connect : 0;
}

}  // namespace quorvane::iokit::testing
