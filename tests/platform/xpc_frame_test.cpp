// Encoding and decoding of connection frames, including hostile input.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <limits>
#include <string>
#include <vector>

#include "platform/xpc/frame.hpp"

namespace quorvane::xpc {
namespace {

std::vector<Value> everyKind() {
    using namespace std::string_literals;
    return {std::monostate{}, true, false, std::numeric_limits<std::int64_t>::min(), std::int64_t{-1}, -2750.5,
            std::numeric_limits<double>::infinity(), "with\0nul"s, ""s, ErrorObject{"", 0, {}},
            ErrorObject{"com.quorvane.SMCService", 1002, {{kLocalizedDescriptionKey, "no fan 7"}, {"a", ""}}}};
}

std::vector<std::uint8_t> encoded(const Frame& frame) {
    auto bytes = encodeFrame(frame);
    EXPECT_TRUE(bytes.has_value());
    return bytes.value_or(std::vector<std::uint8_t>{});
}

TEST(FrameRoundTrip, EveryFrameTypeAndValueKindSurvives) {
    const std::vector<Frame> frames = {
        HelloFrame{kFrameProtocolVersion, CodeIdentity{true, true, "com.quorvane.app", "K7Q2M5ZR1T"}},
        HelloFrame{kFrameProtocolVersion, CodeIdentity{}},
        InvokeFrame{std::numeric_limits<std::uint64_t>::max(), "setTargetRPMWithFan:rpm:reply:", everyKind()},
        InvokeFrame{1, "helperVersionWithReply:", {}},
        ReplyFrame{42, everyKind()},
        ReplyFrame{0, {}},
    };
    for (const auto& frame : frames) EXPECT_EQ(decodeFrame(encoded(frame)), frame);
}

// Every truncation, trailing bytes, unknown types, non-canonical values, duplicate error keys and
// counts that lie (which must not allocate) are all rejected.
TEST(FrameDecoding, TruncatedAndHostileFramesAreRejected) {
    const auto bytes = encoded(ReplyFrame{7, everyKind()});
    for (std::size_t n = 0; n < bytes.size(); ++n) {
        EXPECT_FALSE(decodeFrame(std::span(bytes.data(), n)).has_value()) << "prefix " << n;
    }
    auto trailing = encoded(InvokeFrame{1, "x", {true}});
    trailing.push_back(0);
    auto duplicateKey = encoded(ReplyFrame{1, {ErrorObject{"d", 1, {{"a", "1"}, {"b", "2"}}}}});
    std::ranges::replace(duplicateKey, std::uint8_t{'b'}, std::uint8_t{'a'});  // the only 'b' is the second key
    const std::vector<std::vector<std::uint8_t>> rows = {
        trailing,
        duplicateKey,
        {0, 0, 0, 0, 0},
        {4, 0, 0, 0, 0},
        {255, 0, 0, 0, 0},
        {3, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 1, 2},  // reply, serial, count 1, bool tag, byte 2
        {3, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 6},     // unknown value tag
        {1, 1, 4, 0, 0, 0, 0, 0, 0, 0, 0},              // hello with undefined flag bits
        {3, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF},  // 0xFFFFFFFF values, none present
        {3, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 5, 0, 0, 0, 0,  // an error with 0xFFFFFFFF entries
         0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF},
        {2, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0x7F, 'x'},  // a 2 GiB string
    };
    for (std::size_t i = 0; i < rows.size(); ++i) EXPECT_FALSE(decodeFrame(rows[i]).has_value()) << "row " << i;
    EXPECT_TRUE(decodeFrame(std::vector<std::uint8_t>{3, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 1, 1}).has_value());
}

// Nothing larger than a frame may hold is encoded, decoded, announced or read; nor is an empty frame.
TEST(FrameSize, OversizeFramesAreNeitherEncodedNorAnnouncedNorRead) {
    EXPECT_FALSE(encodeFrame(InvokeFrame{1, "x", {std::string(kMaxFramePayload, 'a')}}).has_value());
    EXPECT_TRUE(encodeFrame(InvokeFrame{1, "x", {std::string(kMaxFramePayload - 100, 'a')}}).has_value());
    std::vector<std::uint8_t> huge(kMaxFramePayload + 1, 0);
    huge[0] = 3;
    EXPECT_FALSE(decodeFrame(huge).has_value());
    std::array<std::uint8_t, kFrameHeaderSize> header{};
    writeFrameHeader(kMaxFramePayload, header);
    EXPECT_EQ(framePayloadLength(header), kMaxFramePayload);
    for (std::size_t length : {std::size_t{0}, kMaxFramePayload + 1}) {
        writeFrameHeader(length, header);
        EXPECT_FALSE(framePayloadLength(header).has_value()) << length;
        FrameReader reader;
        std::ranges::copy(header, reader.space().begin());
        reader.commit(kFrameHeaderSize);
        std::span<const std::uint8_t> payload;
        EXPECT_EQ(reader.next(payload), FrameReader::Status::malformed) << length;
    }
}

// Frames arrive split and merged at any byte boundary; the reader hands out exactly the payloads
// that were written, however the bytes were cut.
TEST(FrameReading, PayloadsSurviveAnySplitOfTheStream) {
    const std::vector<std::vector<std::uint8_t>> payloads = {
        encoded(HelloFrame{kFrameProtocolVersion, CodeIdentity{true, true, "com.quorvane.app", "K7Q2M5ZR1T"}}),
        encoded(InvokeFrame{1, "x", {std::string(kMaxFramePayload - 100, 'a')}}),
        encoded(ReplyFrame{2, everyKind()}),
        encoded(ReplyFrame{3, {}}),
    };
    std::vector<std::uint8_t> stream;
    for (const auto& p : payloads) {
        std::array<std::uint8_t, kFrameHeaderSize> header{};
        writeFrameHeader(p.size(), header);
        stream.insert(stream.end(), header.begin(), header.end());
        stream.insert(stream.end(), p.begin(), p.end());
    }
    for (std::size_t chunk : {std::size_t{1}, std::size_t{3}, std::size_t{4096}, stream.size()}) {
        FrameReader reader;
        std::vector<std::vector<std::uint8_t>> out;
        std::size_t reads = 0;
        for (std::size_t at = 0; at < stream.size();) {
            auto space = reader.space();
            ASSERT_GE(space.size(), std::min(chunk, FrameReader::kReadChunk));
            const std::size_t n = std::min({chunk, space.size(), stream.size() - at});
            std::copy_n(stream.begin() + static_cast<std::ptrdiff_t>(at), n, space.begin());
            reader.commit(n);
            at += n;
            ++reads;
            std::span<const std::uint8_t> payload;
            while (reader.next(payload) == FrameReader::Status::frame) out.emplace_back(payload.begin(), payload.end());
        }
        EXPECT_EQ(out, payloads) << "chunk " << chunk;
        EXPECT_FALSE(reader.midFrame());
        if (chunk == stream.size()) {
            EXPECT_LE(reads, 3u) << "the large frame is read in one go once announced";
        }
    }
}

}  // namespace
}  // namespace quorvane::xpc
