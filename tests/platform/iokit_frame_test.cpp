#include <gtest/gtest.h>

#include <vector>

#include "platform/iokit/iokit_frame.hpp"

namespace quorvane::iokit {
namespace {

using Bytes = std::vector<std::uint8_t>;

TEST(IOKitFrame, FramesAreLittleEndianRoundTripNegativeCodesAndLeaveTrailingBytesToTheNext) {
    Bytes wire = encodeCallRequest(CallRequest{2, {0xAA, 0xBB}, 80});
    EXPECT_EQ(wire, (Bytes{2, 0, 0, 0, 2, 0, 0, 0, 0xAA, 0xBB, 80, 0, 0, 0}));
    const std::size_t first = wire.size();
    const Bytes second = encodeCallRequest(CallRequest{3, {}, 0});
    wire.insert(wire.end(), second.begin(), second.end());
    const auto d = decodeCallRequest(wire.data(), wire.size());
    ASSERT_EQ(d.status, DecodeStatus::complete);
    EXPECT_EQ(d.consumed, first);
    EXPECT_EQ(d.value.selector, 2u);
    EXPECT_EQ(d.value.input, (Bytes{0xAA, 0xBB}));
    EXPECT_EQ(d.value.outputCapacity, 80u);
    EXPECT_EQ(decodeCallRequest(wire.data() + first, wire.size() - first).value.selector, 3u);

    const Bytes reply = encodeCallReply(CallReply{kIOReturnNotResponding, {1, 2, 3}});
    const auto r = decodeCallReply(reply.data(), reply.size());
    ASSERT_EQ(r.status, DecodeStatus::complete);
    EXPECT_EQ(r.value.result, kIOReturnNotResponding);
    EXPECT_EQ(r.value.output, (Bytes{1, 2, 3}));
    const Bytes open = encodeOpenReply(OpenReply{kIOReturnNotPrivileged});
    EXPECT_EQ(decodeOpenReply(open.data(), open.size()).value.result, kIOReturnNotPrivileged);
    EXPECT_EQ(decodeOpenReply(open.data(), open.size()).consumed, 4u);
    const Bytes openRequest = encodeOpenRequest(OpenRequest{0x01020304});
    EXPECT_EQ(openRequest, (Bytes{4, 3, 2, 1}));
    EXPECT_EQ(decodeOpenRequest(openRequest.data(), 5).value.type, 0x01020304u);
    EXPECT_EQ(decodeOpenRequest(openRequest.data(), 5).consumed, 4u);
    const Bytes empty = encodeCallReply(CallReply{kIOReturnSuccess, {}});
    EXPECT_EQ(decodeCallReply(empty.data(), empty.size()).consumed, 8u) << "a reply with no output is 8 bytes";
}

// The codes are Apple's own (IOReturn.h, mach): logs and error texts show them, and people look them up.
TEST(IOKitFrame, ReturnCodesAreApples) {
    const std::pair<IOReturn, std::uint32_t> rows[] = {
        {KERN_SUCCESS, 0},           {kIOReturnSuccess, 0},        {kIOReturnError, 0xe00002bc},
        {kIOReturnNoMemory, 0xe00002bd}, {kIOReturnNoResources, 0xe00002be}, {kIOReturnIPCError, 0xe00002bf},
        {kIOReturnNoDevice, 0xe00002c0}, {kIOReturnNotPrivileged, 0xe00002c1}, {kIOReturnBadArgument, 0xe00002c2},
        {kIOReturnIOError, 0xe00002ca}, {kIOReturnExclusiveAccess, 0xe00002c5}, {kIOReturnUnsupported, 0xe00002c7},
        {kIOReturnNotOpen, 0xe00002cd}, {kIOReturnBusy, 0xe00002d5}, {kIOReturnTimeout, 0xe00002d6},
        {kIOReturnUnderrun, 0xe00002e7}, {kIOReturnAborted, 0xe00002eb}, {kIOReturnNotResponding, 0xe00002ed},
    };
    for (const auto& [code, apple] : rows) EXPECT_EQ(static_cast<std::uint32_t>(code), apple);
    EXPECT_EQ(kIOMainPortDefault, 0u);
}

TEST(IOKitFrame, EveryStrictPrefixAndANullBufferAreIncomplete) {
    const Bytes request = encodeCallRequest(CallRequest{5, Bytes(80, 1), 80});
    const Bytes reply = encodeCallReply(CallReply{kIOReturnUnderrun, Bytes(79, 2)});
    for (std::size_t n = 0; n < request.size(); ++n) {
        EXPECT_EQ(decodeCallRequest(request.data(), n).status, DecodeStatus::incomplete) << n;
    }
    for (std::size_t n = 0; n < reply.size(); ++n) {
        EXPECT_EQ(decodeCallReply(reply.data(), n).status, DecodeStatus::incomplete) << n;
    }
    EXPECT_EQ(decodeOpenReply(reply.data(), 3).status, DecodeStatus::incomplete);
    EXPECT_EQ(decodeCallRequest(nullptr, 100).status, DecodeStatus::incomplete);
    EXPECT_EQ(decodeCallReply(nullptr, 100).status, DecodeStatus::incomplete);
    EXPECT_EQ(decodeOpenRequest(nullptr, 4).status, DecodeStatus::incomplete);
}

TEST(IOKitFrame, OversizeLengthsAreMalformedBeforeTheirBytesArrive) {
    for (const Bytes& request : {Bytes{1, 0, 0, 0, 0x01, 0x10, 0, 0}, Bytes{1, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF}}) {
        EXPECT_EQ(decodeCallRequest(request.data(), request.size()).status, DecodeStatus::malformed);  // input size
    }
    const Bytes bigReply{0, 0, 0, 0, 0x01, 0x10, 0, 0};
    EXPECT_EQ(decodeCallReply(bigReply.data(), bigReply.size()).status, DecodeStatus::malformed);

    Bytes bigCapacity = encodeCallRequest(CallRequest{1, {}, 0});
    bigCapacity[8] = 0x01;
    bigCapacity[9] = 0x10;  // outputCapacity 4097
    EXPECT_EQ(decodeCallRequest(bigCapacity.data(), bigCapacity.size()).status, DecodeStatus::malformed);
}

TEST(IOKitFrame, LargestFramesPassAndLargerOnesAreCallerErrors) {
    const Bytes wire = encodeCallRequest(CallRequest{1, Bytes(kMaxStructSize, 3), kMaxStructSize});
    EXPECT_EQ(wire.size(), kMaxRequestFrameSize);
    EXPECT_EQ(decodeCallRequest(wire.data(), wire.size()).status, DecodeStatus::complete);
    const Bytes reply = encodeCallReply(CallReply{0, Bytes(kMaxStructSize, 4)});
    EXPECT_EQ(reply.size(), kMaxReplyFrameSize);
    EXPECT_EQ(decodeCallReply(reply.data(), reply.size()).status, DecodeStatus::complete);

    EXPECT_THROW(encodeCallRequest(CallRequest{1, Bytes(kMaxStructSize + 1), 0}), std::length_error);
    EXPECT_THROW(encodeCallRequest(CallRequest{1, {}, kMaxStructSize + 1}), std::length_error);
    EXPECT_THROW(encodeCallReply(CallReply{0, Bytes(kMaxStructSize + 1)}), std::length_error);
}

}  // namespace
}  // namespace quorvane::iokit
