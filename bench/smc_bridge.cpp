// A warm key read and write through the whole production path: SMCKernelBridge over
// IOKitSMCTransport over the in-process virtual Mac registered as "AppleSMC".
#include <benchmark/benchmark.h>

#include "platform/clock/clock.hpp"
#include "sim/virtual_mac.hpp"
#include "smc/smc_kernel_bridge.hpp"

using namespace quorvane;

namespace {

void BM_VirtualMacWarmRead(benchmark::State& state) {
    const clock::SuspendingClock clock;
    auto mac = sim::VirtualMac::create("apple-silicon-laptop", clock);
    const auto registration = mac->registerInProcess();
    const auto bridge = SMCKernelBridge::open();
    bridge->read("F0Ac");  // learn the key once
    for (auto _ : state) {
        benchmark::DoNotOptimize(bridge->read("F0Ac"));
    }
}
BENCHMARK(BM_VirtualMacWarmRead);

void BM_VirtualMacWarmKeyInfoHit(benchmark::State& state) {
    const clock::SuspendingClock clock;
    auto mac = sim::VirtualMac::create("apple-silicon-laptop", clock);
    const auto registration = mac->registerInProcess();
    const auto bridge = SMCKernelBridge::open();
    bridge->keyInfo("F0Ac");
    for (auto _ : state) {
        benchmark::DoNotOptimize(bridge->keyInfo("F0Ac"));
    }
}
BENCHMARK(BM_VirtualMacWarmKeyInfoHit);

}  // namespace

BENCHMARK_MAIN();
