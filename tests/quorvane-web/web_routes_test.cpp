// What the web face answers: the metrics text made from the control service's state, the API
// relayed with the service's own status, and the pages.
#include <gtest/gtest.h>

#include "metrics.hpp"
#include "web_routes.hpp"

namespace quorvane::web {
namespace {

const char* kState =
    R"({"version":1,"time":1,"following":"Quorvane \"Standard\"","source":"max","temperatureCelsius":61.5,)"
    R"("alert":{"thresholdCelsius":95,"firing":false},"monitoring":false,)"
    R"("fans":[{"id":0,"actualRPM":2500,"targetRPM":2510,"minRPM":1200,"maxRPM":6000,"manual":true,"duty":0.5},)"
    R"({"id":1,"actualRPM":null,"targetRPM":1200,"minRPM":1200,"maxRPM":5000,"manual":false,"duty":null}],)"
    R"("ticks":42,"failedTicks":3,"smcErrors":1,"daemonErrors":2,"sensors":[)"
    R"({"key":"TC0P","name":"CPU \\ Proximity","class":"temperature","category":"cpu","value":48.25,"drivesFans":true},)"
    R"({"key":"PSTR","name":"System Total","class":"power","category":"enclosure","value":12.5,"drivesFans":false},)"
    R"({"key":"TB0T","name":"Battery","class":"temperature","category":"battery","value":null,"drivesFans":false}]})";

TEST(MetricsText, EachFamilyOnceWithItsTypeAndEveryKnownValue) {
    const std::string text = metricsText(nlohmann::json::parse(kState));
    for (const char* line : {"quorvane_up 1\n", "quorvane_fan_actual_rpm{fan=\"0\"} 2500\n", "quorvane_fan_target_rpm{fan=\"1\"} 1200\n",
                             "quorvane_fan_min_rpm{fan=\"0\"} 1200\n", "quorvane_fan_max_rpm{fan=\"1\"} 5000\n",
                             "quorvane_fan_manual{fan=\"0\"} 1\n", "quorvane_fan_manual{fan=\"1\"} 0\n",
                             "quorvane_fan_duty_ratio{fan=\"0\"} 0.5\n", "quorvane_control_temperature_celsius 61.5\n",
                             "quorvane_alert_threshold_celsius 95\n", "quorvane_alert_firing 0\n",
                             "# TYPE quorvane_control_ticks_total counter\n", "quorvane_control_ticks_total 42\n",
                             "quorvane_control_failed_ticks_total 3\n", "quorvane_smc_errors_total 1\n",
                             "quorvane_daemon_errors_total 2\n",
                             "quorvane_sensor_temperature_celsius{key=\"TC0P\",name=\"CPU \\\\ Proximity\",class=\"temperature\",category=\"cpu\"} 48.25\n",
                             "quorvane_sensor_power_watts{key=\"PSTR\",name=\"System Total\",class=\"power\",category=\"enclosure\"} 12.5\n",
                             "quorvane_following_info{profile=\"Quorvane \\\"Standard\\\"\"} 1\n"}) {
        EXPECT_NE(text.find(line), std::string::npos) << line << "\n" << text;
    }
    // A value the service does not know is left out, not written as 0.
    EXPECT_EQ(text.find("quorvane_fan_actual_rpm{fan=\"1\"}"), std::string::npos);
    EXPECT_EQ(text.find("quorvane_fan_duty_ratio{fan=\"1\"}"), std::string::npos);
    EXPECT_EQ(text.find("key=\"TB0T\""), std::string::npos);
    EXPECT_EQ(text.find("quorvane_sensor_fan_rpm"), std::string::npos);  // no family without a sample
}

TEST(MetricsText, OnlyUpZeroWhenTheServiceDoesNotAnswer) {
    const std::string down = "# HELP quorvane_up Whether the control service answered (1) or not (0).\n# TYPE quorvane_up gauge\nquorvane_up 0\n";
    EXPECT_EQ(metricsText(std::nullopt), down);
    EXPECT_EQ(metricsText(nlohmann::json::parse(R"({"version":1,"status":503,"error":"no tick yet"})")), down);
    EXPECT_EQ(metricsText(nlohmann::json::parse("[1,2]")), down);
}

HttpRequest get(std::string path, std::string query = {}) { return HttpRequest{"GET", std::move(path), std::move(query), "localhost"}; }

TEST(WebRoutes, EachPathItsAnswerAndTheApiRelayedWithTheServicesStatus) {
    std::vector<std::string> asked;
    const AskControl service = [&](const std::string& line) -> std::optional<std::string> {
        asked.push_back(line);
        if (line == "/v1/state") return std::string(kState);
        if (line == "/v1/garbage") return std::string("not json");
        return std::string(R"({"version":1,"status":404,"error":"no such resource"})");
    };
    const AskControl silent = [](const std::string&) { return std::optional<std::string>(); };
    struct Row {
        std::string path, query;
        bool answers;
        int status;
        std::string contains;
    };
    const bool haveChart = readStaticFile(chartScriptPath).has_value();
    const std::vector<Row> rows = {
        {"/api/v1/state", "", true, 200, "\"following\""},
        {"/api/v1/history", "window=1h", true, 404, "no such resource"},
        {"/api/v1/garbage", "", true, 502, "other than JSON"},
        {"/api/v1/state", "", false, 503, "does not answer"},
        {"/metrics", "", false, 200, "quorvane_up 0"},
        {"/metrics", "", true, 200, "quorvane_up 1"},
        {"/nope", "", false, 404, "no such page"},
        {"/", "", false, 200, "<script src=\"/chart.js\">"},
        {"/dashboard.js", "", false, 200, "/api/v1/simulate?profile="},
        {"/dashboard.css", "", false, 200, "prefers-color-scheme: dark"},
        {"/favicon.ico", "", false, 200, "<svg"},
        {"/chart.js", "", false, haveChart ? 200 : 404, haveChart ? "Chart" : "libjs-chart.js"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.path + "?" + row.query);
        const Response r = route(get(row.path, row.query), row.answers ? service : silent);
        EXPECT_EQ(r.status, row.status);
        EXPECT_NE(r.body.find(row.contains), std::string::npos) << r.body.substr(0, 200);
    }
    // The API's path and query reach the service as they came; /metrics asks for the state.
    EXPECT_EQ(asked, (std::vector<std::string>{"/v1/state", "/v1/history?window=1h", "/v1/garbage", "/v1/state"}));
}

TEST(WebRoutes, HeadRequestsGetTheHeadAloneAndEveryResponseCloses) {
    const Response r{200, "text/plain", "hello"};
    EXPECT_EQ(serialize(r, true).find("hello"), std::string::npos);
    const std::string full = serialize(r, false);
    EXPECT_NE(full.find("Content-Length: 5\r\n"), std::string::npos);
    EXPECT_NE(full.find("Connection: close\r\n"), std::string::npos);
    EXPECT_EQ(full.find("Access-Control-Allow-Origin"), std::string::npos);
    EXPECT_EQ(full.substr(full.size() - 9), "\r\n\r\nhello");
}

}  // namespace
}  // namespace quorvane::web
