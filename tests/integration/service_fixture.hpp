// The control service as a real process over the virtual Mac and the daemon: the start most cases
// share (both serving, a configuration, `quorvanectl serve` following it) and their end (SIGTERM,
// status 0, every fan automatic). Test-only: GoogleTest assertions, unlike daemon_harness.hpp.
#pragma once

#include <chrono>
#include <csignal>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "integration/daemon_harness.hpp"

namespace quorvane::integration {

class ServiceTest : public ::testing::Test {
protected:
    // No alert: only the profile moves the fans.
    static constexpr const char* kQuiet =
        R"({"profile": "Silent Stealth", "alert": {"enabled": false, "thresholdCelsius": 90, "autoBoost": false}})";

    void startMac() {
        mac = h.startVirtualMac("intel-desktop");
        ASSERT_TRUE(mac.started()) << readFile(h.root() / "virtual-mac.log");
    }
    void startDaemon(const std::string& logName = "daemon.log") {
        daemon = h.spawnDaemon(h.root() / logName);
        ASSERT_TRUE(h.waitForDaemon(daemon)) << readFile(h.root() / logName);
    }
    void startMacAndDaemon() {
        ASSERT_NO_FATAL_FAILURE(startMac());
        ASSERT_NO_FATAL_FAILURE(startDaemon());
    }
    // `quorvanectl serve` on the configuration file, which then holds text.
    void serve(const std::string& text = kQuiet, const std::vector<std::string>& environment = {}) {
        std::ofstream(config, std::ios::trunc) << text;
        service = h.spawn(kClientName, {"serve", "--config", config.string()}, h.root() / "service.out",
                          h.root() / "service.err", environment);
    }
    std::string log() const { return readFile(h.root() / "service.err"); }
    // Whether the service's log shows text within the time.
    bool logShows(const std::string& text, double seconds = 5.0) const {
        return Harness::waitUntil(seconds, [&] { return log().find(text) != std::string::npos; },
                                  std::chrono::milliseconds(20));
    }
    // The service follows name and still runs.
    void awaitFollowing(const std::string& name = "Silent Stealth", double seconds = 10.0) {
        const std::string line = "following \"" + name + "\"";
        ASSERT_TRUE(Harness::waitUntil(seconds, [&] { return log().find(line) != std::string::npos || !service.running(); },
                                       std::chrono::milliseconds(20)))
            << log();
        ASSERT_TRUE(service.running()) << log();
    }
    // SIGTERM: the service ends with status 0, having handed every fan back.
    void stopService() {
        service.signal(SIGTERM);
        const auto stopped = service.waitFor(5.0);
        ASSERT_TRUE(stopped) << log();
        EXPECT_TRUE(stopped->exitedWith(0)) << stopped->describe() << log();
        EXPECT_TRUE(Harness::allAutomatic(h.state())) << h.state().dump();
    }

    Harness h;
    Child mac, daemon, service;
    const fs::path config = h.root() / "control.json";
};

}  // namespace quorvane::integration
