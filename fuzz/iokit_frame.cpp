// Feeds arbitrary bytes to the iokit socket frame decoders: they must never read out of bounds,
// and every frame they accept must encode back to the bytes it came from.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "platform/iokit/iokit_frame.hpp"

using namespace quorvane::iokit;

namespace {

void check(bool ok) {
    if (!ok) std::abort();
}

template <class T, class Decode, class Encode>
void roundTrip(const std::uint8_t* data, std::size_t size, Decode decode, Encode encode) {
    // Walk the buffer as a stream of frames, as the socket readers do.
    std::size_t offset = 0;
    while (offset <= size) {
        const auto d = decode(data + offset, size - offset);
        if (d.status != DecodeStatus::complete) return;
        check(d.consumed > 0 && d.consumed <= size - offset);
        const std::vector<std::uint8_t> again = encode(d.value);
        check(again.size() == d.consumed);
        check(std::equal(again.begin(), again.end(), data + offset));
        offset += d.consumed;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    roundTrip<CallRequest>(data, size, decodeCallRequest, encodeCallRequest);
    roundTrip<CallReply>(data, size, decodeCallReply, encodeCallReply);
    roundTrip<OpenRequest>(data, size, decodeOpenRequest, encodeOpenRequest);
    roundTrip<OpenReply>(data, size, decodeOpenReply, encodeOpenReply);
    return 0;
}
