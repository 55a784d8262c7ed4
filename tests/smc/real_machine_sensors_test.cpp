// Discovery and the device sensor map over every machine profile and every real Mac's key table:
// the virtual Mac serves each table as recorded, nothing is misread, and the rows are what a user
// of that Mac would expect.
#include <filesystem>
#include <fstream>
#include <set>

#include <gtest/gtest.h>

#include "shared/sensors/device_sensor_map.hpp"
#include "shared/sensors/sensor_classifier.hpp"
#include "sim/sim_test_support.hpp"
#include "sim/virtual_mac.hpp"
#include "smc/cpu_topology.hpp"
#include "smc/die_sensor_group.hpp"
#include "smc/sensor_discovery.hpp"

namespace quorvane {
namespace {

using DeviceSensorMap::CoreCounts;

struct Walked {
    std::vector<SMCSensor> sensors;
    std::uint64_t exchanges = 0;
    std::size_t keys = 0;
    CPUTopology cpu;  // as the client reads it over sysctl
};

Walked walk(const sim::MachineProfile& profile) {
    sim::testing::FakeClock clock;
    auto mac = sim::VirtualMac::create(profile, clock);
    auto registration = mac->registerInProcess();
    auto sysctl = mac->registerSysctlInProcess();
    Walked w;
    w.sensors = SensorDiscovery(SMCKernelBridge::open()).discoverAll();
    w.exchanges = mac->model().totalExchanges();
    w.keys = mac->model().keyCount();
    w.cpu = CPUTopology::read();
    return w;
}

std::vector<std::string> ids(const std::vector<DeviceSensorReading>& rows) {
    std::vector<std::string> out;
    for (const auto& r : rows) out.push_back(r.id);
    return out;
}

std::vector<std::filesystem::path> dumps() {
    std::vector<std::filesystem::path> files;
    std::error_code ec;
    for (const auto& e : std::filesystem::directory_iterator(sim::MachineProfile::dumpDirectory(), ec))
        if (e.path().extension() == ".csv") files.push_back(e.path());
    std::sort(files.begin(), files.end());
    return files;
}

TEST(RealMachines, EveryTableIsServedAsRecordedAndWalkedWithinBudget) {
    const auto files = dumps();
    if (files.empty()) GTEST_SKIP() << "no key tables in " << sim::MachineProfile::dumpDirectory();
    for (const auto& file : files) {
        SCOPED_TRACE(file.filename().string());
        const auto profile = sim::MachineProfile::fromDump(file.string());
        sim::testing::FakeClock clock;
        sim::SMCKeyModel model(profile, clock);
        std::ifstream in(file);
        std::string line;
        std::getline(in, line);
        std::size_t rows = 0;
        while (std::getline(in, line)) {
            ++rows;
            const std::string key = line.substr(0, 4), hex = line.substr(line.find(',', line.find(',', 5) + 1) + 1);
            if (hex.front() == ',') continue;  // unreadable on that Mac
            const auto bytes = model.readKeyBytes(key);
            std::string text;
            for (auto b : bytes) text += "0123456789abcdef"[b >> 4], text += "0123456789abcdef"[b & 15];
            ASSERT_EQ(hex.substr(0, text.size()), text) << key;
        }
        EXPECT_EQ(model.keyCount(), rows);

        const Walked w = walk(profile);
        EXPECT_LE(w.exchanges, 3 * std::max<std::uint64_t>(w.keys, model.readKey("#KEY")) + 2);
        for (const auto& s : w.sensors) {
            // Every reading is the key's recorded value, decoded by its own type.
            EXPECT_EQ(s.currentTemp, model.readKey(s.key)) << s.key;
            if (s.sensorClass == SensorClass::temperature) {
                EXPECT_TRUE(SensorClassifier::plausibleTemperatureRange.contains(s.currentTemp)) << s.key;
            }
        }
        const auto rowsOut = DeviceSensorMap::fixedList(w.sensors, {4, 4});
        for (const auto& r : rowsOut)
            if (r.value) {
                EXPECT_TRUE(*r.value > 12.0 && *r.value <= 130.0) << r.id;
            }
    }
}

std::size_t rowsStarting(const std::vector<DeviceSensorReading>& rows, const std::string& prefix) {
    return static_cast<std::size_t>(
        std::count_if(rows.begin(), rows.end(), [&](const auto& r) { return r.id.rfind(prefix, 0) == 0; }));
}

// A die reading, by the rule written independently of the client's grouping:
// - Intel: the per-core and package keys TC<n>C/TC<n>c, TCXC/TCXc, TC0D, TC0E, TC0F, TCGC/TCGc,
//   and the discrete GPU dies TG<n>D/TG<n>d (the control temperature follows the GPU too: on the
//   MacPro6,1 table TG1D reads 40.0 while no CPU key reads above 34.0);
// - Apple silicon: every P-core, E-core and GPU key ("Tp", "Te", "Tg"; the "Tpx"/"Tex" cluster
//   keys included), except the M4 Pro table's "Tp" keys, which hold a flat 40 placeholder (and
//   offsets from -4 to 5.2) on a machine whose E-cores read up to 47.6.
// Plausible: above 12 °C, at most 130 °C. Keys like Tf (fabric), TCMz/TVD0 (limits and maxima)
// and TCPG are never die readings.
bool isDieReading(const std::string& table, const std::string& key, bool appleSilicon) {
    if (appleSilicon) {
        if (table.rfind("Mac16_7_", 0) == 0 && key.rfind("Tp", 0) == 0) return false;
        return key.rfind("Tp", 0) == 0 || key.rfind("Te", 0) == 0 || key.rfind("Tg", 0) == 0;
    }
    static const std::set<std::string> package{"TCXC", "TCXc", "TC0D", "TC0E", "TC0F", "TCGC", "TCGc"};
    const bool digit = key.size() == 4 && std::isdigit(static_cast<unsigned char>(key[2]));
    return package.count(key) || (digit && key.rfind("TC", 0) == 0 && (key[3] == 'C' || key[3] == 'c')) ||
           (digit && key.rfind("TG", 0) == 0 && (key[3] == 'D' || key[3] == 'd'));
}

TEST(RealMachines, ControlTemperatureIsTheHottestDieReadingAndCoreRowsFollowTheMachine) {
    const auto files = dumps();
    ASSERT_FALSE(files.empty()) << "no key tables in " << sim::MachineProfile::dumpDirectory();
    for (const auto& file : files) {
        const std::string table = file.stem().string();
        SCOPED_TRACE(table);
        const auto profile = sim::MachineProfile::fromDump(file.string());
        // The topology table covers every dump.
        ASSERT_TRUE(profile.cpu.has_value());
        const Walked w = walk(profile);
        EXPECT_EQ(w.cpu, (CPUTopology{profile.cpu->performanceLevels, profile.cpu->performanceCores,
                                      profile.cpu->efficiencyCores}));
        const bool appleSilicon = w.cpu.hasEfficiencyLevel();

        std::optional<double> die;
        for (const auto& s : w.sensors) {
            if (s.sensorClass == SensorClass::temperature && isDieReading(table, s.key, appleSilicon) &&
                s.currentTemp > 12.0 && s.currentTemp <= 130.0)
                die = std::max(die.value_or(s.currentTemp), s.currentTemp);
        }
        ASSERT_TRUE(die.has_value());
        const auto group = DieSensorGroup::select(w.sensors, {}, w.cpu);
        EXPECT_FALSE(group.isFallback());
        const auto control = group.hottestReading(w.sensors, {});
        ASSERT_TRUE(control.has_value());
        EXPECT_NEAR(control->second, *die, 5.0) << control->first;

        // Core rows as the machine has cores; on Intel none, and no GPU cluster rows either.
        const auto rows = w.cpu.fixedList(w.sensors);
        if (appleSilicon) {
            EXPECT_EQ(rowsStarting(rows, "perf."), static_cast<std::size_t>(w.cpu.performanceCores));
            // The M4 tables' "Te" keys form four groups for six E-cores.
            const bool fewerGroups = table.rfind("Mac16_10_", 0) == 0 || table.rfind("Mac16_12_", 0) == 0;
            EXPECT_EQ(rowsStarting(rows, "eff."), fewerGroups ? 4u : static_cast<std::size_t>(w.cpu.efficiencyCores));
        } else {
            EXPECT_EQ(rowsStarting(rows, "perf.") + rowsStarting(rows, "eff.") + rowsStarting(rows, "gpu."), 0u);
        }
    }
}

struct Machine {
    const char* what;
    const char* table;
    CoreCounts counts;
    std::vector<std::string> rows;
    std::optional<double> hottest, cpuPerformance, gpuAverage;
};

TEST(RealMachines, RowsAUserWouldExpect) {
    if (dumps().empty()) GTEST_SKIP();
    const std::vector<std::string> mini{"TW0P",    "cpu.avg", "eff.0",  "eff.1",  "eff.2",  "eff.3",  "perf.0",
                                        "perf.1",  "perf.2",  "perf.3", "gpu.0",  "gpu.1",  "gpu.2",  "gpu.3",
                                        "gpu.4",   "gpu.avg", "pwr.die", "TPSP",  "TH0x"};
    const Machine machines[] = {
        // Mac mini M4 (4 P, 6 E): a desktop, so no battery rows; its "Te" keys form only four
        // groups, the hottest P-core is Tp06 and the hottest named key Tp0Z/Tp3P.
        {"Mac mini M4", "Mac16_10_M4_j773g_MacMini.csv", {4, 6}, mini, 53.34375, 49.4375, std::nullopt},
        // 2017 13-inch MacBook Pro (Intel, no core keys): battery rows and one generic CPU row,
        // no GPU keys at all.
        {"MacBook Pro 14,1", "MacBookPro14_1.csv", {2, 0}, {"TB0T", "TB1T", "cpu.generic"}, 62.9453125, std::nullopt,
         std::nullopt},
    };
    for (const Machine& m : machines) {
        SCOPED_TRACE(m.what);
        const auto w = walk(sim::MachineProfile::fromDump(sim::MachineProfile::dumpDirectory() + "/" + m.table));
        EXPECT_EQ(ids(DeviceSensorMap::fixedList(w.sensors, m.counts)), m.rows);
        EXPECT_EQ(DeviceSensorMap::aggregate(ControlSource::hottest, w.sensors, m.counts), m.hottest);
        EXPECT_EQ(DeviceSensorMap::aggregate(ControlSource::cpuPerformance, w.sensors, m.counts), m.cpuPerformance);
    }
    // MacBook Air M4 (fanless, recorded under load): Thunderbolt left but no right proximity,
    // CPU average above 90 °C.
    const auto air = walk(sim::MachineProfile::fromDump(sim::MachineProfile::dumpDirectory() +
                                                        "/Mac16_12_M4_j713_MacBookAir13.csv"));
    const auto rows = ids(DeviceSensorMap::fixedList(air.sensors, {4, 6}));
    EXPECT_EQ(std::count(rows.begin(), rows.end(), "TDeL"), 1);
    EXPECT_EQ(std::count(rows.begin(), rows.end(), "TDeR"), 0);
    EXPECT_GT(DeviceSensorMap::aggregate(ControlSource::cpuAverage, air.sensors, {4, 6}).value_or(0), 90.0);
}

TEST(MachineProfiles, EachProfileDescribesItsMachine) {
    struct Row {
        const char* profile;
        CoreCounts counts;
        bool battery, cores, gpuClusters;
    };
    const Row rows[] = {
        {"apple-silicon-laptop", {8, 4}, true, true, true},
        {"apple-silicon-desktop", {4, 6}, false, true, true},
        {"fanless-laptop", {4, 6}, true, true, true},
        {"intel-desktop", {0, 0}, false, false, true},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.profile);
        const auto w = walk(sim::MachineProfile::load(r.profile));
        const auto list = ids(DeviceSensorMap::fixedList(w.sensors, r.counts));
        auto has = [&](const std::string& id) { return std::find(list.begin(), list.end(), id) != list.end(); };
        EXPECT_EQ(has("TB0T"), r.battery);
        EXPECT_EQ(has("cpu.avg"), r.cores);
        EXPECT_EQ(has("cpu.generic"), !r.cores);
        EXPECT_EQ(has("gpu.avg"), r.gpuClusters);
        EXPECT_TRUE(has("pwr.die") || !r.cores);
        for (ControlSource s : {ControlSource::hottest, ControlSource::cpuAverage, ControlSource::gpuAverage})
            EXPECT_TRUE(DeviceSensorMap::aggregate(s, w.sensors, r.counts).has_value());
        // Keys that are not sensors and types the codec does not know are never listed.
        for (const auto& s : w.sensors) EXPECT_NE(s.key, "BNum");
    }
}

}  // namespace
}  // namespace quorvane
