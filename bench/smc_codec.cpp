// Codec cost per value for every type, and a warm key read through the bridge over a transport
// that answers from memory (the bridge's own overhead: cache lookup, record build, decode).
#include <benchmark/benchmark.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "shared/smc/four_cc.hpp"
#include "shared/smc/smc_data_codec.hpp"
#include "smc/smc_kernel_bridge.hpp"

using namespace quorvane;

namespace {

struct Case {
    SMCDataType::Kind kind;
    std::vector<std::uint8_t> bytes;
    double value;
};

const Case& caseFor(int i) {
    static const Case cases[] = {
        {SMCDataType::Kind::fpe2, {0x1F, 0x40}, 1800.3},
        {SMCDataType::Kind::sp78, {0x28, 0x80}, 40.5},
        {SMCDataType::Kind::flt, {0x00, 0x00, 0xFA, 0x44}, 2000.0},
        {SMCDataType::Kind::ui8, {0x02}, 2.0},
        {SMCDataType::Kind::ui16, {0x07, 0xD0}, 2000.0},
        {SMCDataType::Kind::ui32, {0x00, 0x00, 0x07, 0xD0}, 2000.0},
        {SMCDataType::Kind::flag, {0x01}, 1.0},
    };
    return cases[i];
}

void BM_Decode(benchmark::State& state) {
    const Case& c = caseFor(static_cast<int>(state.range(0)));
    const SMCDataType type = SMCDataType::of(c.kind);
    state.SetLabel(type.name());
    for (auto _ : state) {
        benchmark::DoNotOptimize(SMCDataCodec::decode(c.bytes, type));
    }
}
BENCHMARK(BM_Decode)->DenseRange(0, 6);

void BM_Encode(benchmark::State& state) {
    const Case& c = caseFor(static_cast<int>(state.range(0)));
    const SMCDataType type = SMCDataType::of(c.kind);
    state.SetLabel(type.name());
    double v = c.value;
    for (auto _ : state) {
        benchmark::DoNotOptimize(v);
        benchmark::DoNotOptimize(SMCDataCodec::encode(v, type));
    }
}
BENCHMARK(BM_Encode)->DenseRange(0, 6);

// Answers every request with one fixed reply: key information and value in the same record.
class FixedTransport final : public SMCTransport {
public:
    FixedTransport() {
        reply_.keyInfo.dataSize = 2;
        reply_.keyInfo.dataType = FourCC::code("fpe2");
        reply_.bytes[0] = 0x1F;
        reply_.bytes[1] = 0x40;
    }
    SMCParamStruct call(const SMCParamStruct&) override { return reply_; }

private:
    SMCParamStruct reply_{};
};

void BM_BridgeWarmRead(benchmark::State& state) {
    SMCKernelBridge bridge(std::make_unique<FixedTransport>());
    // A realistic cache population, so the lookup is not a one-entry map.
    for (int fan = 0; fan < 10; ++fan) {
        for (const char* suffix : {"Ac", "Mn", "Mx", "Tg", "Md"}) {
            bridge.keyInfo(std::string("F") + static_cast<char>('0' + fan) + suffix);
        }
    }
    for (auto _ : state) {
        benchmark::DoNotOptimize(bridge.read("F0Ac"));
    }
}
BENCHMARK(BM_BridgeWarmRead);

void BM_BridgeWarmWrite(benchmark::State& state) {
    SMCKernelBridge bridge(std::make_unique<FixedTransport>());
    bridge.keyInfo("F0Tg");
    for (auto _ : state) {
        bridge.write("F0Tg", 1800.0);
    }
}
BENCHMARK(BM_BridgeWarmWrite);

}  // namespace

BENCHMARK_MAIN();
