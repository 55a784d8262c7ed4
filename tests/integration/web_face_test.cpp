// The control service's local API and the web face as real processes against the daemon and the
// virtual Mac: the API's socket and replies, history kept across a reload, and quorvane-web's
// /metrics, relayed /api and its refusals (wrong Host, oversized head, more peers than it takes).
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <regex>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "integration/service_fixture.hpp"
#include "platform/bootstrap/line_socket.hpp"

namespace quorvane::integration {
namespace {

using namespace std::chrono_literals;
using WebFace = ServiceTest;

int connectTCP(unsigned port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<std::uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0) {
        ::close(fd);
        return -1;
    }
    timeval tv{10, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    return fd;
}

// Sends `request` and reads until the server closes.
std::string roundTrip(unsigned port, const std::string& request) {
    const int fd = connectTCP(port);
    if (fd < 0) return {};
    ::send(fd, request.data(), request.size(), MSG_NOSIGNAL);
    std::string reply;
    char buffer[65536];
    ssize_t n;
    while ((n = ::recv(fd, buffer, sizeof buffer, 0)) > 0) reply.append(buffer, static_cast<std::size_t>(n));
    ::close(fd);
    return reply;
}

std::string get(unsigned port, const std::string& path, const std::string& host = "127.0.0.1") {
    return roundTrip(port, "GET " + path + " HTTP/1.1\r\nHost: " + host + ":" + std::to_string(port) + "\r\n\r\n");
}

std::string body(const std::string& response) {
    const auto end = response.find("\r\n\r\n");
    return end == std::string::npos ? std::string() : response.substr(end + 4);
}

nlohmann::json ask(const Harness& h, const std::string& line) {
    const auto reply = bootstrap::askLine(h.socket("quorvane-control.api").string(), line, 8 << 20, 2000);
    return reply ? nlohmann::json::parse(*reply, nullptr, false) : nlohmann::json();
}

TEST_F(WebFace, ServesStateHistoryAndMetricsFromTheRunningControlService) {
    ASSERT_NO_FATAL_FAILURE(startMacAndDaemon());
    serve(R"({"profile": "Silent Stealth"})");

    // The API: group-readable socket, the state of the latest tick, a window of ticks, the profile.
    ASSERT_TRUE(Harness::waitUntil(15.0, [&] {
        const auto s = ask(h, "/v1/state");
        return (s.is_object() && s.value("ticks", 0) >= 3) || !service.running();
    }, 100ms)) << log();
    struct stat st{};
    ASSERT_EQ(::stat(h.socket("quorvane-control.api").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0660u);
    const auto state = ask(h, "/v1/state");
    EXPECT_EQ(state["version"], 1);
    EXPECT_EQ(state["following"], "Silent Stealth");
    ASSERT_EQ(state["fans"].size(), 2u) << state.dump();
    EXPECT_TRUE(state["temperatureCelsius"].is_number()) << state.dump();
    EXPECT_EQ(state["fans"][0]["manual"], true);
    EXPECT_NEAR(state["fans"][0]["targetRPM"].get<double>(), *h.readKey("F0Tg"), 1.0);  // the key as fpe2
    const auto history = ask(h, "/v1/history?window=10m");
    ASSERT_GE(history["t"].size(), 3u) << history.dump();
    EXPECT_EQ(history["fans"][1]["targetRPM"].size(), history["t"].size());
    EXPECT_EQ(ask(h, "/v1/profile")["profile"]["name"], "Silent Stealth");
    EXPECT_EQ(ask(h, "/v1/history?window=7d")["status"], 400);

    // The followed profile, simulated over the recorded ticks, gives each tick's real target.
    const auto replay = ask(h, "/v1/simulate");
    ASSERT_GE(replay["t"].size(), 3u) << replay.dump();
    for (const auto& fan : replay["fans"]) {
        ASSERT_EQ(fan["simulatedTargetRPM"].size(), replay["t"].size());
        for (std::size_t i = 0; i < replay["t"].size(); ++i) {
            ASSERT_TRUE(fan["simulatedTargetRPM"][i].is_number()) << i << replay.dump();
            EXPECT_NEAR(fan["simulatedTargetRPM"][i].get<double>(), fan["targetRPM"][i].get<double>(), 1.0) << i << replay.dump();
        }
    }

    // A reload changes what is followed and keeps what was recorded.
    const std::size_t before = history["t"].size();
    std::ofstream(config, std::ios::trunc) << R"({"profile": "Quorvane Standard"})";
    service.signal(SIGHUP);
    ASSERT_TRUE(Harness::waitUntil(10.0, [&] { return ask(h, "/v1/state")["following"] == "Quorvane Standard"; }, 100ms)) << log();
    EXPECT_GT(ask(h, "/v1/history?window=1h")["t"].size(), before);
    EXPECT_EQ(ask(h, "/v1/profile")["following"], "Quorvane Standard");
    EXPECT_EQ(ask(h, "/v1/history?window=24h")["resolution"], "minute");

    // The web face, on a port of the kernel's choosing.
    Child web = h.spawn("quorvane-web", {"--listen", "127.0.0.1:0"}, h.root() / "web.out", h.root() / "web.err");
    const auto webLog = [&] { return readFile(h.root() / "web.err"); };
    unsigned port = 0;
    ASSERT_TRUE(Harness::waitUntil(10.0, [&] {
        std::smatch m;
        const std::string text = webLog();
        if (std::regex_search(text, m, std::regex(R"(http://127\.0\.0\.1:(\d+)/)"))) port = static_cast<unsigned>(std::stoul(m[1]));
        return port != 0 || !web.running();
    }, 20ms)) << webLog();
    ASSERT_NE(port, 0u) << webLog();

    const std::string metrics = get(port, "/metrics");
    ASSERT_EQ(metrics.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << metrics;
    for (const char* line : {"\nquorvane_up 1\n", "\nquorvane_fan_actual_rpm{fan=\"0\"} ", "\nquorvane_fan_target_rpm{fan=\"1\"} ",
                             "\nquorvane_fan_manual{fan=\"0\"} 1\n", "\nquorvane_control_temperature_celsius ",
                             "\nquorvane_control_ticks_total ", "\nquorvane_alert_firing 0\n", "\nquorvane_smc_errors_total 0\n",
                             "\nquorvane_daemon_errors_total 0\n", "\nquorvane_sensor_temperature_celsius{key=\""}) {
        EXPECT_NE(metrics.find(line), std::string::npos) << line << metrics;
    }
    const fs::path scrape = h.root() / "scrape.txt";
    std::ofstream(scrape) << body(metrics);
    if (std::system("command -v promtool >/dev/null 2>&1") == 0) {
        const std::string check = "promtool check metrics < " + scrape.string() + " > " + (h.root() / "promtool.out").string() + " 2>&1";
        EXPECT_EQ(std::system(check.c_str()), 0) << readFile(h.root() / "promtool.out") << body(metrics);
    } else {
        std::printf("promtool is not installed (Debian package prometheus): the scrape was not checked by it\n");
    }

    const std::string relayed = get(port, "/api/v1/state");
    ASSERT_EQ(relayed.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << relayed;
    EXPECT_EQ(nlohmann::json::parse(body(relayed))["following"], "Quorvane Standard");
    EXPECT_EQ(get(port, "/api/v1/nothing").rfind("HTTP/1.1 404 ", 0), 0u);
    // A flat-out curve, relayed: its simulated targets climb to the fans' maximum, the real ones
    // stay where they were.
    const std::string flatOut = R"({"id":"00000000-0000-0000-0000-0000000000AA","name":"Try","mode":2,"constantTargetRPM":0,)"
                                R"("targetSensorGroupID":"max","curvePoints":[{"id":"00000000-0000-0000-0000-0000000000AB",)"
                                R"("temperature":0,"rpmPercentage":1},{"id":"00000000-0000-0000-0000-0000000000AC","temperature":100,"rpmPercentage":1}]})";
    std::string encoded;
    for (const unsigned char c : flatOut) {
        char escape[4];
        std::snprintf(escape, sizeof escape, "%%%02X", c);
        encoded += escape;
    }
    const std::string simulated = get(port, "/api/v1/simulate?profile=" + encoded);
    ASSERT_EQ(simulated.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << simulated;
    const auto whatIf = nlohmann::json::parse(body(simulated))["fans"][0];
    EXPECT_GT(whatIf["simulatedTargetRPM"].back().get<double>(), whatIf["targetRPM"].back().get<double>() + 100) << whatIf.dump();
    EXPECT_EQ(get(port, "/api/v1/simulate?profile=" + std::string(8000, 'a')).rfind("HTTP/1.1 414 ", 0), 0u);
    EXPECT_NE(get(port, "/").find("<canvas id=\"temperature\""), std::string::npos);

    // Hostile peers: another site's name, an oversized head, and more connections than it takes,
    // all held open; it keeps serving.
    EXPECT_EQ(get(port, "/metrics", "evil.example").rfind("HTTP/1.1 403 ", 0), 0u);
    EXPECT_EQ(roundTrip(port, "GET / HTTP/1.1\r\nHost: localhost\r\nX: " + std::string(20000, 'x') + "\r\n\r\n").rfind("HTTP/1.1 431 ", 0), 0u);
    EXPECT_EQ(roundTrip(port, "BREW / HTCPCP/1.0\r\n\r\n").rfind("HTTP/1.1 505 ", 0), 0u);
    std::vector<int> idle;
    for (int i = 0; i < 100; ++i) idle.push_back(connectTCP(port));
    std::string refused;
    char buffer[256];
    const ssize_t n = ::recv(idle.back(), buffer, sizeof buffer, 0);
    if (n > 0) refused.assign(buffer, static_cast<std::size_t>(n));
    EXPECT_EQ(refused.rfind("HTTP/1.1 503 ", 0), 0u) << refused;
    for (const int fd : idle) ::close(fd);
    // Once it has seen them go (a peer that comes while it still accepts the crowd is refused too).
    std::string after;
    EXPECT_TRUE(Harness::waitUntil(2.0, [&] { return (after = get(port, "/metrics")).rfind("HTTP/1.1 200 OK\r\n", 0) == 0; }, 20ms))
        << after.substr(0, 200);

    web.signal(SIGTERM);
    const auto webStopped = web.waitFor(5.0);
    ASSERT_TRUE(webStopped);
    EXPECT_TRUE(webStopped->exitedWith(0)) << webStopped->describe() << webLog();
    stopService();
    EXPECT_FALSE(fs::exists(h.socket("quorvane-control.api")));
}

}  // namespace
}  // namespace quorvane::integration
