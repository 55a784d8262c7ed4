#include "platform/xpc/frame.hpp"

#include <algorithm>
#include <bit>
#include <cstring>

namespace quorvane::xpc {

namespace {

enum FrameType : std::uint8_t { kHello = 1, kInvoke = 2, kReply = 3 };
enum ValueTag : std::uint8_t { kNil = 0, kBool = 1, kInt = 2, kDouble = 3, kString = 4, kError = 5 };

class Writer {
public:
    void u8(std::uint8_t v) { out_.push_back(v); }
    void u32(std::uint32_t v) {
        for (int i = 0; i < 4; ++i) out_.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
    }
    void u64(std::uint64_t v) {
        for (int i = 0; i < 8; ++i) out_.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
    }
    // Sizes beyond u32 cannot fit a frame anyway; mark the frame too large instead of truncating.
    void str(const std::string& s) {
        if (s.size() > kMaxFramePayload) {
            tooLarge_ = true;
            return;
        }
        u32(static_cast<std::uint32_t>(s.size()));
        out_.insert(out_.end(), s.begin(), s.end());
    }
    void value(const Value& v) {
        std::visit(
            [this](const auto& x) {
                using T = std::decay_t<decltype(x)>;
                if constexpr (std::is_same_v<T, std::monostate>) {
                    u8(kNil);
                } else if constexpr (std::is_same_v<T, bool>) {
                    u8(kBool);
                    u8(x ? 1 : 0);
                } else if constexpr (std::is_same_v<T, std::int64_t>) {
                    u8(kInt);
                    u64(static_cast<std::uint64_t>(x));
                } else if constexpr (std::is_same_v<T, double>) {
                    u8(kDouble);
                    u64(std::bit_cast<std::uint64_t>(x));
                } else if constexpr (std::is_same_v<T, std::string>) {
                    u8(kString);
                    str(x);
                } else {
                    u8(kError);
                    str(x.domain);
                    u64(static_cast<std::uint64_t>(x.code));
                    count(x.userInfo.size());
                    for (const auto& [key, val] : x.userInfo) {
                        str(key);
                        str(val);
                    }
                }
            },
            v);
    }
    void values(const std::vector<Value>& vs) {
        count(vs.size());
        for (const auto& v : vs) value(v);
    }
    std::optional<std::vector<std::uint8_t>> finish() && {
        if (tooLarge_ || out_.size() > kMaxFramePayload) return std::nullopt;
        return std::move(out_);
    }

private:
    void count(std::size_t n) {
        if (n > kMaxFramePayload) {
            tooLarge_ = true;
            return;
        }
        u32(static_cast<std::uint32_t>(n));
    }
    std::vector<std::uint8_t> out_;
    bool tooLarge_ = false;
};

// Every read checks the remaining length first; a failed read poisons the reader.
class Reader {
public:
    explicit Reader(std::span<const std::uint8_t> in) : in_(in) {}

    bool ok() const { return ok_; }
    bool atEnd() const { return pos_ == in_.size(); }

    std::uint8_t u8() {
        if (!need(1)) return 0;
        return in_[pos_++];
    }
    std::uint32_t u32() {
        if (!need(4)) return 0;
        std::uint32_t v = 0;
        for (int i = 0; i < 4; ++i) v |= std::uint32_t{in_[pos_++]} << (8 * i);
        return v;
    }
    std::uint64_t u64() {
        if (!need(8)) return 0;
        std::uint64_t v = 0;
        for (int i = 0; i < 8; ++i) v |= std::uint64_t{in_[pos_++]} << (8 * i);
        return v;
    }
    std::string str() {
        std::uint32_t n = u32();
        if (!need(n)) return {};
        std::string s(reinterpret_cast<const char*>(in_.data() + pos_), n);
        pos_ += n;
        return s;
    }
    bool boolean() {
        std::uint8_t b = u8();
        if (b > 1) ok_ = false;
        return b == 1;
    }
    Value value() {
        switch (u8()) {
            case kNil: return std::monostate{};
            case kBool: return boolean();
            case kInt: return static_cast<std::int64_t>(u64());
            case kDouble: return std::bit_cast<double>(u64());
            case kString: return str();
            case kError: {
                ErrorObject e;
                e.domain = str();
                e.code = static_cast<std::int64_t>(u64());
                std::uint32_t n = u32();
                // Each entry takes at least 8 bytes: a count larger than that is a lie.
                if (!ok_ || n > remaining() / 8) {
                    ok_ = false;
                    return std::monostate{};
                }
                for (std::uint32_t i = 0; i < n && ok_; ++i) {
                    std::string key = str();
                    std::string val = str();
                    if (!ok_) break;
                    // Strictly ascending keys: one encoding per dictionary, no silent duplicates.
                    if (!e.userInfo.empty() && !(e.userInfo.rbegin()->first < key)) {
                        ok_ = false;
                        break;
                    }
                    e.userInfo.emplace_hint(e.userInfo.end(), std::move(key), std::move(val));
                }
                return e;
            }
            default: ok_ = false; return std::monostate{};
        }
    }
    std::vector<Value> values() {
        std::uint32_t n = u32();
        std::vector<Value> out;
        // Each value takes at least one byte.
        if (!ok_ || n > remaining()) {
            ok_ = false;
            return out;
        }
        out.reserve(n);
        for (std::uint32_t i = 0; i < n && ok_; ++i) out.push_back(value());
        return out;
    }

private:
    std::size_t remaining() const { return in_.size() - pos_; }
    bool need(std::size_t n) {
        if (!ok_ || n > remaining()) {
            ok_ = false;
            return false;
        }
        return true;
    }

    std::span<const std::uint8_t> in_;
    std::size_t pos_ = 0;
    bool ok_ = true;
};

}  // namespace

std::optional<std::vector<std::uint8_t>> encodeFrame(const Frame& frame) {
    Writer w;
    if (const auto* hello = std::get_if<HelloFrame>(&frame)) {
        w.u8(kHello);
        w.u8(hello->version);
        w.u8(static_cast<std::uint8_t>((hello->identity.isSigned ? 1 : 0) | (hello->identity.appleAnchored ? 2 : 0)));
        w.str(hello->identity.identifier);
        w.str(hello->identity.teamOU);
    } else if (const auto* invoke = std::get_if<InvokeFrame>(&frame)) {
        w.u8(kInvoke);
        w.u64(invoke->serial);
        w.str(invoke->selector);
        w.values(invoke->arguments);
    } else {
        const auto& reply = std::get<ReplyFrame>(frame);
        w.u8(kReply);
        w.u64(reply.serial);
        w.values(reply.values);
    }
    return std::move(w).finish();
}

std::optional<Frame> decodeFrame(std::span<const std::uint8_t> payload) {
    if (payload.empty() || payload.size() > kMaxFramePayload) return std::nullopt;
    Reader r(payload);
    std::optional<Frame> frame;
    switch (r.u8()) {
        case kHello: {
            HelloFrame hello;
            hello.version = r.u8();
            std::uint8_t flags = r.u8();
            if (flags > 3) return std::nullopt;
            hello.identity.isSigned = (flags & 1) != 0;
            hello.identity.appleAnchored = (flags & 2) != 0;
            hello.identity.identifier = r.str();
            hello.identity.teamOU = r.str();
            frame = std::move(hello);
            break;
        }
        case kInvoke: {
            InvokeFrame invoke;
            invoke.serial = r.u64();
            invoke.selector = r.str();
            invoke.arguments = r.values();
            frame = std::move(invoke);
            break;
        }
        case kReply: {
            ReplyFrame reply;
            reply.serial = r.u64();
            reply.values = r.values();
            frame = std::move(reply);
            break;
        }
        default: return std::nullopt;
    }
    if (!r.ok() || !r.atEnd()) return std::nullopt;
    return frame;
}

std::optional<std::size_t> framePayloadLength(std::span<const std::uint8_t, kFrameHeaderSize> header) {
    std::uint32_t n = 0;
    for (std::size_t i = 0; i < kFrameHeaderSize; ++i) n |= std::uint32_t{header[i]} << (8 * i);
    if (n == 0 || n > kMaxFramePayload) return std::nullopt;
    return n;
}

void writeFrameHeader(std::size_t payloadLength, std::span<std::uint8_t, kFrameHeaderSize> header) {
    auto n = static_cast<std::uint32_t>(payloadLength);
    for (std::size_t i = 0; i < kFrameHeaderSize; ++i) header[i] = static_cast<std::uint8_t>(n >> (8 * i));
}

std::span<std::uint8_t> FrameReader::space() {
    if (begin_ == end_) {
        begin_ = end_ = 0;
        // Give back what one large frame needed, so an idle connection holds one chunk.
        if (buffer_.size() > 2 * kReadChunk) std::vector<std::uint8_t>().swap(buffer_);
    }
    std::size_t want = kReadChunk;
    const std::size_t held = end_ - begin_;
    if (held >= kFrameHeaderSize) {
        auto length = framePayloadLength(std::span<const std::uint8_t, kFrameHeaderSize>(buffer_.data() + begin_,
                                                                                        kFrameHeaderSize));
        if (length && kFrameHeaderSize + *length > held) want = std::max(want, kFrameHeaderSize + *length - held);
    }
    if (buffer_.size() - end_ < want) {
        if (begin_ > 0) {
            std::memmove(buffer_.data(), buffer_.data() + begin_, held);
            begin_ = 0;
            end_ = held;
        }
        if (buffer_.size() - end_ < want) buffer_.resize(end_ + want);
    }
    return {buffer_.data() + end_, buffer_.size() - end_};
}

void FrameReader::commit(std::size_t bytesRead) { end_ += std::min(bytesRead, buffer_.size() - end_); }

FrameReader::Status FrameReader::next(std::span<const std::uint8_t>& payload) {
    const std::size_t held = end_ - begin_;
    if (held < kFrameHeaderSize) return Status::needMore;
    auto length =
        framePayloadLength(std::span<const std::uint8_t, kFrameHeaderSize>(buffer_.data() + begin_, kFrameHeaderSize));
    if (!length) return Status::malformed;
    if (held < kFrameHeaderSize + *length) return Status::needMore;
    payload = {buffer_.data() + begin_ + kFrameHeaderSize, *length};
    begin_ += kFrameHeaderSize + *length;
    return Status::frame;
}

}  // namespace quorvane::xpc
