#include "sim/machine_profile.hpp"

#include <filesystem>
#include <fstream>
#include <set>

#include <gtest/gtest.h>

#include "shared/smc/four_cc.hpp"
#include "sim/sim_test_support.hpp"
#include "sim/smc_key_model.hpp"

namespace quorvane::sim {
namespace {

using nlohmann::json;

TEST(MachineProfileTest, EveryShippedProfileLoadsIntoAModel) {
    const auto names = MachineProfile::available();
    for (const char* expected : {"apple-silicon-laptop", "apple-silicon-desktop", "intel-desktop", "fanless-laptop"})
        EXPECT_NE(std::find(names.begin(), names.end(), expected), names.end()) << expected;
    testing::FakeClock clock;
    for (const auto& name : names) {
        SCOPED_TRACE(name);
        const MachineProfile p = MachineProfile::load(name);
        SMCKeyModel model(p, clock);
        EXPECT_EQ(model.readKey("FNum"), static_cast<double>(p.fans.size()));
        EXPECT_EQ(model.readKey("#KEY"), static_cast<double>(model.keyCount()));
        // A realistic population: keys the codec cannot decode and a key that cannot be read.
        bool unknownType = false, writeOnly = false;
        for (const auto& k : p.keys) {
            unknownType |= SMCDataType::fromRaw(k.type).kind() == SMCDataType::Kind::other;
            writeOnly |= !k.readable;
        }
        EXPECT_TRUE(unknownType);
        EXPECT_TRUE(writeOnly);
    }
}

TEST(MachineProfileTest, AFanlessProfileHasNoFanKeys) {
    const auto fanless = MachineProfile::load("fanless-laptop");
    EXPECT_TRUE(fanless.fans.empty());
    for (const auto& k : fanless.allKeys()) EXPECT_NE(k.name[0] == 'F' && k.name != "FNum", true) << k.name;
}

TEST(MachineProfileTest, UnknownProfileNameIsAClearError) {
    try {
        MachineProfile::load("commodore-64");
        FAIL() << "loaded an unknown profile";
    } catch (const ProfileError& e) {
        EXPECT_NE(std::string(e.what()).find("unknown machine profile \"commodore-64\""), std::string::npos);
        EXPECT_NE(std::string(e.what()).find("apple-silicon-laptop"), std::string::npos);
    }
    EXPECT_THROW(MachineProfile::load("../profiles/intel-desktop"), ProfileError);
    EXPECT_THROW(MachineProfile::load(""), ProfileError);
}

TEST(MachineProfileTest, MalformedDocumentsAreRejected) {
    auto bad = [](const char* text) { return MachineProfile::fromJSON(json::parse(text), "t"); };
    EXPECT_THROW(bad(R"([])"), ProfileError);
    EXPECT_THROW(bad(R"({"keys": [{"key": "TOOLONG", "type": "flt", "value": 1}]})"), ProfileError);
    EXPECT_THROW(bad(R"({"keys": [{"key": "TC0P", "type": "ch8*", "value": 1}]})"), ProfileError);
    EXPECT_THROW(bad(R"({"keys": [{"key": "TC0P", "type": "sp78", "value": 400}]})"), ProfileError);
    EXPECT_THROW(bad(R"({"keys": [{"key": "TC0P", "type": "sp78", "hex": "00"}]})"), ProfileError);
    EXPECT_THROW(bad(R"({"keys": [{"key": "TC0P", "type": "ch8*", "hex": "0g"}]})"), ProfileError);
    EXPECT_THROW(bad(R"({"keys": [{"key": "FNum", "type": "ui8", "value": 1}]})"), ProfileError);  // duplicate
    EXPECT_THROW(bad(R"({"fans": [{"type": "ui8", "minimum": 1, "maximum": 2}]})"), ProfileError);
    EXPECT_THROW(bad(R"({"fans": [{"type": "flt", "minimum": 3000, "maximum": 2000}]})"), ProfileError);
    EXPECT_THROW(bad(R"({"fans": [{"type": "flt"}]})"), ProfileError);
    EXPECT_THROW(bad(R"({"firmware": {"manualModeNeedsForceTest": true}})"), ProfileError);
    EXPECT_THROW(bad(R"({"firmware": {"unlockDelaySeconds": -1}})"), ProfileError);
    EXPECT_THROW(bad(R"({"cpu": {"performanceCores": 0}})"), ProfileError);
    EXPECT_THROW(bad(R"({"cpu": {"efficiencyCores": 4}})"), ProfileError);
    EXPECT_NO_THROW(bad(R"({"keys": [{"key": "ABCD", "type": "{xyz", "hex": "0102"}]})"));
}

TEST(MachineProfileTest, AKeyTableIsFoundByPathOrModelAndAMissNamesTheFolder) {
    const std::string dir = MachineProfile::dumpDirectory();
    const struct {
        std::string name, table;  // table empty: an error
    } rows[] = {
        {"MacBookPro11_4", "MacBookPro11_4.csv"},
        {"MacBookPro11,4", "MacBookPro11_4.csv"},
        {"Mac16,10", "Mac16_10_M4_j773g_MacMini.csv"},
        {dir + "/iMac19_2.csv", "iMac19_2.csv"},
        {"MacBookPro11", ""},  // a model's prefix is no model
        {"Mac16", ""},
        {"MacBookPro99,9", ""},
        {"../tables/iMac19_2", ""},
        {"", ""},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        if (!row.table.empty()) {
            EXPECT_EQ(std::filesystem::path(MachineProfile::findDump(row.name)).filename(), row.table);
            continue;
        }
        try {
            MachineProfile::findDump(row.name);
            ADD_FAILURE() << "found a table";
        } catch (const ProfileError& e) {
            EXPECT_NE(std::string(e.what()).find("\"" + row.name + "\""), std::string::npos) << e.what();
            EXPECT_NE(std::string(e.what()).find(dir), std::string::npos) << e.what();
        }
    }
}

TEST(MachineProfileTest, CoresFromTheCommandLineAndTheTopologyTable) {
    struct Row {
        const char* text;
        std::optional<CPUTopology> expected;  // none: a ProfileError
    };
    const Row rows[] = {
        {"4,6", CPUTopology{2, 4, 6}}, {"8,0", CPUTopology{1, 8, 0}}, {"0,4", std::nullopt},
        {"4", std::nullopt},           {"4,", std::nullopt},          {"a,b", std::nullopt},
        {"4,-1", std::nullopt},        {"4,6,1", std::nullopt},       {"99999999999,1", std::nullopt},
        {"1025,0", std::nullopt},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.text);
        if (r.expected) EXPECT_EQ(CPUTopology::fromText(r.text), *r.expected);
        else EXPECT_THROW(CPUTopology::fromText(r.text), ProfileError);
    }
    testing::ScopedBootstrap dir;
    const std::string path = (dir.dir() / "topology.csv").string();
    std::ofstream(path) << "table,chip,performance_levels,performance_cores,efficiency_cores,note\n"
                           "Good,Apple M4,2,4,6,\nIntel,Core,1,2,0,dual\nShort,Apple M4,2,4\nOdd,Core,2,4,0,\n";
    EXPECT_EQ(MachineProfile::topologyOf(path, "Good"), (CPUTopology{2, 4, 6}));
    EXPECT_EQ(MachineProfile::topologyOf(path, "Intel"), (CPUTopology{1, 2, 0}));
    EXPECT_EQ(MachineProfile::topologyOf(path, "Absent"), std::nullopt);
    EXPECT_EQ(MachineProfile::topologyOf(path + ".missing", "Good"), std::nullopt);
    EXPECT_THROW(MachineProfile::topologyOf(path, "Short"), ProfileError);
    EXPECT_THROW(MachineProfile::topologyOf(path, "Odd"), ProfileError);
}

}  // namespace
}  // namespace quorvane::sim
