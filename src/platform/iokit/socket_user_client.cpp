#include "platform/iokit/socket_user_client.hpp"

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/iokit/iokit_frame.hpp"
#include "platform/iokit/socket_io.hpp"

namespace quorvane::iokit {

std::shared_ptr<SocketUserClient> SocketUserClient::open(const std::string& path, std::uint32_t type,
                                                          kern_return_t& result) {
    const int fd = socket_io::connectUnix(path);
    if (fd < 0) {
        // No server behind the name is a missing device, a socket this user may not reach is a
        // privilege matter; anything else is a transport failure.
        result = (errno == ECONNREFUSED || errno == ENOENT) ? kIOReturnNoDevice
                 : (errno == EACCES || errno == EPERM)      ? kIOReturnNotPrivileged
                                                            : kIOReturnIPCError;
        return nullptr;
    }
    std::shared_ptr<SocketUserClient> client(new SocketUserClient(fd));
    if (!socket_io::sendAll(fd, encodeOpenRequest(OpenRequest{type}))) {
        result = kIOReturnNotResponding;
        return nullptr;
    }
    OpenReply reply;
    if (socket_io::readFrame(fd, client->buffer_, decodeOpenReply, reply) != socket_io::ReadResult::frame) {
        result = kIOReturnNotResponding;
        return nullptr;
    }
    result = reply.result;
    if (reply.result != kIOReturnSuccess) return nullptr;
    return client;
}

SocketUserClient::~SocketUserClient() {
    ::close(fd_);
    socket_io::replenishReserve();
}

void SocketUserClient::shutdown() {
    broken_.store(true);
    ::shutdown(fd_, SHUT_RDWR);
}

kern_return_t SocketUserClient::callStructMethod(std::uint32_t selector, const void* input, std::size_t inputSize,
                                                 void* output, std::size_t* outputSize) {
    const std::size_t capacity = outputSize ? *outputSize : 0;
    if (inputSize > kMaxStructSize || capacity > kMaxStructSize) return kIOReturnBadArgument;
    if ((inputSize > 0 && !input) || (capacity > 0 && !output)) return kIOReturnBadArgument;

    std::lock_guard lock(callMutex_);
    if (broken_.load()) return kIOReturnNotResponding;

    CallRequest request;
    request.selector = selector;
    if (inputSize > 0) {
        const auto* in = static_cast<const std::uint8_t*>(input);
        request.input.assign(in, in + inputSize);
    }
    request.outputCapacity = static_cast<std::uint32_t>(capacity);
    if (!socket_io::sendAll(fd_, encodeCallRequest(request))) {
        broken_.store(true);
        return kIOReturnNotResponding;
    }
    CallReply reply;
    const auto read = socket_io::readFrame(fd_, buffer_, decodeCallReply, reply);
    if (read != socket_io::ReadResult::frame) {
        broken_.store(true);
        return read == socket_io::ReadResult::malformed ? kIOReturnIPCError : kIOReturnNotResponding;
    }
    if (reply.output.size() > capacity) {
        // The server wrote past what was asked for: the stream can no longer be trusted.
        broken_.store(true);
        ::shutdown(fd_, SHUT_RDWR);
        return kIOReturnIPCError;
    }
    if (!reply.output.empty()) std::memcpy(output, reply.output.data(), reply.output.size());
    if (outputSize) *outputSize = reply.output.size();
    return reply.result;
}

}  // namespace quorvane::iokit
