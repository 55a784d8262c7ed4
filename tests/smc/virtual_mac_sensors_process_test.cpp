// End to end: the quorvane-virtual-mac binary serving a real Mac's key table and a profile's HID
// services on its sockets, read by sensor discovery and the HID source, and shown by "ctl state".
#include <chrono>
#include <filesystem>
#include <string>
#include <thread>

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "platform/bootstrap/bootstrap.hpp"
#include "platform/hid/hid.hpp"
#include "sim/control_protocol.hpp"
#include "sim/control_socket.hpp"
#include "sim/machine_profile.hpp"
#include "sim/sim_test_support.hpp"
#include "smc/hid_sensor_source.hpp"
#include "smc/sensor_discovery.hpp"

extern char** environ;

namespace quorvane::sim {
namespace {

namespace fs = std::filesystem;

class ServedMac {
public:
    explicit ServedMac(std::vector<std::string> args) {
        const fs::path binary = fs::read_symlink("/proc/self/exe").parent_path() / "quorvane-virtual-mac";
        std::vector<char*> argv{const_cast<char*>(binary.c_str())};
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        if (::posix_spawn(&pid_, binary.c_str(), nullptr, nullptr, argv.data(), environ) != 0) pid_ = -1;
        for (int i = 0; i < 200 && !fs::exists(bootstrap::socketPath(hid::kEventSystemSocketName)); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(25));
        std::this_thread::sleep_for(std::chrono::milliseconds(50));  // the control socket binds last
    }
    ~ServedMac() {
        if (pid_ > 0) {
            ::kill(pid_, SIGTERM);
            ::waitpid(pid_, nullptr, 0);
        }
    }
    std::string control(const std::string& request) const {
        return sendControlRequest(bootstrap::socketPath(kControlSocketName), request);
    }

private:
    testing::ScopedBootstrap bootstrap_;
    pid_t pid_ = -1;
};

TEST(VirtualMacSensorsProcess, ServesARealKeyTableAndShowsItsSensors) {
    const std::string table = MachineProfile::dumpDirectory() + "/Mac16_10_M4_j773g_MacMini.csv";
    if (!fs::exists(table)) GTEST_SKIP() << "no key table " << table;
    ServedMac mac({"--dump", table});
    const auto sensors = SensorDiscovery(SMCKernelBridge::open()).discoverAll();
    EXPECT_EQ(sensors.size(), 312u);  // as the in-process walk of the same table finds
    const auto state = nlohmann::json::parse(mac.control("state").substr(3));
    EXPECT_EQ(state["sensors"].size(), sensors.size());
    EXPECT_EQ(state["sensors"][0]["key"], sensors[0].key);
    EXPECT_EQ(mac.control("load 1"), "ok");
    EXPECT_EQ(mac.control("load 2").rfind("error", 0), 0u);
    EXPECT_TRUE(HIDSensorSource().readAll().empty());  // a key table publishes no HID services
}

TEST(VirtualMacSensorsProcess, ServesAProfilesHIDServices) {
    ServedMac mac({"--profile", "fanless-laptop"});
    const auto readings = HIDSensorSource().readAll();
    ASSERT_FALSE(readings.empty());
    EXPECT_EQ(readings.front().name, "PMU tdie1");
    const auto state = nlohmann::json::parse(mac.control("state").substr(3));
    EXPECT_GT(state["hid"].size(), readings.size());  // the published services, implausible ones too
}

}  // namespace
}  // namespace quorvane::sim
