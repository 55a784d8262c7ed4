// Key bridge over a transport that answers with fuzzed 80-byte records or fuzzed failures: reads,
// writes, key information, key count and key-by-index. Only SMCError may escape an operation, and
// hasKey must never throw.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include "smc/smc_error.hpp"
#include "smc/smc_kernel_bridge.hpp"
#include "smc/smc_transport.hpp"

using namespace quorvane;

namespace {

// Reads the fuzz input as a stream; runs dry as zeros.
class Input {
public:
    Input(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    std::uint8_t byte() { return pos_ < size_ ? data_[pos_++] : 0; }
    void bytes(void* out, std::size_t n) {
        auto* o = static_cast<std::uint8_t*>(out);
        for (std::size_t i = 0; i < n; ++i) o[i] = byte();
    }
    bool empty() const { return pos_ >= size_; }

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t pos_ = 0;
};

class FuzzTransport final : public SMCTransport {
public:
    explicit FuzzTransport(Input& in) : in_(in) {}
    SMCParamStruct call(const SMCParamStruct& request) override {
        // A request must never carry a command other than the four the bridge knows.
        if (request.data8 != 5 && request.data8 != 6 && request.data8 != 8 && request.data8 != 9) std::abort();
        const std::uint8_t mode = in_.byte();
        if (mode >= 240) throw SMCError::callFailed(static_cast<std::int32_t>(0xe00002c0u + mode));
        SMCParamStruct reply{};
        if (mode < 64) {
            // A plausible reply: mostly successful, with fuzzed key information and value bytes.
            reply.result = in_.byte() < 200 ? 0 : in_.byte();
            reply.keyInfo.dataSize = in_.byte() % 40;
            static constexpr std::uint32_t types[] = {0x66706532u, 0x73703738u, 0x666c7420u, 0x75693820u,
                                                      0x75693136u, 0x75693332u, 0x666c6167u, 0x63683821u};
            reply.keyInfo.dataType = types[in_.byte() % 8];
            in_.bytes(reply.bytes, 8);
            reply.key = request.key;
        } else {
            in_.bytes(&reply, sizeof reply);  // anything at all
        }
        return reply;
    }

private:
    Input& in_;
};

std::string keyName(Input& in) {
    static const char* const known[] = {"F0Ac", "F0Tg", "F0Md", "FNum", "Ftst", "#KEY", "TC0P"};
    const std::uint8_t sel = in.byte();
    if (sel < 200) return known[sel % 7];
    std::string s(sel % 7, '\0');  // 0 to 6 arbitrary bytes: malformed names included
    for (char& c : s) c = static_cast<char>(in.byte());
    return s;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Input in(data, size);
    SMCKernelBridge bridge(std::make_unique<FuzzTransport>(in));
    for (int step = 0; step < 64 && !in.empty(); ++step) {
        const std::uint8_t op = in.byte() % 7;
        const std::string key = keyName(in);
        try {
            switch (op) {
                case 0: bridge.read(key); break;
                case 1: {
                    double v = 0;
                    in.bytes(&v, sizeof v);
                    bridge.write(key, v);
                    break;
                }
                case 2: bridge.keyInfo(key); break;
                case 3: (void)bridge.readRaw(key); break;
                case 4: bridge.keyCount(); break;
                case 5: {
                    long long index = 0;
                    in.bytes(&index, sizeof index);
                    if (in.byte() & 1) index &= 0xFFFFFFFF;
                    bridge.key(index);
                    break;
                }
                case 6: (void)bridge.hasKey(key); break;
            }
        } catch (const SMCError& e) {
            (void)e.description();
        }
    }
    return 0;
}
