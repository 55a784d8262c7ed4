// Wire frames of the socket user client: the open request and reply, then one request and one
// reply per struct-method call. Integers are 32-bit little-endian; payloads are bounded by
// kMaxStructSize. Pure functions on byte buffers, no I/O; thread-safe.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "platform/iokit/iokit.hpp"

namespace quorvane::iokit {

// The most a struct-method call carries in either direction.
inline constexpr std::size_t kMaxStructSize = 4096;
// open request {u32 type}; open reply {i32 kr}.
inline constexpr std::size_t kOpenFrameSize = 4;
// call request {u32 selector, u32 inputSize, input, u32 outputCapacity}.
inline constexpr std::size_t kMaxRequestFrameSize = 12 + kMaxStructSize;
// call reply {i32 kr, u32 outputSize, output}.
inline constexpr std::size_t kMaxReplyFrameSize = 8 + kMaxStructSize;

enum class DecodeStatus {
    complete,    // a whole frame: value and consumed are set
    incomplete,  // a valid prefix: read more bytes
    malformed,   // can never become valid: close the connection
};

struct OpenRequest {
    std::uint32_t type = 0;
};

struct OpenReply {
    kern_return_t result = kIOReturnSuccess;
};

struct CallRequest {
    std::uint32_t selector = 0;
    std::vector<std::uint8_t> input;
    std::uint32_t outputCapacity = 0;
};

struct CallReply {
    kern_return_t result = kIOReturnSuccess;
    std::vector<std::uint8_t> output;
};

template <class T>
struct Decoded {
    DecodeStatus status = DecodeStatus::incomplete;
    T value{};
    std::size_t consumed = 0;  // bytes of the frame when complete, else 0
};

Decoded<OpenRequest> decodeOpenRequest(const std::uint8_t* data, std::size_t size);
Decoded<OpenReply> decodeOpenReply(const std::uint8_t* data, std::size_t size);
Decoded<CallRequest> decodeCallRequest(const std::uint8_t* data, std::size_t size);
Decoded<CallReply> decodeCallReply(const std::uint8_t* data, std::size_t size);

std::vector<std::uint8_t> encodeOpenRequest(const OpenRequest& request);
std::vector<std::uint8_t> encodeOpenReply(const OpenReply& reply);
// Throws std::length_error when a payload exceeds kMaxStructSize (a caller bug: check first).
std::vector<std::uint8_t> encodeCallRequest(const CallRequest& request);
std::vector<std::uint8_t> encodeCallReply(const CallReply& reply);

}  // namespace quorvane::iokit
