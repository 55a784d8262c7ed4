// Sensor discovery and the device sensor map: a full walk of the largest real key table through
// the in-process virtual Mac (cold bridge and warm bridge), a refresh of its sensors, and
// fixedList plus all five aggregates over 300 sensors.
#include <benchmark/benchmark.h>

#include <filesystem>

#include "shared/sensors/device_sensor_map.hpp"
#include "shared/sensors/sensor_classifier.hpp"
#include "sim/virtual_mac.hpp"
#include "smc/sensor_discovery.hpp"

using namespace quorvane;

namespace {

// The key table with the most keys, or the biggest profile when no tables are present.
sim::MachineProfile largestMachine() {
    std::filesystem::path best;
    std::uintmax_t size = 0;
    std::error_code ec;
    for (const auto& e : std::filesystem::directory_iterator(sim::MachineProfile::dumpDirectory(), ec)) {
        if (e.path().extension() == ".csv" && e.file_size() > size) size = e.file_size(), best = e.path();
    }
    return best.empty() ? sim::MachineProfile::load("apple-silicon-laptop") : sim::MachineProfile::fromDump(best);
}

struct Machine {
    clock::SuspendingClock clock;
    std::shared_ptr<sim::VirtualMac> mac = sim::VirtualMac::create(largestMachine(), clock);
    std::unique_ptr<iokit::ScopedServiceRegistration> registration = mac->registerInProcess();
};

Machine& machine() {
    static Machine m;
    return m;
}

void BM_FullWalkColdBridge(benchmark::State& state) {
    auto& m = machine();
    for (auto _ : state) {
        SensorDiscovery discovery(SMCKernelBridge::open());
        benchmark::DoNotOptimize(discovery.discoverAll());
    }
    state.counters["keys"] = static_cast<double>(m.mac->model().keyCount());
}
BENCHMARK(BM_FullWalkColdBridge)->Unit(benchmark::kMillisecond);

void BM_FullWalkWarmBridge(benchmark::State& state) {
    machine();
    SensorDiscovery discovery(SMCKernelBridge::open());
    discovery.discoverAll();
    for (auto _ : state) benchmark::DoNotOptimize(discovery.discoverAll());
}
BENCHMARK(BM_FullWalkWarmBridge)->Unit(benchmark::kMillisecond);

void BM_RefreshAllSensors(benchmark::State& state) {
    machine();
    SensorDiscovery discovery(SMCKernelBridge::open());
    auto sensors = discovery.discoverAll();
    for (auto _ : state) sensors = discovery.refresh(sensors);
    state.counters["sensors"] = static_cast<double>(sensors.size());
}
BENCHMARK(BM_RefreshAllSensors)->Unit(benchmark::kMicrosecond);

// 300 sensors shaped like a large Apple-silicon machine: P and E cores, "Tex", GPU clusters,
// power-manager dies and a few proximity keys.
std::vector<SMCSensor> threeHundredSensors() {
    const char* alphabet = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
    std::vector<std::string> keys{"TW0P", "TB0T", "TB1T", "TPSP", "TDeL", "TDeR", "TH0x"};
    for (int i = 0; i < 4; ++i) keys.push_back(std::string("Tex") + alphabet[i]);
    for (const char* prefix : {"Tp", "Te", "Tg", "TG", "TPD"}) {
        for (int i = 0; keys.size() < 300 && i < (std::string(prefix) == "Tp" ? 100 : 50); ++i) {
            std::string key = prefix;
            if (key.size() == 2) key += alphabet[i / 62], key += alphabet[i % 62];
            else key += alphabet[i % 62];
            keys.push_back(key);
        }
    }
    while (keys.size() < 300) keys.push_back("Ts" + std::to_string(keys.size() % 100));
    std::vector<SMCSensor> sensors;
    for (std::size_t i = 0; i < keys.size(); ++i) {
        const auto c = SensorClassifier::classify(keys[i], SMCDataType::of(SMCDataType::Kind::flt), 40.0);
        sensors.push_back({keys[i], keys[i], c.name, SensorClassifier::category(keys[i], c.sensorClass),
                           30.0 + static_cast<double>(i % 40), c.sensorClass, std::string(unit(c.sensorClass))});
    }
    return sensors;
}

void BM_FixedListAndAllAggregates300(benchmark::State& state) {
    const auto sensors = threeHundredSensors();
    const DeviceSensorMap::CoreCounts counts{10, 4};
    for (auto _ : state) {
        benchmark::DoNotOptimize(DeviceSensorMap::fixedList(sensors, counts));
        for (ControlSource s : control_source::allCases)
            benchmark::DoNotOptimize(DeviceSensorMap::aggregate(s, sensors, counts));
    }
}
BENCHMARK(BM_FixedListAndAllAggregates300)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
