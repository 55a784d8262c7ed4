// Cost of the kernel path on a real Mac's key table (MacBookPro11,4, mainline applesmc layout)
// laid out as the driver's files in a temp directory: file accesses and time per control tick,
// for the daemon (one target write per fan) and the client (fan status and temperature refresh),
// plus the one-time costs (finding a key in the index, a full sensor walk).
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "platform/iokit/kernel_smc_service.hpp"
#include "smc/sensor_discovery.hpp"
#include "smc/smc_fan_reader.hpp"
#include "smc/smc_kernel_bridge.hpp"

using namespace quorvane;
namespace fs = std::filesystem;

namespace {

struct Key {
    std::string name, type, bytes;
};

std::string unhex(const std::string& hex) {
    std::string out;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2) out.push_back(static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    return out;
}

unsigned be16(const std::string& b) { return static_cast<unsigned char>(b[0]) << 8 | static_cast<unsigned char>(b[1]); }

// The driver's files for one table; the cursor files follow each key_at_index write.
class DriverTree {
public:
    DriverTree() : root_(fs::temp_directory_path() / ("quorvane-bench-kernel-" + std::to_string(::getpid()))) {
        fs::create_directories(root_);
        std::ifstream csv(std::string(QUORVANE_TABLES) + "/MacBookPro11_4.csv");
        std::string line;
        std::getline(csv, line);
        while (std::getline(csv, line)) {
            std::stringstream row(line);
            Key k;
            std::string size, hex;
            std::getline(row, k.name, ',');
            std::getline(row, k.type, ',');
            std::getline(row, size, ',');
            std::getline(row, hex, ',');
            k.name.resize(4, ' ');
            k.type.resize(4, ' ');
            k.bytes = unhex(hex);
            keys_.push_back(k);
        }
        put("key_count", std::to_string(keys_.size()) + "\n");
        put("key_at_index", "0\n");
        int temps = 0;
        for (const Key& k : keys_) {
            if (k.name[0] == 'F' && k.name[1] >= '0' && k.name[1] <= '9' && k.type == "fpe2") {
                static const std::pair<const char*, const char*> files[] = {
                    {"Ac", "input"}, {"Mn", "min"}, {"Mx", "max"}, {"Tg", "output"}, {"Sf", "safe"}};
                for (const auto& [suffix, file] : files) {
                    if (k.name.substr(2) == suffix)
                        put("fan" + std::to_string(k.name[1] - '0' + 1) + "_" + file, std::to_string(be16(k.bytes) >> 2) + "\n");
                }
                put("fan" + std::to_string(k.name[1] - '0' + 1) + "_manual", "0\n");
            }
            if (k.name[0] == 'T' && k.type == "sp78") {
                ++temps;
                put("temp" + std::to_string(temps) + "_label", k.name + "\n");
                put("temp" + std::to_string(temps) + "_input",
                    std::to_string(250 * (static_cast<std::int16_t>(be16(k.bytes)) >> 6)) + "\n");
            }
        }
    }
    ~DriverTree() { fs::remove_all(root_); }

    std::shared_ptr<iokit::KernelSMCService> service() {
        std::string error;
        return iokit::KernelSMCService::create(
            {iokit::SMCBackend::Kind::applesmc, root_.string(), std::chrono::milliseconds(1000),
             [this](const std::string& path, const std::string& text) {
                 if (fs::path(path).filename() == "key_at_index") select(std::stoul(text));
             }},
            error);
    }

private:
    void put(const std::string& rel, const std::string& text) { std::ofstream(root_ / rel, std::ios::binary) << text; }
    void select(std::size_t i) {
        if (i >= keys_.size()) return;
        put("key_at_index", std::to_string(i) + "\n");
        put("key_at_index_name", keys_[i].name + "\n");
        put("key_at_index_type", keys_[i].type + "\n");
        put("key_at_index_data_length", std::to_string(keys_[i].bytes.size()) + "\n");
        put("key_at_index_data", keys_[i].bytes);
    }
    fs::path root_;
    std::vector<Key> keys_;
};

void report(benchmark::State& state, const iokit::KernelSMCService& s, std::uint64_t before) {
    state.counters["file_ops_per_iteration"] =
        static_cast<double>(s.fileOperations() - before) / static_cast<double>(state.iterations());
}

// The daemon's tick once fans are engaged and bounds cached: one target write per fan.
void BM_KernelDaemonTick(benchmark::State& state) {
    DriverTree tree;
    auto service = tree.service();
    iokit::ScopedServiceRegistration registration("AppleSMC", service);
    const auto bridge = SMCKernelBridge::open();
    const long fans = SMCFanReader(bridge).fanCount();
    for (long f = 0; f < fans; ++f) bridge->write("F" + std::to_string(f) + "Tg", 3000);
    const auto before = service->fileOperations();
    for (auto _ : state) {
        for (long f = 0; f < fans; ++f) bridge->write("F" + std::to_string(f) + "Tg", 3000);
    }
    report(state, *service, before);
    state.counters["fans"] = static_cast<double>(fans);
}
BENCHMARK(BM_KernelDaemonTick);

// The client's tick: every fan's status with known bounds, then every temperature refreshed.
void BM_KernelClientTick(benchmark::State& state) {
    DriverTree tree;
    auto service = tree.service();
    iokit::ScopedServiceRegistration registration("AppleSMC", service);
    const auto bridge = SMCKernelBridge::open();
    const SMCFanReader reader(bridge);
    const long fans = reader.fanCount();
    auto sensors = SensorDiscovery(bridge).discover();
    const auto before = service->fileOperations();
    for (auto _ : state) {
        for (long f = 0; f < fans; ++f) benchmark::DoNotOptimize(reader.status(f, FanBounds{1200, 6000}));
        sensors = SensorDiscovery(bridge).refresh(sensors);
    }
    report(state, *service, before);
    state.counters["temperatures"] = static_cast<double>(sensors.size());
}
BENCHMARK(BM_KernelClientTick);

// One-time costs in a fresh process: the first read of a key (binary search), a full walk.
void BM_KernelFirstRead(benchmark::State& state) {
    DriverTree tree;
    for (auto _ : state) {
        auto service = tree.service();
        iokit::ScopedServiceRegistration registration("AppleSMC", service);
        benchmark::DoNotOptimize(SMCKernelBridge::open()->read("F0Ac"));
        state.counters["file_ops_per_iteration"] = static_cast<double>(service->fileOperations());
    }
}
BENCHMARK(BM_KernelFirstRead);

void BM_KernelSensorWalk(benchmark::State& state) {
    DriverTree tree;
    for (auto _ : state) {
        auto service = tree.service();
        iokit::ScopedServiceRegistration registration("AppleSMC", service);
        benchmark::DoNotOptimize(SensorDiscovery(SMCKernelBridge::open()).discoverAll());
        state.counters["file_ops_per_iteration"] = static_cast<double>(service->fileOperations());
    }
}
BENCHMARK(BM_KernelSensorWalk)->Iterations(2)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
