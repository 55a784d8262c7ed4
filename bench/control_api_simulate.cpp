// What one /v1/simulate costs the control service's API thread with the tick ring full (an hour,
// two fans): the candidate parsed, 3600 ticks through the control loop, the reply written.
#include <benchmark/benchmark.h>

#include <string>

#include "control_api.hpp"

namespace {

void BM_SimulateAFullHour(benchmark::State& state) {
    quorvane::ctl::ControlApi api;
    api.following("Quorvane Standard", quorvane::ctl::ControlLoop(quorvane::FanProfile::quorvaneStandard(), std::nullopt,
                                                                  {true, 90, true}, {}));
    for (int i = 0; i < 3600; ++i) {
        quorvane::ctl::RunTick tick;
        tick.t = i;
        tick.temperature = 50 + (i % 600) / 20.0;
        for (int fan = 0; fan < 2; ++fan) {
            quorvane::FanStatus f;
            f.id = fan;
            f.currentRPM = 1500 + i % 1000;
            f.minRPM = 1200;
            f.maxRPM = 6000;
            f.targetRPM = f.currentRPM;
            f.isManaged = true;
            tick.fans.push_back(f);
        }
        tick.duty = {0.5, 0.5};
        api.record(tick, 1e9 + i);
    }
    const std::string request =
        "/v1/simulate?profile=%7B%22id%22%3A%2200000000-0000-0000-0000-0000000000AA%22%2C%22name%22%3A%22Try%22%2C%22mode%22%3A2%2C"
        "%22constantTargetRPM%22%3A0%2C%22targetSensorGroupID%22%3A%22max%22%2C%22curvePoints%22%3A%5B%7B%22id%22%3A%2200000000-"
        "0000-0000-0000-0000000000AB%22%2C%22temperature%22%3A40%2C%22rpmPercentage%22%3A0.1%7D%2C%7B%22id%22%3A%2200000000-0000-"
        "0000-0000-0000000000AC%22%2C%22temperature%22%3A80%2C%22rpmPercentage%22%3A1%7D%5D%7D";
    std::size_t bytes = 0;
    for (auto _ : state) {
        const std::string reply = api.answer(request, 1e9 + 3599);
        bytes = reply.size();
        benchmark::DoNotOptimize(reply.data());
    }
    state.counters["replyBytes"] = static_cast<double>(bytes);
}
BENCHMARK(BM_SimulateAFullHour)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
