#include "platform/iokit/iokit_frame.hpp"

#include <stdexcept>

namespace quorvane::iokit {

namespace {

std::uint32_t readU32(const std::uint8_t* p) {
    return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
           (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

void appendU32(std::vector<std::uint8_t>& out, std::uint32_t v) {
    out.push_back(static_cast<std::uint8_t>(v));
    out.push_back(static_cast<std::uint8_t>(v >> 8));
    out.push_back(static_cast<std::uint8_t>(v >> 16));
    out.push_back(static_cast<std::uint8_t>(v >> 24));
}

template <class T>
Decoded<T> malformed() {
    Decoded<T> d;
    d.status = DecodeStatus::malformed;
    return d;
}

}  // namespace

Decoded<OpenRequest> decodeOpenRequest(const std::uint8_t* data, std::size_t size) {
    Decoded<OpenRequest> d;
    if (!data || size < kOpenFrameSize) return d;
    d.status = DecodeStatus::complete;
    d.value.type = readU32(data);
    d.consumed = kOpenFrameSize;
    return d;
}

Decoded<OpenReply> decodeOpenReply(const std::uint8_t* data, std::size_t size) {
    Decoded<OpenReply> d;
    if (!data || size < kOpenFrameSize) return d;
    d.status = DecodeStatus::complete;
    d.value.result = static_cast<kern_return_t>(readU32(data));
    d.consumed = kOpenFrameSize;
    return d;
}

Decoded<CallRequest> decodeCallRequest(const std::uint8_t* data, std::size_t size) {
    Decoded<CallRequest> d;
    if (!data || size < 8) return d;
    const std::uint32_t inputSize = readU32(data + 4);
    if (inputSize > kMaxStructSize) return malformed<CallRequest>();
    const std::size_t total = 12 + static_cast<std::size_t>(inputSize);
    if (size < total) return d;
    const std::uint32_t capacity = readU32(data + 8 + inputSize);
    if (capacity > kMaxStructSize) return malformed<CallRequest>();
    d.status = DecodeStatus::complete;
    d.value.selector = readU32(data);
    d.value.input.assign(data + 8, data + 8 + inputSize);
    d.value.outputCapacity = capacity;
    d.consumed = total;
    return d;
}

Decoded<CallReply> decodeCallReply(const std::uint8_t* data, std::size_t size) {
    Decoded<CallReply> d;
    if (!data || size < 8) return d;
    const std::uint32_t outputSize = readU32(data + 4);
    if (outputSize > kMaxStructSize) return malformed<CallReply>();
    const std::size_t total = 8 + static_cast<std::size_t>(outputSize);
    if (size < total) return d;
    d.status = DecodeStatus::complete;
    d.value.result = static_cast<kern_return_t>(readU32(data));
    d.value.output.assign(data + 8, data + total);
    d.consumed = total;
    return d;
}

std::vector<std::uint8_t> encodeOpenRequest(const OpenRequest& request) {
    std::vector<std::uint8_t> out;
    appendU32(out, request.type);
    return out;
}

std::vector<std::uint8_t> encodeOpenReply(const OpenReply& reply) {
    std::vector<std::uint8_t> out;
    appendU32(out, static_cast<std::uint32_t>(reply.result));
    return out;
}

std::vector<std::uint8_t> encodeCallRequest(const CallRequest& request) {
    if (request.input.size() > kMaxStructSize || request.outputCapacity > kMaxStructSize) {
        throw std::length_error("struct call larger than 4096 bytes");
    }
    std::vector<std::uint8_t> out;
    out.reserve(12 + request.input.size());
    appendU32(out, request.selector);
    appendU32(out, static_cast<std::uint32_t>(request.input.size()));
    out.insert(out.end(), request.input.begin(), request.input.end());
    appendU32(out, request.outputCapacity);
    return out;
}

std::vector<std::uint8_t> encodeCallReply(const CallReply& reply) {
    if (reply.output.size() > kMaxStructSize) throw std::length_error("struct reply larger than 4096 bytes");
    std::vector<std::uint8_t> out;
    out.reserve(8 + reply.output.size());
    appendU32(out, static_cast<std::uint32_t>(reply.result));
    appendU32(out, static_cast<std::uint32_t>(reply.output.size()));
    out.insert(out.end(), reply.output.begin(), reply.output.end());
    return out;
}

}  // namespace quorvane::iokit
