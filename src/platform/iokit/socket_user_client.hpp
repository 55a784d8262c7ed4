// The client end of one user client served over a Unix socket by SocketServiceServer: each
// instance is one connection, i.e. one open of the service. Thread-safe: calls are serialised
// (one request/reply pair in flight); shutdown() may be called from any thread and makes a call
// blocked in the socket return kIOReturnNotResponding.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/iokit/iokit.hpp"

namespace quorvane::iokit {

class SocketUserClient final : public UserClient {
public:
    // Connects to path and asks the server to open a user client of the given type. Returns the
    // client on success; otherwise null and result holds the server's refusal or a transport code.
    static std::shared_ptr<SocketUserClient> open(const std::string& path, std::uint32_t type, kern_return_t& result);

    ~SocketUserClient() override;
    SocketUserClient(const SocketUserClient&) = delete;
    SocketUserClient& operator=(const SocketUserClient&) = delete;

    // inputSize and *outputSize must be at most kMaxStructSize (IOConnectCallStructMethod checks).
    kern_return_t callStructMethod(std::uint32_t selector, const void* input, std::size_t inputSize, void* output,
                                   std::size_t* outputSize) override;
    void shutdown();

private:
    explicit SocketUserClient(int fd) : fd_(fd) {}

    const int fd_;  // closed only by the destructor, so no call can ever see a reused descriptor
    std::atomic<bool> broken_{false};
    std::mutex callMutex_;              // held for one request/reply pair
    std::vector<std::uint8_t> buffer_;  // guarded by callMutex_
};

}  // namespace quorvane::iokit
