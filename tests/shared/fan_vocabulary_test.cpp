// Fan keys, daemon constants, fan status JSON, the write policy and service error objects.
#include <cmath>
#include <limits>
#include <stdexcept>
#include <thread>
#include <unordered_set>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "shared/smc/fan_key.hpp"
#include "shared/smc/fan_status.hpp"
#include "shared/smc/helper_constants.hpp"
#include "shared/smc/service_error.hpp"
#include "shared/smc/write_policy.hpp"

namespace quorvane {
namespace {

using WritePolicy::Apply;
using WritePolicy::Reject;
using WritePolicy::vet;
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

TEST(FanKeyTest, BuildsFourCharacterKeysForEveryIndex) {
    EXPECT_EQ(FanKey::current(0), "F0Ac");
    EXPECT_EQ(FanKey::minimum(9), "F9Mn");
    EXPECT_EQ(FanKey::maximum(1), "F1Mx");
    EXPECT_EQ(FanKey::target(2), "F2Tg");
    EXPECT_EQ(FanKey::mode(5), "F5Md");
    EXPECT_STREQ(FanKey::fanCount, "FNum");
    EXPECT_STREQ(FanKey::forceTest, "Ftst");
}

TEST(FanKeyTest, IndexOutsideZeroToNineIsRefused) {
    EXPECT_THROW(FanKey::mode(-1), std::out_of_range);
    EXPECT_THROW(FanKey::target(10), std::out_of_range);
}

TEST(HelperConstantsTest, RequirementsNameTheAppAndTeamWithExactQuoting) {
    const std::string& client = HelperConstants::clientRequirement();
    EXPECT_EQ(client,
              "anchor apple generic and identifier \"com.quorvane.app\" and certificate leaf[subject.OU] = "
              "\"K7Q2M5ZR1T\"");
    EXPECT_EQ(&client, &HelperConstants::clientRequirement());
    EXPECT_EQ(HelperConstants::daemonRequirement(),
              "anchor apple generic and identifier \"com.quorvane.SMCService\" and certificate leaf[subject.OU] = "
              "\"K7Q2M5ZR1T\"");
    EXPECT_EQ(std::string(HelperConstants::debugClientRequirement).size(), 80u);
    EXPECT_EQ(HelperConstants::engageCallTimeout - HelperConstants::manualEngageUnlockTimeout, 2.0);
}

TEST(HelperConstantsTest, ComposedOnceUnderConcurrentFirstUse) {
    std::vector<const std::string*> seen(8);
    std::vector<std::thread> threads;
    for (auto& slot : seen) threads.emplace_back([&slot] { slot = &HelperConstants::daemonRequirement(); });
    for (auto& t : threads) t.join();
    for (auto* p : seen) EXPECT_EQ(p, seen.front());
}

TEST(FanStatusTest, EncodesSixKeysInOrderWithoutValidity) {
    FanStatus s{1, 1800.5, 1200, 6000, 2500, true, false};
    EXPECT_EQ(s.toJSON().dump(),
              R"({"id":1,"currentRPM":1800.5,"minRPM":1200.0,"maxRPM":6000.0,"targetRPM":2500.0,"isManaged":true})");
    const FanStatus back = FanStatus::fromJSON(nlohmann::json::parse(s.toJSON().dump()));
    EXPECT_TRUE(back.currentRPMValid);
    EXPECT_NE(back, s);
    s.currentRPMValid = true;
    EXPECT_EQ(back, s);
}

TEST(FanStatusTest, DecodingRequiresEveryKeyAndIgnoresExtras) {
    auto j = nlohmann::json::parse(
        R"({"id":0,"currentRPM":1,"minRPM":2,"maxRPM":3,"targetRPM":4,"isManaged":false,"currentRPMValid":false})");
    EXPECT_TRUE(FanStatus::fromJSON(j).currentRPMValid);
    auto missing = j;
    missing.erase("isManaged");
    EXPECT_THROW(FanStatus::fromJSON(missing), nlohmann::json::exception);
    auto wrongType = j;
    wrongType["minRPM"] = "1200";
    EXPECT_THROW(FanStatus::fromJSON(wrongType), nlohmann::json::exception);
    auto fractionalId = j;
    fractionalId["id"] = 1.5;
    EXPECT_THROW(FanStatus::fromJSON(fractionalId), nlohmann::json::exception);
}

TEST(FanStatusTest, EqualityAndHashAgreeIncludingSignedZero) {
    const FanStatus a{0, 0.0, 1, 2, 3, false, true};
    FanStatus b = a;
    b.currentRPM = -0.0;
    EXPECT_EQ(a, b);
    EXPECT_EQ(std::hash<FanStatus>{}(a), std::hash<FanStatus>{}(b));
    FanStatus c = a;
    c.currentRPMValid = false;
    EXPECT_NE(a, c);
    FanStatus n = a;
    n.targetRPM = kNaN;
    EXPECT_NE(n, n);
}

TEST(WritePolicyTest, ClampsUsableRequestsIntoBounds) {
    EXPECT_EQ(vet(2500, 1200, 6000), (WritePolicy::Verdict{Apply{2500}}));
    EXPECT_EQ(vet(800, 1200, 6000), (WritePolicy::Verdict{Apply{1200}}));
    EXPECT_EQ(vet(7000, 1200, 6000), (WritePolicy::Verdict{Apply{6000}}));
    EXPECT_EQ(vet(0, 1200, 6000), (WritePolicy::Verdict{Apply{1200}}));
    EXPECT_EQ(vet(-0.0, 0, 6000), (WritePolicy::Verdict{Apply{0}}));
    EXPECT_EQ(vet(2500, 3000, 3000), (WritePolicy::Verdict{Apply{3000}}));
    EXPECT_EQ(vet(2500, -100, 6000), (WritePolicy::Verdict{Apply{2500}}));
    EXPECT_EQ(vet(1e300, 1200, 6000), (WritePolicy::Verdict{Apply{6000}}));
}

TEST(WritePolicyTest, RejectsBadRequestsBeforeBadBounds) {
    EXPECT_EQ(vet(kNaN, 1200, 6000), (WritePolicy::Verdict{Reject{"non-finite or negative RPM nan"}}));
    EXPECT_EQ(vet(-5, 1200, 6000), (WritePolicy::Verdict{Reject{"non-finite or negative RPM -5.0"}}));
    EXPECT_EQ(vet(kInf, 1200, 6000), (WritePolicy::Verdict{Reject{"non-finite or negative RPM inf"}}));
    EXPECT_EQ(vet(-kInf, 1200, 6000), (WritePolicy::Verdict{Reject{"non-finite or negative RPM -inf"}}));
    EXPECT_EQ(vet(-5, kNaN, 0), (WritePolicy::Verdict{Reject{"non-finite or negative RPM -5.0"}}));
}

TEST(WritePolicyTest, RejectsUnusableBounds) {
    EXPECT_EQ(vet(2500, 1200, 0), (WritePolicy::Verdict{Reject{"invalid hardware bounds [1200.0, 0.0]"}}));
    EXPECT_EQ(vet(2500, 6000, 1200), (WritePolicy::Verdict{Reject{"invalid hardware bounds [6000.0, 1200.0]"}}));
    EXPECT_EQ(vet(2500, kNaN, 6000), (WritePolicy::Verdict{Reject{"invalid hardware bounds [nan, 6000.0]"}}));
    EXPECT_EQ(vet(2500, 0, -0.0), (WritePolicy::Verdict{Reject{"invalid hardware bounds [0.0, -0.0]"}}));
    EXPECT_EQ(vet(2500, 0, kInf), (WritePolicy::Verdict{Reject{"invalid hardware bounds [0.0, inf]"}}));
    EXPECT_TRUE(std::holds_alternative<Apply>(vet(0, 0, 1e-300)));
}

TEST(ServiceErrorTest, CarriesDomainCodeAndOnlyTheDescription) {
    const ServiceError e = makeServiceError(1004, "manual-mode engage canceled by restore");
    EXPECT_EQ(e.domain, "com.quorvane.SMCService");
    EXPECT_EQ(e.code, 1004);
    ASSERT_EQ(e.userInfo.size(), 1u);
    EXPECT_EQ(e.userInfo.at(kLocalizedDescriptionKey), "manual-mode engage canceled by restore");
    EXPECT_EQ(e.rendering(),
              "Error Domain=com.quorvane.SMCService Code=1004 \"manual-mode engage canceled by restore\" "
              "UserInfo={NSLocalizedDescription=manual-mode engage canceled by restore}");
}

}  // namespace
}  // namespace quorvane
