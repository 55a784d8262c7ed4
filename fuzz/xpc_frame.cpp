// Frame decoder of the XPC stand-in: arbitrary payloads must decode or be refused without a
// crash, and whatever decodes must re-encode to exactly the same bytes (one encoding per frame).
// The same bytes read as a stream, cut into reads of a size the input picks, must split into the
// same payloads as when read in one piece.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <span>
#include <vector>

#include "platform/xpc/frame.hpp"

namespace {

using namespace quorvane::xpc;

void checkPayload(std::span<const std::uint8_t> payload) {
    auto frame = decodeFrame(payload);
    if (!frame) return;
    auto bytes = encodeFrame(*frame);
    if (!bytes || bytes->size() != payload.size() || std::memcmp(bytes->data(), payload.data(), payload.size()) != 0) {
        std::abort();
    }
}

// Payloads split out of the stream, ending with an empty marker if the stream turned malformed.
std::vector<std::vector<std::uint8_t>> split(const std::uint8_t* data, std::size_t size, std::size_t chunk) {
    FrameReader reader;
    std::vector<std::vector<std::uint8_t>> out;
    for (std::size_t at = 0; at < size;) {
        auto space = reader.space();
        if (space.size() < FrameReader::kReadChunk) std::abort();
        const std::size_t n = std::min({chunk, space.size(), size - at});
        std::memcpy(space.data(), data + at, n);
        reader.commit(n);
        at += n;
        std::span<const std::uint8_t> payload;
        for (;;) {
            const auto status = reader.next(payload);
            if (status == FrameReader::Status::needMore) break;
            if (status == FrameReader::Status::malformed) {
                out.emplace_back();
                return out;
            }
            if (payload.empty() || payload.size() > kMaxFramePayload) std::abort();
            out.emplace_back(payload.begin(), payload.end());
        }
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size >= kFrameHeaderSize) {
        std::uint8_t header[kFrameHeaderSize];
        std::memcpy(header, data, kFrameHeaderSize);
        auto length = framePayloadLength(std::span<const std::uint8_t, kFrameHeaderSize>(header, kFrameHeaderSize));
        if (length && (*length == 0 || *length > kMaxFramePayload)) std::abort();
    }
    checkPayload(std::span<const std::uint8_t>(data, size));

    if (size < 1) return 0;
    const std::size_t chunk = std::size_t{data[0]} + 1;
    auto whole = split(data + 1, size - 1, size);
    if (split(data + 1, size - 1, chunk) != whole) std::abort();
    for (const auto& payload : whole) {
        if (!payload.empty()) checkPayload(payload);
    }
    return 0;
}
