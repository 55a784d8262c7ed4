// Fan keys, fan status JSON and the write policy.
#include <cmath>
#include <limits>
#include <stdexcept>
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

TEST(FanKeyTest, BuildsFourCharacterKeysAndRefusesIndicesOutsideZeroToNine) {
    EXPECT_EQ(FanKey::current(0) + FanKey::minimum(9) + FanKey::maximum(1) + FanKey::target(2), "F0AcF9MnF1MxF2Tg");
    EXPECT_THROW(FanKey::mode(-1), std::out_of_range);
    EXPECT_THROW(FanKey::target(10), std::out_of_range);
}

// The application is built against these numbers: error codes on the wire and call timings.
TEST(ContractTest, ErrorCodesAndTimingsMatchTheApplication) {
    using namespace HelperConstants;
    EXPECT_EQ((std::vector<std::int64_t>{ServiceErrorCode::rejected, ServiceErrorCode::fanOutOfRange,
                                         ServiceErrorCode::hardwareFailed, ServiceErrorCode::engageCanceled}),
              (std::vector<std::int64_t>{1001, 1002, 1003, 1004}));
    EXPECT_EQ((std::vector<double>{heartbeatInterval, heartbeatTimeout, xpcCallTimeout, manualEngageUnlockTimeout,
                                   engageCallTimeout, heartbeatCallTimeout}),
              (std::vector<double>{2.5, 5.0, 4.0, 10.0, 12.0, 2.0}));
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

TEST(FanStatusTest, DecodingRequiresEveryKeyWithItsTypeAndIgnoresExtras) {
    const auto j = nlohmann::json::parse(
        R"({"id":0,"currentRPM":1,"minRPM":2,"maxRPM":3,"targetRPM":4,"isManaged":false,"currentRPMValid":false})");
    EXPECT_TRUE(FanStatus::fromJSON(j).currentRPMValid);
    auto top = j;
    top["id"] = std::uint64_t{9223372036854775807u};
    EXPECT_EQ(FanStatus::fromJSON(top).id, 9223372036854775807);
    top["id"] = -1;
    EXPECT_EQ(FanStatus::fromJSON(top).id, -1);
    const std::pair<const char*, nlohmann::json> bad[] = {
        {"isManaged", nullptr},  // nullptr: the key is removed
        {"minRPM", "1200"},
        {"id", 1.5},
        {"id", std::uint64_t{9223372036854775808u}},  // would wrap to a negative id
        {"id", std::uint64_t{18446744073709551615u}},
    };
    for (const auto& [key, value] : bad) {
        auto broken = j;
        if (value.is_null()) broken.erase(key);
        else broken[key] = value;
        try {
            FanStatus::fromJSON(broken);
            ADD_FAILURE() << broken.dump();
        } catch (const nlohmann::json::exception& e) {
            if (key == std::string("id") && value.is_number_unsigned()) {
                EXPECT_EQ(e.id, 406) << broken.dump();
            }
        }
    }
}

// Equal values must hash alike: -0.0 == 0.0.
TEST(FanStatusTest, NonFiniteSpeedsRefuseToEncodeAndSignedZeroHashesAlike) {
    for (double bad : {kNaN, kInf, -kInf}) {
        for (double FanStatus::*field : {&FanStatus::currentRPM, &FanStatus::minRPM, &FanStatus::maxRPM,
                                         &FanStatus::targetRPM}) {
            FanStatus s{0, 1, 2, 3, 4, false, true};
            s.*field = bad;
            EXPECT_THROW(s.toJSON(), nlohmann::json::exception);
        }
    }
    const FanStatus a{0, 0.0, 1, 2, 3, false, true};
    FanStatus b = a;
    b.currentRPM = -0.0;
    EXPECT_EQ(a, b);
    EXPECT_EQ(std::hash<FanStatus>{}(a), std::hash<FanStatus>{}(b));
}

TEST(WritePolicyTest, ClampsUsableRequestsAndRejectsBadRequestsBeforeBadBounds) {
    struct Row {
        double rpm, min, max;
        WritePolicy::Verdict verdict;
    };
    const Row rows[] = {
        {2500, 1200, 6000, Apply{2500}},
        {800, 1200, 6000, Apply{1200}},
        {7000, 1200, 6000, Apply{6000}},
        {0, 1200, 6000, Apply{1200}},
        {-0.0, 0, 6000, Apply{0}},
        {2500, 3000, 3000, Apply{3000}},
        {2500, -100, 6000, Apply{2500}},
        {1e300, 1200, 6000, Apply{6000}},
        {0, 0, 1e-300, Apply{0}},
        {kNaN, 1200, 6000, Reject{"non-finite or negative RPM nan"}},
        {-5, 1200, 6000, Reject{"non-finite or negative RPM -5.0"}},
        {kInf, 1200, 6000, Reject{"non-finite or negative RPM inf"}},
        {-kInf, 1200, 6000, Reject{"non-finite or negative RPM -inf"}},
        {-5, kNaN, 0, Reject{"non-finite or negative RPM -5.0"}},
        {-250000, 0, 1, Reject{"non-finite or negative RPM -250000.0"}},
        {-1e-7, 0, 1, Reject{"non-finite or negative RPM -1e-07"}},
        {2500, 1200, 0, Reject{"invalid hardware bounds [1200.0, 0.0]"}},
        {2500, 6000, 1200, Reject{"invalid hardware bounds [6000.0, 1200.0]"}},
        {2500, kNaN, 6000, Reject{"invalid hardware bounds [nan, 6000.0]"}},
        {2500, 0, -0.0, Reject{"invalid hardware bounds [0.0, -0.0]"}},
        {2500, 0, kInf, Reject{"invalid hardware bounds [0.0, inf]"}},
        {2500, 3e20, 100000, Reject{"invalid hardware bounds [3e+20, 100000.0]"}},
    };
    for (const auto& r : rows) {
        EXPECT_EQ(vet(r.rpm, r.min, r.max), r.verdict) << r.rpm << " in [" << r.min << ", " << r.max << "]";
    }
}

}  // namespace
}  // namespace quorvane
