// The hwmon die sensors of a Linux machine over a directory tree shaped like sysfs: which devices
// and inputs become channels and how they are named, the millidegree text, files that are missing
// or come back, and the kinds the die group judges names by.
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include <gtest/gtest.h>

#include "platform/hid/hwmon_temperatures.hpp"

namespace quorvane::hid {
namespace {

namespace fs = std::filesystem;

class SysTree {
public:
    SysTree() {
        std::string pattern = (fs::temp_directory_path() / "quorvane-hwmon-XXXXXX").string();
        root_ = ::mkdtemp(pattern.data());
    }
    ~SysTree() { fs::remove_all(root_); }
    // A hwmon device under class/hwmon with a name file.
    std::string device(const std::string& entry, const std::string& driver) {
        const std::string dir = root_ + "/class/hwmon/" + entry;
        fs::create_directories(dir);
        put(dir + "/name", driver + "\n");
        return dir;
    }
    static void put(const std::string& path, const std::string& text) { std::ofstream(path) << text; }
    const std::string& root() const { return root_; }

private:
    std::string root_;
};

TEST(HwmonTemperatures, DevicesAndInputsBecomeNamedChannelsInOrder) {
    SysTree t;
    const auto core = t.device("hwmon2", "coretemp");
    for (int n : {1, 2, 3, 10}) SysTree::put(core + "/temp" + std::to_string(n) + "_input", "4" + std::to_string(n) + "000\n");
    SysTree::put(core + "/temp1_label", "Package id 0\n");
    SysTree::put(core + "/temp2_label", "Core 0\n");
    SysTree::put(core + "/temp10_label", "Core 8\n");  // temp3 has no label
    SysTree::put(core + "/temp1_max", "80000\n");
    const auto second = t.device("hwmon10", "coretemp");
    SysTree::put(second + "/temp2_input", "50000\n");
    SysTree::put(second + "/temp2_label", "Core 0\n");
    const auto gpu = t.device("hwmon1", "amdgpu");
    SysTree::put(gpu + "/temp1_input", "61000\n");
    SysTree::put(gpu + "/temp1_label", "edge\n");
    SysTree::put(gpu + "/temp2_input", "70000\n");  // junction: only temp1 is read
    const auto nouveau = t.device("hwmon3", "nouveau");
    SysTree::put(nouveau + "/temp1_input", "39000\n");
    const auto other = t.device("hwmon0", "acpitz");
    SysTree::put(other + "/temp1_input", "27800\n");
    fs::create_directories(t.root() + "/class/hwmon/hwmonX");  // not a device name

    HwmonTemperatures sensors(t.root());
    struct Row {
        const char* name;
        DieKind kind;
        double celsius;
    };
    const Row expected[] = {
        {"amdgpu edge", DieKind::gpu, 61},        {"coretemp Package id 0", DieKind::cpu, 41},
        {"coretemp Core 0", DieKind::cpu, 42},    {"coretemp temp3", DieKind::cpu, 43},
        {"coretemp Core 8", DieKind::cpu, 410},   {"nouveau temp1", DieKind::gpu, 39},
        {"coretemp.1 Core 0", DieKind::cpu, 50},
    };
    ASSERT_EQ(sensors.channels().size(), std::size(expected));
    std::vector<double> values(sensors.channels().size() + 1, -1.0);
    sensors.readAll(values);
    for (std::size_t i = 0; i < std::size(expected); ++i) {
        SCOPED_TRACE(expected[i].name);
        EXPECT_EQ(sensors.channels()[i].name, expected[i].name);
        EXPECT_EQ(sensors.channels()[i].kind, expected[i].kind);
        EXPECT_DOUBLE_EQ(values[i], expected[i].celsius);
        EXPECT_EQ(hwmonDieKind(sensors.channels()[i].name), expected[i].kind);
    }
    EXPECT_EQ(values.back(), -1.0);  // nothing written past the channels
    EXPECT_EQ(sensors.opens(), std::size(expected));
    // Reading again opens nothing more.
    sensors.readAll(values);
    EXPECT_EQ(sensors.opens(), std::size(expected));
}

TEST(HwmonTemperatures, NoTreeOrNoDieDriverMeansNoChannels) {
    SysTree t;
    EXPECT_TRUE(HwmonTemperatures(t.root() + "/absent").channels().empty());
    SysTree::put(t.device("hwmon0", "nvme") + "/temp1_input", "30000\n");
    const auto unnamed = t.root() + "/class/hwmon/hwmon1";
    fs::create_directories(unnamed);
    SysTree::put(unnamed + "/temp1_input", "30000\n");
    HwmonTemperatures sensors(t.root());
    EXPECT_TRUE(sensors.channels().empty());
    EXPECT_TRUE(std::isnan(sensors.read(0)));
}

TEST(HwmonTemperatures, MissingAndChangingInputsReadAsNoneUntilTheyReadAgain) {
    SysTree t;
    const auto core = t.device("hwmon0", "coretemp");
    const std::string input = core + "/temp2_input";
    SysTree::put(input, "45000\n");
    HwmonTemperatures sensors(t.root());
    ASSERT_EQ(sensors.channels().size(), 1u);
    EXPECT_DOUBLE_EQ(sensors.read(0), 45);
    // The file is read at offset 0 each time: a new value shows without a new open.
    SysTree::put(input, "47000\n");
    EXPECT_DOUBLE_EQ(sensors.read(0), 47);
    SysTree::put(input, "garbage\n");
    EXPECT_TRUE(std::isnan(sensors.read(0)));
    SysTree::put(input, std::string(HwmonTemperatures::kMaxInputBytes, '1'));
    EXPECT_TRUE(std::isnan(sensors.read(0)));
    EXPECT_EQ(sensors.opens(), 1u);
    EXPECT_TRUE(std::isnan(sensors.read(7)));  // no such channel
}

TEST(HwmonTemperatures, AnInputThatDoesNotOpenIsOpenedAgainOnEachReadUntilItDoes) {
    SysTree t;
    const auto core = t.device("hwmon0", "coretemp");
    // The entry is there but leads nowhere yet, as a sysfs file of a device going away does.
    const std::string target = t.root() + "/later";
    fs::create_symlink(target, core + "/temp1_input");
    SysTree::put(core + "/temp1_label", "Package id 0\n");
    HwmonTemperatures sensors(t.root());
    ASSERT_EQ(sensors.channels().size(), 1u);
    EXPECT_EQ(sensors.channels()[0].name, "coretemp Package id 0");
    EXPECT_EQ(sensors.opens(), 0u) << "opened on its first read";
    EXPECT_TRUE(std::isnan(sensors.read(0)));
    EXPECT_EQ(sensors.opens(), 1u);
    SysTree::put(target, "52000\n");
    EXPECT_DOUBLE_EQ(sensors.read(0), 52);
    EXPECT_EQ(sensors.opens(), 2u);
    // Once open it stays open.
    SysTree::put(target, "53000\n");
    EXPECT_DOUBLE_EQ(sensors.read(0), 53);
    EXPECT_EQ(sensors.opens(), 2u);
}

TEST(HwmonTemperatures, MillidegreeText) {
    struct Row {
        const char* text;
        std::optional<double> celsius;
    };
    const Row rows[] = {
        {"45000\n", 45},         {"45000", 45},        {"0\n", 0},          {"-5500\n", -5.5},
        {"999999999\n", 999999.999}, {"1", 0.001},    {"", std::nullopt},  {"\n", std::nullopt},
        {"-\n", std::nullopt},   {"45000\n\n", std::nullopt}, {" 45000", std::nullopt}, {"+45000", std::nullopt},
        {"4.5e4", std::nullopt}, {"1000000000\n", std::nullopt}, {"45000 \n", std::nullopt}, {"--1", std::nullopt},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.text);
        const auto v = parseMillidegrees(r.text);
        ASSERT_EQ(v.has_value(), r.celsius.has_value());
        if (v) {
            EXPECT_DOUBLE_EQ(*v, *r.celsius);
        }
    }
}

TEST(HwmonTemperatures, DieKindsByServiceName) {
    struct Row {
        const char* name;
        std::optional<DieKind> kind;
    };
    const Row rows[] = {
        {"coretemp Core 0", DieKind::cpu}, {"coretemp.1 Package id 1", DieKind::cpu}, {"amdgpu edge", DieKind::gpu},
        {"radeon temp1", DieKind::gpu},    {"nouveau.2 temp1", DieKind::gpu},          {"coretemp", std::nullopt},
        {"coretempX Core 0", std::nullopt}, {"PMU tdie1", std::nullopt},              {"GPU MTR Temp Sensor1", std::nullopt},
        {"", std::nullopt},
    };
    for (const Row& r : rows) EXPECT_EQ(hwmonDieKind(r.name), r.kind) << r.name;
}

TEST(HwmonTemperatures, SysfsRootComesFromTheEnvironment) {
    const char* before = std::getenv("QUORVANE_SYSFS_ROOT");
    const std::string saved = before ? before : "";
    ::setenv("QUORVANE_SYSFS_ROOT", "/tmp/elsewhere", 1);
    EXPECT_EQ(sysfsRoot(), "/tmp/elsewhere");
    ::setenv("QUORVANE_SYSFS_ROOT", "", 1);
    EXPECT_EQ(sysfsRoot(), "/sys");
    ::unsetenv("QUORVANE_SYSFS_ROOT");
    EXPECT_EQ(sysfsRoot(), "/sys");
    if (before) ::setenv("QUORVANE_SYSFS_ROOT", saved.c_str(), 1);
}

}  // namespace
}  // namespace quorvane::hid
