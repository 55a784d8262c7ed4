// The control service's local API: which request lines it takes, and what its replies hold.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cctype>
#include <cstdio>

#include "control_api.hpp"
#include "shared/control/fan_curve.hpp"

namespace quorvane::ctl {
namespace {

// A stored curve profile of `points` points as a query value, %-escaped as a browser does.
std::string encodedProfile(int points) {
    std::vector<std::pair<double, double>> curve;
    for (int i = 0; i < points; ++i) curve.emplace_back(30 + i, i / 40.0);
    const FanProfile p(Uuid::random(), "Try", ControlMode::adaptiveCurve, 0, "max",
                       points >= 2 ? FanCurve(curve).points() : std::vector<CurvePoint>{{Uuid::random(), 50, 0.5}});
    std::string out;
    for (const unsigned char c : p.toJSON().dump()) {
        char escape[4];
        std::snprintf(escape, sizeof escape, "%%%02X", c);
        out += std::isalnum(c) || c == '-' || c == '.' ? std::string(1, static_cast<char>(c)) : escape;
    }
    return out;
}

struct RequestRow {
    std::string line;
    int status;  // 0: taken
    ApiRequest::Kind kind = ApiRequest::Kind::state;
    double windowSeconds = 0;
};

TEST(ControlApiRequests, TakesTheThreeResourcesAndRefusesEverythingElse) {
    const std::vector<RequestRow> rows = {
        {"/v1/state", 0, ApiRequest::Kind::state},
        {"/v1/state\r", 0, ApiRequest::Kind::state},
        {"/v1/profile", 0, ApiRequest::Kind::profile},
        {"/v1/history", 0, ApiRequest::Kind::history, 600},
        {"/v1/history?window=10m", 0, ApiRequest::Kind::history, 600},
        {"/v1/history?window=1h", 0, ApiRequest::Kind::history, 3600},
        {"/v1/history?window=24h", 0, ApiRequest::Kind::history, 86400},
        {"/v1/history?window=2h", 400},
        {"/v1/history?window=", 400},
        {"/v1/history?since=0", 400},
        {"/v1/state?x", 400},
        {"/v2/state", 404},
        {"", 404},
        {"/v1/state ", 400},
        {"GET /v1/state", 400},
        {std::string("/v1/st\0te", 9), 400},
        {"/v1/\xc3\xa9", 400},
        {"/v1/" + std::string(9000, 'a'), 414},
        {"/v1/simulate", 0, ApiRequest::Kind::simulate},
        {"/v1/simulate?mode=null", 0, ApiRequest::Kind::simulate},
        {"/v1/simulate?profile=" + encodedProfile(3), 0, ApiRequest::Kind::simulate},
        {"/v1/simulate?profile=" + encodedProfile(1), 400},
        {"/v1/simulate?profile=" + encodedProfile(33), 413},
        {"/v1/simulate?profile=%7B%7D", 400},
        {"/v1/simulate?profile=%7", 400},
        {"/v1/simulate?profile=%zz", 400},
        {"/v1/simulate?profile={", 400},
        {"/v1/simulate?mode=null&mode=null", 400},
        {"/v1/simulate?mode=%7B%22name%22%3A1%7D", 400},
        {"/v1/simulate?curve=1", 400},
        {"/v1/simulate?profile", 400},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.line.substr(0, 120));
        const auto parsed = parseApiRequest(row.line);
        if (row.status == 0) {
            ASSERT_TRUE(std::holds_alternative<ApiRequest>(parsed));
            EXPECT_EQ(std::get<ApiRequest>(parsed).kind, row.kind);
            EXPECT_EQ(std::get<ApiRequest>(parsed).windowSeconds, row.windowSeconds);
        } else {
            ASSERT_TRUE(std::holds_alternative<ApiError>(parsed));
            EXPECT_EQ(std::get<ApiError>(parsed).status, row.status);
        }
    }
}

RunTick tickWith(double temperature, double rpm, double at = 0) {
    RunTick t;
    t.t = at;
    t.profile = "Quorvane Standard";
    t.source = "max";
    t.temperature = temperature;
    t.alertThreshold = 95;
    FanStatus f;
    f.id = 0;
    f.currentRPM = rpm;
    f.minRPM = 1200;
    f.maxRPM = 6000;
    f.targetRPM = rpm + 10;
    f.isManaged = true;
    t.fans = {f};
    t.duty = {0.5};
    return t;
}

TEST(ControlApiReplies, StateIsTheLatestTickWithItsCounters) {
    ControlApi api;
    EXPECT_FALSE(api.sensorsWanted(0));
    EXPECT_EQ(nlohmann::json::parse(api.answer("/v1/state", 0))["status"], 503);
    // Every sensor is read only while someone asks for the state.
    for (const auto& [now, wanted] : std::vector<std::pair<double, bool>>{{0, true}, {59.9, true}, {60, false}}) {
        EXPECT_EQ(api.sensorsWanted(now), wanted) << now;
    }
    api.record(tickWith(50, 2000), 1000);
    api.tickFailed(DriveOptions::Failure::daemon);
    api.record(tickWith(61.5, 2500, 1), 1001);
    const auto j = nlohmann::json::parse(api.answer("/v1/state", 1002));
    EXPECT_EQ(j["version"], 1);
    EXPECT_EQ(j["temperatureCelsius"], 61.5);
    EXPECT_EQ(j["fans"][0]["actualRPM"], 2500);
    EXPECT_EQ(j["fans"][0]["targetRPM"], 2510);
    EXPECT_EQ(j["fans"][0]["duty"], 0.5);
    EXPECT_EQ(j["fans"][0]["manual"], true);
    EXPECT_EQ(j["ticks"], 2);
    EXPECT_EQ(j["failedTicks"], 1);
    EXPECT_EQ(j["ageSeconds"], 1);
    // A tick after the machine slept (its loop clock stood still) is kept at the time it came.
    api.record(tickWith(62, 2500, 2), 1500);
    EXPECT_EQ(nlohmann::json::parse(api.answer("/v1/state", 1500))["time"], 1500);
    const auto bad = nlohmann::json::parse(api.answer("/nope", 0));
    EXPECT_EQ(bad["status"], 404);
}

TEST(ControlApiReplies, HistoryGivesTheWindowAtTheTickOrByMinute) {
    ControlApi api;
    RunTick noReading = tickWith(0, 1000);
    noReading.temperature.reset();
    api.record(noReading, 0);
    for (int i = 1; i < 4000; ++i) api.record(tickWith(40 + i % 10, 1000 + i, i), i);
    const auto ten = nlohmann::json::parse(api.answer("/v1/history?window=10m", 3999));
    EXPECT_EQ(ten["resolution"], "tick");
    ASSERT_EQ(ten["t"].size(), 601u);
    EXPECT_EQ(ten["t"][0], 3399);
    EXPECT_EQ(ten["fans"][0]["actualRPM"][600], 4999);
    EXPECT_EQ(ten["fans"][0]["actualRPM"].size(), 601u);
    const auto day = nlohmann::json::parse(api.answer("/v1/history?window=24h", 3999));
    EXPECT_EQ(day["resolution"], "minute");
    ASSERT_EQ(day["t"].size(), 67u);  // 66 whole minutes and the current one
    EXPECT_EQ(day["ticks"][0], 60);
    EXPECT_EQ(day["temperatureCelsius"]["min"][0], 40);  // the tick without a reading is skipped, not null
    EXPECT_EQ(day["temperatureCelsius"]["max"][0], 49);
    EXPECT_EQ(day["fans"][0]["actualRPM"]["max"][0], 1059);
}

TEST(ControlApiReplies, ProfileIsWhatTheServiceFollows) {
    ControlApi api;
    EXPECT_EQ(nlohmann::json::parse(api.answer("/v1/profile", 0))["status"], 503);
    api.following("Quorvane Standard", ControlLoop(FanProfile::quorvaneStandard(), std::nullopt, AlertRule{true, 90, true}, {}));
    const auto j = nlohmann::json::parse(api.answer("/v1/profile", 0));
    EXPECT_EQ(j["following"], "Quorvane Standard");
    EXPECT_EQ(j["profile"]["name"], "Quorvane Standard");
    EXPECT_GE(j["profile"]["curvePoints"].size(), 2u);
    EXPECT_EQ(j["alert"]["thresholdCelsius"], 90);
}

}  // namespace
}  // namespace quorvane::ctl
