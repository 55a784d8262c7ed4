// The claim on the fans: one holder at a time, the others told who it is; and what a reader sees
// of the name the service follows, cut at a character boundary so status can show it as JSON.
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <unistd.h>

#include "client_error.hpp"
#include "control_service_state.hpp"

namespace quorvane::ctl {
namespace {

class PrivateBootstrap : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/quorvane-claim-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        dir_ = pattern;
        ::setenv("QUORVANE_BOOTSTRAP", dir_.c_str(), 1);
    }
    void TearDown() override {
        ::unsetenv("QUORVANE_BOOTSTRAP");
        std::filesystem::remove_all(dir_);
    }
    std::filesystem::path dir_;
};

TEST_F(PrivateBootstrap, ALongNameIsCutAtACharacterBoundary) {
    struct Row {
        std::string following;
        std::size_t shownBytes;
    };
    const std::string accents = [] {
        std::string s;
        for (int i = 0; i < 2000; ++i) s += "\xC3\xA9";  // é
        return s;
    }();
    for (const Row& row : {Row{"a" + accents, 2047}, Row{accents, 2048}, Row{"Quorvane Standard + Café", 25}}) {
        FanClaim claim(FanClaim::serviceHolder, row.following);
        const auto seen = runningControlService();
        ASSERT_TRUE(seen);
        EXPECT_EQ(seen->pid, static_cast<long>(::getpid()));
        EXPECT_EQ(seen->following, row.following.substr(0, row.shownBytes));
        EXPECT_NO_THROW((void)nlohmann::json(seen->following).dump());
    }
    EXPECT_FALSE(runningControlService());
}

TEST_F(PrivateBootstrap, OneHolderAtATimeAndTheOthersAreToldWho) {
    struct Row {
        const char* holder;
        std::string refusal;  // what a second taker and a restore are told
    };
    const std::string pid = std::to_string(::getpid());
    for (const Row& row : {Row{FanClaim::serviceHolder, "the control service (quorvane-control, pid " + pid +
                                                            ") is in control of the fans, following \"Quorvane Standard\""},
                           Row{"quorvanectl set-rpm", "quorvanectl set-rpm (pid " + pid + ") is in control of the fans"}}) {
        SCOPED_TRACE(row.holder);
        {
            FanClaim held(row.holder, "Quorvane Standard");
            for (const char* other : {FanClaim::serviceHolder, "quorvanectl run"}) {
                try {
                    FanClaim second(other);
                    ADD_FAILURE() << other << " took a held claim";
                } catch (const ClientError& e) {
                    EXPECT_EQ(e.exitStatus(), ExitStatus::usage);
                    EXPECT_EQ(std::string(e.what()).rfind(row.refusal + "; ", 0), 0u) << e.what();
                }
            }
            try {
                refuseWhileFansAreClaimed("restore", false);
                ADD_FAILURE() << "restore not refused";
            } catch (const ClientError& e) {
                EXPECT_EQ(e.exitStatus(), ExitStatus::usage);
                EXPECT_NE(std::string(e.what()).find(row.refusal + "; restore would take them from it"), std::string::npos) << e.what();
            }
            EXPECT_NO_THROW(refuseWhileFansAreClaimed("restore", true));
            EXPECT_EQ(runningControlService().has_value(), std::string(row.holder) == FanClaim::serviceHolder);
        }
        // Released: the next one takes it, and nothing is refused.
        EXPECT_FALSE(fanClaimHolder());
        EXPECT_NO_THROW(refuseWhileFansAreClaimed("restore", false));
        EXPECT_NO_THROW(FanClaim("quorvanectl run"));
    }
    // A holder that died left its lines behind, but no lock: nobody holds the fans.
    std::ofstream(dir_ / "quorvane-control.state", std::ios::trunc) << "4242\nQuorvane Standard\n" << FanClaim::serviceHolder << "\n";
    EXPECT_FALSE(runningControlService());
    EXPECT_FALSE(fanClaimHolder());
    EXPECT_NO_THROW(FanClaim("quorvanectl set-rpm"));
}

}  // namespace
}  // namespace quorvane::ctl
