// The driver files of each layout over real key tables: formats, modes, errors and how each
// store lands on the keys; then the same files through a FUSE mount, and a suspend's resets.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "shared/smc/four_cc.hpp"
#include "sim/machine_profile.hpp"
#include "sim/sim_test_support.hpp"
#include "sim/smc_key_model.hpp"
#include "sim/sysfs_mount.hpp"
#include "sim/sysfs_tree.hpp"

namespace quorvane::sim {
namespace {

std::shared_ptr<SMCKeyModel> modelOf(const std::string& table, const clock::Clock& clock) {
    return std::make_shared<SMCKeyModel>(MachineProfile::fromDump(MachineProfile::dumpDirectory() + "/" + table + ".csv"),
                                         clock);
}

// One step: a store (write set) or a show; expect is the content shown or the errno (0 for a
// store that succeeds); then, if key is set, the key's decoded value.
struct Step {
    std::string file;
    std::optional<std::string> write;
    std::variant<std::string, int> expect;
    std::string key = {};
    double value = 0;
};

struct LayoutCase {
    std::string table;
    SysfsLayout layout;
    bool fanControl;
    std::vector<Step> steps;
};

TEST(SysfsTreeTest, EachLayoutShowsAndStoresAsItsDriver) {
    const std::string raw0 = std::string("\0\0\x02\xcf", 4);
    const std::vector<LayoutCase> cases = {
        {"MacBookPro11_4", SysfsLayout::applesmc, true,
         {{"name", {}, "applesmc\n"},
          {"key_count", {}, "719\n"},
          {"key_at_index", "0", 0},
          {"key_at_index_name", {}, "#KEY\n"},
          {"key_at_index_type", {}, "ui32\n"},
          {"key_at_index_data_length", {}, "4\n"},
          {"key_at_index_data", {}, raw0},
          {"key_at_index", "719", EINVAL},
          {"key_at_index", "-1", EINVAL},
          {"key_at_index", " 3", EINVAL},
          {"key_at_index", "0x3", EINVAL},
          {"key_at_index", "", EINVAL},
          {"key_at_index", "99999999999999999999", EINVAL},
          {"key_at_index", "+3\n", 0},
          {"key_at_index", {}, "3\n"},
          {"key_at_index_name", {}, "+LKS\n"},
          {"fan1_label", {}, "Left side  \n"},
          {"fan1_min", {}, "2160\n"},
          {"fan1_max", {}, "6156\n"},
          {"fan1_safe", {}, EINVAL},
          {"fan1_input", "100", EACCES},
          {"fan1_output", "16384", EINVAL},
          {"fan1_output", "2.5", EINVAL},
          {"fan1_output", "16383", 0, "F0Tg", 16383},
          {"fan1_output", "3000\n", 0, "F0Tg", 3000},
          {"fan1_output", {}, "3000\n"},
          {"fan1_manual", "1", 0, "FS! ", 1},
          {"fan2_manual", "7", 0, "FS! ", 3},
          {"fan1_manual", "0", 0, "FS! ", 2},
          {"fan1_manual", "on", EINVAL, "FS! ", 2},
          {"fan2_manual", {}, "1\n"},
          {"fan1_manual", {}, "0\n"},
          {"fan3_manual", {}, ENOENT},
          {"temp1_label", {}, "TB0T\n"},
          {"fan1_target", {}, ENOENT}}},
        {"MacBookPro16_3", SysfsLayout::t2, true,
         {{"name", {}, "applesmc\n"},
          {"fan1_min", {}, "1200\n"},
          {"fan1_output", "1500", 0, "F0Tg", 1500},
          {"fan1_output", {}, "1500\n"},
          {"fan1_manual", "3", 0, "F0Md", 1},
          {"fan1_manual", {}, "1\n"},
          {"fan1_manual", "2", 0, "F0Md", 0},
          {"fan1_manual", "-1", EINVAL, "F0Md", 0}}},
        {"Mac16_10_M4_j773g_MacMini", SysfsLayout::macsmcHwmon, true,
         {{"name", {}, "macsmc_hwmon\n"},
          {"key_at_index", {}, ENOENT},
          {"fan1_min", {}, "1000\n"},
          {"fan1_max", "4000", EACCES},
          {"fan1_target", "999", EINVAL, "F0Md", 0},
          {"fan1_target", "4901", EINVAL, "F0Md", 0},
          {"fan1_target", "-5", EINVAL, "F0Md", 0},
          {"fan1_target", "2500", 0, "F0Tg", 2500},
          {"fan1_target", {}, "2500\n", "F0Md", 1},
          {"fan1_target", "0", 0, "F0Md", 0}}},
        {"Mac16_10_M4_j773g_MacMini", SysfsLayout::macsmcHwmon, false,
         {{"fan1_target", "2500", EACCES, "F0Md", 0}, {"fan1_target", {}, "1000\n"}}},
    };
    for (const auto& c : cases) {
        testing::FakeClock clock;
        const auto model = modelOf(c.table, clock);
        const SysfsTree tree(model, c.layout, c.fanControl);
        for (const auto& s : c.steps) {
            SCOPED_TRACE(c.table + " " + s.file + (s.write ? " <- " + *s.write : ""));
            if (s.write) {
                EXPECT_EQ(tree.write(s.file, *s.write), -std::get<int>(s.expect));
            } else if (const int* e = std::get_if<int>(&s.expect)) {
                EXPECT_EQ(tree.read(s.file), SysfsRead(-*e));
            } else {
                EXPECT_EQ(tree.read(s.file), SysfsRead(std::get<std::string>(s.expect)));
            }
            if (!s.key.empty()) {
                EXPECT_EQ(model->readKey(s.key), s.value);
            }
        }
    }
}

TEST(SysfsTreeTest, TemperaturesAreTheDriversChannelsInMillidegrees) {
    testing::FakeClock clock;
    const auto intel = modelOf("MacBookPro11_4", clock);
    const SysfsTree mainline(intel, SysfsLayout::applesmc);
    const SysfsTree t2(intel, SysfsLayout::t2);
    std::size_t sp78 = 0, mainlineTemps = 0, t2Temps = 0;
    for (std::size_t i = 0; mainline.find("temp" + std::to_string(i + 1) + "_input"); ++i) ++mainlineTemps;
    for (std::size_t i = 0; t2.find("temp" + std::to_string(i + 1) + "_input"); ++i) ++t2Temps;
    std::ifstream csv(MachineProfile::dumpDirectory() + "/MacBookPro11_4.csv");
    for (std::string line; std::getline(csv, line);)
        if (line.size() > 9 && line[0] == 'T' && line.substr(5, 4) == "sp78") ++sp78;
    EXPECT_EQ(mainlineTemps, sp78);
    EXPECT_GE(t2Temps, mainlineTemps);
    // Quarter degrees, the signed value shifted as the driver does; a sentinel stays negative.
    for (const auto& [value, shown] : std::vector<std::pair<double, std::string>>{
             {49.5, "49500\n"}, {49.3, "49250\n"}, {-127, "-127000\n"}, {0, "0\n"}}) {
        intel->setKey("TB0T", value);
        EXPECT_EQ(mainline.read("temp1_input"), SysfsRead(shown)) << value;
    }
    const auto m4 = modelOf("Mac16_10_M4_j773g_MacMini", clock);
    const SysfsTree hwmon(m4, SysfsLayout::macsmcHwmon);
    ASSERT_NE(hwmon.find("in0_input"), nullptr) << "hwmon numbers voltages from 0";
    const auto label = std::get<std::string>(hwmon.read("temp1_label"));
    m4->setKey(label.substr(0, 4), 41.5);
    EXPECT_EQ(hwmon.read("temp1_input"), SysfsRead("41500\n"));
}

TEST(SysfsTreeTest, KernelNumbersAcceptWhatKstrtoAccepts) {
    const std::vector<std::pair<std::string, std::optional<std::int64_t>>> rows = {
        {"0", 0}, {"+12", 12}, {"12\n", 12}, {"-12", -12}, {"", {}}, {"\n", {}}, {"1\n\n", {}}, {"1 ", {}},
        {"-", {}}, {"+-1", {}}, {"-+1", {}}, {"9223372036854775807", INT64_MAX},
        {"-9223372036854775808", INT64_MIN}, {"9223372036854775808", {}}, {"1e3", {}}};
    for (const auto& [text, expected] : rows) EXPECT_EQ(parseKernelSigned(text), expected) << text;
    EXPECT_EQ(parseKernelUnsigned("18446744073709551615"), UINT64_MAX);
    EXPECT_EQ(parseKernelUnsigned("18446744073709551616"), std::nullopt);
    EXPECT_EQ(parseKernelUnsigned("-1"), std::nullopt);
}

TEST(SysfsTreeTest, SleepDropsManualModeTargetsAndTheUnlock) {
    struct Row {
        std::string table;
        std::vector<std::pair<std::string, double>> before, after;
    };
    const std::vector<Row> rows = {
        {"MacBookPro11_4", {{"FS! ", 3}, {"F0Tg", 4000}}, {{"FS! ", 0}, {"F0Tg", 2160}, {"F0Ac", 0}}},
        {"MacBookPro16_3", {{"F0Md", 1}, {"F0Tg", 3000}}, {{"F0Md", 0}, {"F0Tg", 1200}}},
    };
    for (const auto& r : rows) {
        testing::FakeClock clock;
        const auto model = modelOf(r.table, clock);
        for (const auto& [key, value] : r.before) model->setKey(key, value);
        EXPECT_THROW(model->sleep(0), std::invalid_argument);
        EXPECT_THROW(model->sleep(std::nan("")), std::invalid_argument);
        EXPECT_EQ(model->readKey(r.before.front().first), r.before.front().second) << "a refused sleep resets nothing";
        model->sleep(30);
        for (const auto& [key, value] : r.after) EXPECT_EQ(model->readKey(key), value) << r.table << " " << key;
    }
    testing::FakeClock clock;
    auto laptop = MachineProfile::load("apple-silicon-laptop");
    SMCKeyModel model(laptop, clock);
    model.setKey("Ftst", 1);
    clock.advance(10);
    model.setKey("F0Md", 1);
    model.sleep(5);
    EXPECT_EQ(model.readKey("Ftst"), 0);
    EXPECT_EQ(model.readKey("F0Md"), 0);
    EXPECT_EQ(model.exchange([] {
        SMCRecord r = testing::request(smc_command::writeBytes, "F0Md");
        r.setDataSize(1);
        r.setDataType(FourCC::code("ui8 "));
        const std::uint8_t one = 1;
        r.setValue(&one, 1);
        return r;
    }()).result(), smc_result::firmwareBusy) << "manual mode needs the unlock again after wake";
}

// Through the kernel: file modes, errno of a refused store, a show split over two reads.
TEST(SysfsMountTest, ProgramsSeeTheTreeThroughOrdinaryFiles) {
    if (::access("/dev/fuse", R_OK | W_OK) != 0) GTEST_SKIP() << "SKIPPED: /dev/fuse is missing, no FUSE mount here";
    testing::FakeClock clock;
    const auto model = modelOf("MacBookPro11_4", clock);
    testing::ScopedBootstrap scratch;
    const std::string dir = (scratch.dir() / "applesmc.768").string();
    {
        SysfsMount mount(std::make_shared<const SysfsTree>(model, SysfsLayout::applesmc), dir);
        namespace fs = std::filesystem;
        // The mainline driver's modes: 0644 where the attribute has a store, 0444 elsewhere.
        const std::vector<std::pair<std::string, unsigned>> modes = {
            {"name", 0444}, {"key_count", 0444}, {"key_at_index", 0644}, {"key_at_index_name", 0444},
            {"key_at_index_type", 0444}, {"key_at_index_data_length", 0444}, {"key_at_index_data", 0444},
            {"fan1_label", 0444}, {"fan1_input", 0444}, {"fan1_min", 0644}, {"fan1_max", 0444},
            {"fan1_safe", 0444}, {"fan1_output", 0644}, {"fan1_manual", 0644}, {"fan2_manual", 0644},
            {"temp1_input", 0444}, {"temp1_label", 0444}};
        for (const auto& [file, mode] : modes)
            EXPECT_EQ(fs::status(dir + "/" + file).permissions(), fs::perms(mode)) << file;
        auto store = [&](const std::string& file, const std::string& text) {
            const int fd = ::open((dir + "/" + file).c_str(), O_WRONLY | O_TRUNC);
            if (fd < 0) return errno;
            const ssize_t n = ::write(fd, text.data(), text.size());
            const int e = n < 0 ? errno : 0;
            ::close(fd);
            return e;
        };
        EXPECT_EQ(store("fan1_manual", "1\n"), 0);
        EXPECT_EQ(model->readKey("FS! "), 1);
        EXPECT_EQ(store("fan1_output", "99999"), EINVAL);
        EXPECT_EQ(store("fan1_input", "1"), EACCES);
        EXPECT_EQ(store("key_at_index", "5"), 0);
        const int fd = ::open((dir + "/key_at_index_name").c_str(), O_RDONLY);
        char part[8] = {};
        EXPECT_EQ(::read(fd, part, 2), 2);
        EXPECT_EQ(::read(fd, part + 2, 6), 3);
        EXPECT_EQ(::read(fd, part + 5, 3), 0);
        ::close(fd);
        std::string shown(part, 5);
        std::uint64_t walk = 5;
        EXPECT_EQ(shown, FourCC::string(model->exchange([&] {
                             SMCRecord r = testing::request(smc_command::keyByIndex);
                             r.setData32(static_cast<std::uint32_t>(walk));
                             return r;
                         }()).key()) + "\n");
        std::vector<std::string> names;
        for (const auto& e : fs::directory_iterator(dir)) names.push_back(e.path().filename());
        EXPECT_EQ(names.size(), SysfsTree(model, SysfsLayout::applesmc).files().size());
    }
    EXPECT_TRUE(std::filesystem::is_empty(dir)) << "unmounted when the mount goes";
}

}  // namespace
}  // namespace quorvane::sim
