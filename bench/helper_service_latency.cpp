// Call-to-reply latency of the service in process, real threads, against the in-process virtual
// Mac: a warm setTargetRPM (fan already manual: one SMC exchange) and a heartbeat.
#include <benchmark/benchmark.h>

#include <future>

#include "helper/helper_service.hpp"
#include "sim/virtual_mac.hpp"

namespace {

using namespace quorvane;

struct Rig {
    clock::SuspendingClock clock;
    std::shared_ptr<sim::VirtualMac> mac = sim::VirtualMac::create("intel-desktop", clock);
    std::unique_ptr<iokit::ScopedServiceRegistration> registration = mac->registerInProcess();
    std::shared_ptr<HelperService> service =
        std::make_shared<HelperService>(SMCKernelBridge::open(), 10.0, 0.1, 5.0);
};

void BM_WarmSetTargetRPM(benchmark::State& state) {
    Rig rig;
    std::promise<void> first;
    rig.service->setTargetRPM(0, 1500, [&](double, OptionalError) { first.set_value(); });
    first.get_future().wait();
    double rpm = 1300;
    for (auto _ : state) {
        std::promise<double> done;
        rig.service->setTargetRPM(0, rpm, [&](double applied, OptionalError) { done.set_value(applied); });
        benchmark::DoNotOptimize(done.get_future().get());
        rpm = rpm == 1300 ? 1400 : 1300;
    }
    rig.service->exitRestore();
}
BENCHMARK(BM_WarmSetTargetRPM)->UseRealTime();

void BM_Heartbeat(benchmark::State& state) {
    Rig rig;
    for (auto _ : state) {
        std::promise<double> done;
        rig.service->heartbeat([&](double uptime) { done.set_value(uptime); });
        benchmark::DoNotOptimize(done.get_future().get());
    }
}
BENCHMARK(BM_Heartbeat)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
