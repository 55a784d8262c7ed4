// Frame decoder of the XPC stand-in: arbitrary payloads must decode or be refused without a
// crash, and whatever decodes must re-encode to exactly the same bytes (one encoding per frame).
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <span>

#include "platform/xpc/frame.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace quorvane::xpc;
    if (size >= kFrameHeaderSize) {
        std::uint8_t header[kFrameHeaderSize];
        std::memcpy(header, data, kFrameHeaderSize);
        auto length = framePayloadLength(std::span<const std::uint8_t, kFrameHeaderSize>(header, kFrameHeaderSize));
        if (length && (*length == 0 || *length > kMaxFramePayload)) std::abort();
    }
    auto frame = decodeFrame(std::span<const std::uint8_t>(data, size));
    if (!frame) return 0;
    auto bytes = encodeFrame(*frame);
    if (!bytes || bytes->size() != size || std::memcmp(bytes->data(), data, size) != 0) std::abort();
    return 0;
}
