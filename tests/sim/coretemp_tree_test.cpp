// The coretemp hwmon directory the virtual Mac serves beside an Intel table: its files as the
// driver lays them out, values from the table's CPU die keys in whole millidegrees, moved by the
// thermal model, and refused for a table without per-core keys.
#include <gtest/gtest.h>

#include "sim/machine_profile.hpp"
#include "sim/sim_test_support.hpp"
#include "sim/smc_key_model.hpp"
#include "sim/sysfs_tree.hpp"

namespace quorvane::sim {
namespace {

std::shared_ptr<SMCKeyModel> modelOf(const std::string& table, const clock::Clock& clock) {
    return std::make_shared<SMCKeyModel>(MachineProfile::fromDump(MachineProfile::dumpDirectory() + "/" + table + ".csv"),
                                         clock);
}

std::string shown(const SysfsTree& tree, const std::string& file) {
    const SysfsRead r = tree.read(file);
    return std::holds_alternative<std::string>(r) ? std::get<std::string>(r) : "errno " + std::to_string(-std::get<int>(r));
}

TEST(CoretempTree, FilesFollowTheDriverWithPackageFirstThenCoresFromTheTableKeys) {
    struct Row {
        const char* table;
        std::vector<std::pair<std::string, std::string>> files;  // file, content
        std::size_t channels;
    };
    const Row rows[] = {
        // TCXC (PECI) 55.23 → 55000; cores TC1C…TC4C in key order become Core 0…3.
        {"MacBookPro11_4",
         {{"name", "coretemp\n"}, {"temp1_label", "Package id 0\n"}, {"temp1_input", "55000\n"},
          {"temp2_label", "Core 0\n"}, {"temp2_input", "54000\n"}, {"temp5_label", "Core 3\n"},
          {"temp5_input", "52000\n"}, {"temp1_max", "80000\n"}, {"temp3_crit", "100000\n"}},
         5},
        // Lower-case core keys; TC0E/TC0F hold offsets there, so the package is TCXc (33.92).
        {"MacPro6_1",
         {{"temp1_input", "34000\n"}, {"temp2_input", "32000\n"}, {"temp3_input", "34000\n"},
          {"temp5_label", "Core 3\n"}},
         5},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.table);
        testing::FakeClock clock;
        const auto tree = SysfsTree::coretemp(modelOf(r.table, clock));
        for (const auto& [file, content] : r.files) EXPECT_EQ(shown(*tree, file), content) << file;
        // name plus four files per channel, all read-only.
        EXPECT_EQ(tree->files().size(), 1 + 4 * r.channels);
        for (const auto& f : tree->files()) EXPECT_FALSE(f.writable) << f.name;
        EXPECT_EQ(tree->read("temp" + std::to_string(r.channels + 2) + "_input"), SysfsRead(-ENOENT));
    }
}

TEST(CoretempTree, ValuesFollowTheKeysAndTheThermalModel) {
    testing::FakeClock clock;
    const auto model = modelOf("MacBookPro11_4", clock);
    const auto tree = SysfsTree::coretemp(model);
    model->setKey("TC2C", 45.4);
    EXPECT_EQ(shown(*tree, "temp3_input"), "45000\n");
    model->setKey("TC2C", -0.6);
    EXPECT_EQ(shown(*tree, "temp3_input"), "-1000\n");
    model->setKey("TC2C", 45);
    model->setLoad(1);
    clock.advance(60);
    const auto heated = std::stol(shown(*tree, "temp3_input"));
    EXPECT_GT(heated, 50000);
    // A key that leaves the table makes the input fail as a driver read does.
    model->removeKey("TC1C");
    EXPECT_EQ(tree->read("temp2_input"), SysfsRead(-EIO));
}

TEST(CoretempTree, ATableWithoutPerCoreKeysHasNoCoretemp) {
    testing::FakeClock clock;
    EXPECT_THROW(SysfsTree::coretemp(modelOf("Mac16_10_M4_j773g_MacMini", clock)), std::invalid_argument);
}

}  // namespace
}  // namespace quorvane::sim
