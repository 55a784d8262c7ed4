// The wire format of a connection: each frame is a little-endian u32 payload length followed by
// the payload, at most kMaxFramePayload bytes. Payload: a type byte, then
//   hello  (1): u8 version, u8 flags (bit 0 signed, bit 1 Apple-anchored), str identifier, str teamOU
//   invoke (2): u64 serial, str selector, values
//   reply  (3): u64 serial, values
// str = u32 length + bytes; values = u32 count + tagged values (0 nil, 1 bool u8, 2 i64, 3 f64 bits,
// 4 str, 5 error: str domain, i64 code, u32 count + key/value strs, keys strictly ascending).
// Integers little-endian. Pure functions, thread-safe; a FrameReader is a value owned by one reader.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include "platform/xpc/code_identity.hpp"
#include "platform/xpc/value.hpp"

namespace quorvane::xpc {

inline constexpr std::size_t kFrameHeaderSize = 4;
inline constexpr std::size_t kMaxFramePayload = 64 * 1024;
inline constexpr std::uint8_t kFrameProtocolVersion = 1;

struct HelloFrame {
    std::uint8_t version = kFrameProtocolVersion;
    CodeIdentity identity;
    bool operator==(const HelloFrame&) const = default;
};

struct InvokeFrame {
    std::uint64_t serial = 0;
    std::string selector;
    std::vector<Value> arguments;
    bool operator==(const InvokeFrame&) const = default;
};

struct ReplyFrame {
    std::uint64_t serial = 0;
    std::vector<Value> values;
    bool operator==(const ReplyFrame&) const = default;
};

using Frame = std::variant<HelloFrame, InvokeFrame, ReplyFrame>;

// The payload of a frame (without the length header). nullopt when it does not fit in
// kMaxFramePayload.
std::optional<std::vector<std::uint8_t>> encodeFrame(const Frame& frame);

// Decodes one payload. nullopt for anything malformed: empty, unknown type or tag, truncated,
// trailing bytes, oversize, a non-canonical bool or error dictionary.
std::optional<Frame> decodeFrame(std::span<const std::uint8_t> payload);

// Reads the length header; nullopt when it announces more than kMaxFramePayload or zero bytes.
std::optional<std::size_t> framePayloadLength(std::span<const std::uint8_t, kFrameHeaderSize> header);
void writeFrameHeader(std::size_t payloadLength, std::span<std::uint8_t, kFrameHeaderSize> header);

// Splits a byte stream into frame payloads, so that one read takes in every frame already
// waiting. Holds at most one partial frame plus one read's worth of space.
class FrameReader {
public:
    enum class Status { frame, needMore, malformed };

    // Where the next read puts its bytes: room for the rest of a partial frame, and at least
    // kReadChunk bytes. Invalidates a payload returned by next().
    std::span<std::uint8_t> space();
    void commit(std::size_t bytesRead);
    // The next whole payload (valid until space() is called), needMore, or malformed for a
    // header announcing zero or more than kMaxFramePayload bytes.
    Status next(std::span<const std::uint8_t>& payload);
    // True while a frame has been started but not completed.
    bool midFrame() const { return begin_ != end_; }

    static constexpr std::size_t kReadChunk = 4096;

private:
    std::vector<std::uint8_t> buffer_;
    std::size_t begin_ = 0;  // first unconsumed byte
    std::size_t end_ = 0;    // one past the last byte read
};

}  // namespace quorvane::xpc
