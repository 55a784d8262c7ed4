// Per-tick cost of the application's control loop pieces: one pipeline evaluation on a
// four-point curve, one trend fit over 240 samples, one workload boost with ten running apps.
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "shared/control/control_pipeline.hpp"
#include "shared/control/thermal_trend.hpp"
#include "shared/control/workload_policy.hpp"

using namespace quorvane;

namespace {

void BM_TargetPercentageFourPointCurve(benchmark::State& state) {
    ControlPipeline p(FanCurve({{40, 0}, {60, 0.25}, {75, 0.5}, {90, 1}}), EMAFilter(0.3), 0.1);
    double temp = 35;
    for (auto _ : state) {
        benchmark::DoNotOptimize(p.targetPercentage(temp));
        temp = temp >= 95 ? 35 : temp + 0.37;
    }
}
BENCHMARK(BM_TargetPercentageFourPointCurve);

void BM_ThermalTrendFit240Samples(benchmark::State& state) {
    // Two minutes at 2 Hz, warming slowly with some jitter.
    std::vector<ThermalSample> samples;
    for (int i = 0; i < 240; ++i) samples.push_back({i * 0.5, 55 + i * 0.01 + (i % 7) * 0.05});
    for (auto _ : state) benchmark::DoNotOptimize(ThermalTrend::fit(samples, 95));
}
BENCHMARK(BM_ThermalTrendFit240Samples);

void BM_CurrentBoostTenRunningApps(benchmark::State& state) {
    WorkloadPolicy policy;
    const char* prefixes[] = {"com.apple.dt.Xcode", "com.apple.FinalCut", "org.blenderfoundation.blender",
                              "com.adobe.PremierePro", "com.blackmagic-design.DaVinciResolve"};
    for (int i = 0; i < 10; ++i) policy.running.insert(std::string(prefixes[i % 5]) + ".instance" + std::to_string(i));
    for (auto _ : state) benchmark::DoNotOptimize(policy.currentBoost());
}
BENCHMARK(BM_CurrentBoostTenRunningApps);

}  // namespace

BENCHMARK_MAIN();
