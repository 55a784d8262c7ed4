#include "sim/control_protocol.hpp"

#include <cmath>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "sim/sim_test_support.hpp"

namespace quorvane::sim {
namespace {

using namespace testing;

class ControlProtocolTest : public ::testing::Test {
protected:
    FakeClock clock;
    SMCKeyModel model{MachineProfile::load("apple-silicon-laptop"), clock};
    std::string ask(std::string_view line) { return handleControlRequest(model, line); }
};

TEST_F(ControlProtocolTest, ReadAndWriteUseTheShortestNumberForm) {
    EXPECT_EQ(ask("read F0Mx"), "ok 6000");
    EXPECT_EQ(ask("write F1Tg 2500.5"), "ok");
    EXPECT_EQ(ask("read F1Tg"), "ok 2500.5");
    EXPECT_EQ(ask("write Ftst 1"), "ok");
    EXPECT_EQ(ask("read Ftst"), "ok 1");
    EXPECT_EQ(ask("read TB0T"), "ok 31.5");
    EXPECT_EQ(formatControlNumber(-0.5), "-0.5");
    EXPECT_EQ(formatControlNumber(std::nan("")), "nan");
}

TEST_F(ControlProtocolTest, KeysAreExactlyFourBytesAndMayContainSpaces) {
    model.addKey(KeyDefinition{"AB C", smc_type_codes::ui8, 1, 0x80, true, false, SMCBytes{7}});
    EXPECT_EQ(ask("read AB C"), "ok 7");
    EXPECT_EQ(ask("read F0M"), "error usage: read KEY");
    EXPECT_EQ(ask("read F0Mxx"), "error usage: read KEY");
}

TEST_F(ControlProtocolTest, FaultsHangAndRefusedOpenAreSwitchedOnAndOff) {
    EXPECT_EQ(ask("fail F0Ac 0x85"), "ok");
    EXPECT_EQ(model.exchange(readRequest("F0Ac", 4)).result(), 0x85);
    EXPECT_EQ(ask("fail F0Ac 1"), "ok");
    EXPECT_EQ(model.exchange(readRequest("F0Ac", 4)).result(), 0x01);
    EXPECT_EQ(ask("fail F0Ac off"), "ok");
    EXPECT_EQ(model.exchange(readRequest("F0Ac", 4)).result(), 0);

    EXPECT_EQ(ask("hang on"), "ok");
    EXPECT_TRUE(model.hanging());
    EXPECT_EQ(ask("hang off"), "ok");
    EXPECT_FALSE(model.hanging());

    std::uint64_t id = 0;
    EXPECT_EQ(ask("refuse-open on"), "ok");
    EXPECT_EQ(model.openConnection(id), kIOReturnNotPrivileged);
    EXPECT_EQ(ask("refuse-open off"), "ok");
    EXPECT_EQ(model.openConnection(id), kIOReturnSuccess);
}

TEST_F(ControlProtocolTest, StateIsOneLineOfJSONWithEveryFanAndFtst) {
    model.setKey("F1Tg", 2500);
    model.removeKey("F0Ac");
    model.exchange(readRequest("F1Tg", 4));
    const std::string reply = ask("state");
    ASSERT_EQ(reply.rfind("ok ", 0), 0u);
    EXPECT_EQ(reply.find('\n'), std::string::npos);
    const auto state = nlohmann::json::parse(reply.substr(3));
    EXPECT_EQ(state["profile"], "apple-silicon-laptop");
    ASSERT_EQ(state["fans"].size(), 2u);
    EXPECT_EQ(state["fans"][1]["target"], 2500.0);
    EXPECT_EQ(state["fans"][0]["mode"], 0.0);
    EXPECT_EQ(state["fans"][0]["minimum"], 1200.0);
    EXPECT_EQ(state["fans"][1]["maximum"], 5800.0);
    EXPECT_TRUE(state["fans"][0]["actual"].is_null());
    EXPECT_EQ(state["Ftst"], 0.0);
    EXPECT_EQ(state["fans"][0]["manual"], false);
    EXPECT_FALSE(state.contains("FS! ")) << "shown only where the Mac has the bitmask";
    EXPECT_EQ(state["exchanges"], model.totalExchanges());
    EXPECT_GT(model.totalExchanges(), 0u);
    SMCKeyModel intel{MachineProfile::load("intel-desktop"), clock};
    EXPECT_TRUE(intel.stateJSON()["Ftst"].is_null());
}

TEST_F(ControlProtocolTest, BadRequestsGetAnErrorReplyAndChangeNothing) {
    for (const char* line : {"", " ", "frobnicate", "read", "read ZZZZ", "read ACID", "write F0Tg", "write F0Tg abc",
                             "write F0Tg nan", "write F0Tg inf", "write F0Tg 1e999", "write F0Tg 5 6", "write FNum 300",
                             "write ZZZZ 1", "hang", "hang maybe", "refuse-open 1", "fail F0Ac", "fail F0Ac 256",
                             "fail F0Ac -1", "fail F0Ac 0x", "fail F0Ac 0x1FF", "state now", "READ F0Ac"}) {
        SCOPED_TRACE(line);
        EXPECT_EQ(ask(line).rfind("error ", 0), 0u);
    }
    EXPECT_EQ(ask(std::string(kMaxControlLine + 1, 'x')), "error request too long");
    EXPECT_EQ(ask(std::string("read F\0Ac", 9)).rfind("error ", 0), 0u);
    EXPECT_EQ(ask("read TC0P\nwrite").find('\n'), std::string::npos);
    EXPECT_EQ(model.readKey("F0Tg"), 1300);
    EXPECT_FALSE(model.hanging());
    EXPECT_EQ(model.exchange(readRequest("F0Ac", 4)).result(), 0);
}

TEST_F(ControlProtocolTest, FileFaultsAreSetWithinTheirBoundsAndShown) {
    // Each row: a request, then the field of the file faults it sets and the value it must hold;
    // an empty field marks a request refused, which must change nothing.
    struct Row {
        std::string line;
        std::string field;
        nlohmann::json value = nullptr;
    };
    const std::vector<Row> rows = {
        {"files delay 0", "delayMs", 0},
        {"files delay 60000", "delayMs", 60000},
        {"files delay 60001", ""},
        {"files delay -1", ""},
        {"files delay 1.5", ""},
        {"files delay +5", ""},
        {"files delay", ""},
        {"files delay 5 6", ""},
        {"files fail-reads 1000000", "failReads", 1000000},
        {"files fail-reads 1000001", ""},
        {"files fail-reads 0", "failReads", 0},
        {"files fail-writes 3", "failWrites", 3},
        {"files fail-writes x", ""},
        {"files fail-writes 99999999999999999999", ""},
        {"files fail-probability 0", "failProbability", 0.0},
        {"files fail-probability 1", "failProbability", 1.0},
        {"files fail-probability 0.25", "failProbability", 0.25},
        {"files fail-probability 1.0001", ""},
        {"files fail-probability -0.1", ""},
        {"files fail-probability nan", ""},
        {"files fail-probability inf", ""},
        {"files seed 0", "seed", 0},
        {"files seed 18446744073709551615", "seed", 18446744073709551615ull},
        {"files seed 18446744073709551616", ""},
        {"files vanish on", "vanished", true},
        {"files vanish on", "generation", 1},
        {"files vanish maybe", ""},
        {"files vanish off", "vanished", false},
        {"files vanish on", "generation", 2},
        {"files off now", ""},
        {"files frobnicate", ""},
        {"files ", ""},
        {"files  delay 5", ""},
        {"files off", "vanished", false},
        {"files fail-probability 0.5", "failProbability", 0.5},
        {"files off", "failProbability", 0.0},
        {"files delay 70", "delayMs", 70},
        {"files off", "delayMs", 0},
        {"files fail-writes 4", "failWrites", 4},
        {"files off", "failWrites", 0},
        {"files off", "generation", 2},
        {"files off", "seed", 18446744073709551615ull},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.line);
        const auto before = model.fileFaults().stateJSON();
        const std::string reply = ask(row.line);
        if (row.field.empty()) {
            EXPECT_EQ(reply.rfind("error usage: files", 0), 0u) << reply;
            EXPECT_EQ(model.fileFaults().stateJSON(), before);
            continue;
        }
        EXPECT_EQ(reply, "ok");
        EXPECT_EQ(nlohmann::json(model.fileFaults().stateJSON())[row.field], row.value);
    }
    const std::string shown = ask("files");
    ASSERT_EQ(shown.rfind("ok ", 0), 0u);
    EXPECT_EQ(nlohmann::ordered_json::parse(shown.substr(3)), model.fileFaults().stateJSON());
    EXPECT_EQ(nlohmann::ordered_json::parse(ask("state").substr(3))["files"], model.fileFaults().stateJSON());
}

}  // namespace
}  // namespace quorvane::sim
