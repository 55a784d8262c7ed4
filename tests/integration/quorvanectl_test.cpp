// quorvanectl as a real process against the daemon and the virtual Mac: what each command prints,
// its exit status, and what the hardware holds while it runs and after it ends.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <thread>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "integration/daemon_harness.hpp"

namespace quorvane::integration {
namespace {

using namespace std::chrono_literals;

class QuorvanectlTest : public ::testing::Test {
protected:
    void startMac(const std::string& profile) {
        mac = h.startVirtualMac(profile);
        ASSERT_TRUE(mac.started()) << readFile(h.root() / "virtual-mac.log");
    }
    void startDaemon() {
        daemon = h.spawnDaemon(h.root() / "daemon.log");
        ASSERT_TRUE(h.waitForDaemon(daemon)) << daemonLog();
    }
    std::string daemonLog() const { return readFile(h.root() / "daemon.log"); }

    // Starts a long-running client with its output in files; out() and err() read them.
    Child& spawnClient(const std::vector<std::string>& args) {
        const auto n = std::to_string(clients.size() + 1);
        clients.push_back(h.spawn(kClientName, args, h.root() / ("client-" + n + ".out"), h.root() / ("client-" + n + ".err")));
        return clients.back();
    }
    std::string out(std::size_t i = 0) const { return readFile(h.root() / ("client-" + std::to_string(i + 1) + ".out")); }
    std::string err(std::size_t i = 0) const { return readFile(h.root() / ("client-" + std::to_string(i + 1) + ".err")); }

    Harness h;
    Child mac;
    Child daemon;
    std::vector<Child> clients;
};

struct CommandRow {
    std::vector<std::string> args;
    int status;
    std::string stdoutHas;  // a substring of stdout ("" = stdout empty)
    std::string stderrHas;  // a substring of stderr ("" = not checked)
};

// Every command against a running daemon on a two-fan Intel desktop (no Ftst unlock, so fast).
TEST_F(QuorvanectlTest, EveryCommandPrintsItsResultAndExitStatus) {
    startMac("intel-desktop");
    startDaemon();
    const std::vector<CommandRow> rows = {
        {{"version"}, 0, "quorvanectl 1.2.2\ndaemon 1.2.2\n", ""},
        {{"--version"}, 0, "quorvanectl 1.2.2\n", ""},
        {{"help", "smc", "read"}, 0, "KEY TEXT REQUIRED", ""},
        {{"help"}, 0, "QUORVANE_BOOTSTRAP", ""},
        {{"stats"}, 2, "", "unknown command \"stats\"; the commands are help, version, fans,"},
        {{"smc", "dump"}, 2, "", "unknown smc command \"dump\""},
        {{"run", "--seconds", "-1"}, 2, "", "SECONDS must be 0 or more, not -1"},
        {{"fans"}, 0, "  0  auto  ", ""},
        {{"fans", "--json"}, 0, "\"isManaged\": false", ""},
        {{"smc", "read", "FNum"}, 0, "2.0\n", ""},
        {{"smc", "read", "F0ID"}, 0, "{fds 00 12 00 00 52 69 67 68 74 00", ""},
        {{"smc", "read", "ZZZZ"}, 1, "", "cannot read ZZZZ: keyNotFound(\"ZZZZ\")"},
        {{"smc", "write", "F0Tg", "3000"}, 2, "", "bypasses the daemon's fail-safe"},
        {{"smc", "keys"}, 0, "FNum  ui8      1  2.0\n", ""},
        {{"set-rpm", "7", "2000", "--hold", "0"}, 1, "", "daemon error 1002: fan index 7 out of range"},
        {{"set-rpm", "0", "2500", "--hold", "0"}, 0, "2500.0\n", "back under automatic control"},
        // The target key still holds 2500; an automatic fan shows none.
        {{"fans"}, 0, "   auto    1200    2700", ""},
        {{"set-rpm", "0", "99999", "--hold", "0"}, 0, "2700.0\n",
         "fan 0 set to 2700 RPM instead of 99999.0: above the fan's maximum of 2700 RPM"},
        {{"set-rpm", "0", "nan", "--hold", "0"}, 1, "", "daemon error 1001: rejected"},
        {{"manual", "0", "on", "--hold", "0"}, 0, "on, holding ", ""},
        {{"manual", "0", "off"}, 0, "off\n", ""},
        {{"restore"}, 0, "restored\n", ""},
        {{"set-rpm", "0"}, 2, "", "RPM is required"},
        {{"manual", "0", "maybe"}, 2, "", ""},
        {{"mode", "new", "Loud", "--fixed", "70"}, 2, "", "70 is outside 0…1: a speed is a fraction of the fan's range"},
        {{"mode", "new", "Loud", "--sensor", "TZ9Z"}, 2, "", "\"TZ9Z\" is not a sensor of this Mac; its sensors are TA0P TA0V "},
        {{"mode", "new", "Loud", "--sensor", "TZ9Z"}, 2, "", " more (quorvanectl sensors --all)\n"},
        {{"mode", "new", "Caf\xe9"}, 2, "", "the mode's name is not UTF-8 text"},
        {{"mode", "new", "Loud", "--from", "gaming", "--floor", "0.5"}, 0, "\"floor\": {\n      \"percentage\": 0.5", ""},
    };
    for (const auto& row : rows) {
        std::string command;
        for (const auto& a : row.args) command += a + " ";
        SCOPED_TRACE(command);
        const RunResult r = h.client(row.args);
        ASSERT_TRUE(r.status) << "did not finish";
        EXPECT_TRUE(r.status->exitedWith(row.status)) << r.status->describe() << "\n" << r.err;
        if (row.stdoutHas.empty()) {
            EXPECT_EQ(r.out, "");
        } else {
            EXPECT_NE(r.out.find(row.stdoutHas), std::string::npos) << r.out;
        }
        EXPECT_NE(r.err.find(row.stderrHas), std::string::npos) << r.err;
        EXPECT_TRUE(Harness::allAutomatic(h.state())) << "every command ends with the fans automatic";
    }

    const RunResult forced = h.client({"smc", "write", "--force", "F0Tg", "3000"});
    EXPECT_TRUE(forced.succeeded()) << forced.err;
    EXPECT_EQ(h.readKey("F0Tg"), 3000.0) << "--force writes the key directly";
    EXPECT_TRUE(daemon.running());
}

TEST_F(QuorvanectlTest, FanlessMacHasNoFansToShowOrSet) {
    startMac("fanless-laptop");
    startDaemon();
    const RunResult table = h.client({"fans"});
    EXPECT_TRUE(table.succeeded());
    EXPECT_EQ(table.out, "this Mac has no fans\n");
    const RunResult json = h.client({"fans", "--json"});
    EXPECT_TRUE(json.succeeded());
    EXPECT_EQ(json.out, "{\n  \"version\": 1,\n  \"fans\": []\n}\n");
    const RunResult set = h.client({"set-rpm", "0", "2000", "--hold", "0"});
    ASSERT_TRUE(set.status);
    EXPECT_TRUE(set.status->exitedWith(1));
    EXPECT_NE(set.err.find("daemon error 1002"), std::string::npos) << set.err;
}

TEST_F(QuorvanectlTest, AbsentDaemonAndAbsentSMCAreSaidPlainly) {
    const RunResult noDaemon = h.client({"version"});
    ASSERT_TRUE(noDaemon.status);
    EXPECT_TRUE(noDaemon.status->exitedWith(1));
    EXPECT_EQ(noDaemon.out, "quorvanectl 1.2.2\n") << "the client's own version needs no daemon";
    EXPECT_NE(noDaemon.err.find("cannot reach the daemon: nothing accepts connections at " + h.xpcSocket().string()),
              std::string::npos)
        << noDaemon.err;

    const RunResult noSMC = h.client({"fans"});
    ASSERT_TRUE(noSMC.status);
    EXPECT_TRUE(noSMC.status->exitedWith(1));
    EXPECT_NE(noSMC.err.find("cannot open AppleSMC: serviceNotFound"), std::string::npos) << noSMC.err;
}

// On a Mac that needs the Ftst unlock the first engage takes ~3.5 s, and the daemon's watchdog
// counts from when the engage began: a client whose first heartbeat waits for the reply loses
// the fan 5 s after the engage began. Heartbeats that run from the moment the connection opens
// keep it for as long as the client runs.
TEST_F(QuorvanectlTest, SetRPMKeepsAFanThatNeedsTheUnlockForAsLongAsItRuns) {
    startMac("apple-silicon-laptop");
    startDaemon();
    // The watchdog ticks every 1.25 s from the daemon's start. An engage that begins ~0.7 s into
    // a period has a tick ~5.6 s later, before a late first heartbeat (~6 s) could arrive.
    std::this_thread::sleep_for(700ms);
    Child& client = spawnClient({"set-rpm", "0", "2500"});
    ASSERT_TRUE(Harness::waitUntil(15.0, [&] { return !out().empty() || !client.running(); }));
    ASSERT_EQ(out(), "2500.0\n") << err();

    // Past the engage's start + the 5 s timeout + one 1.25 s watchdog tick.
    bool manualThroughout = true;
    Harness::waitUntil(4.0, [&] {
        manualThroughout = manualThroughout && h.readKey("F0Md") == 1.0;
        return !manualThroughout;
    }, 50ms);
    EXPECT_TRUE(manualThroughout) << daemonLog();
    EXPECT_EQ(daemonLog().find("heartbeat lost"), std::string::npos) << daemonLog();
    EXPECT_EQ(h.readKey("F0Tg"), 2500.0);

    client.signal(SIGINT);
    const auto status = client.waitFor(5.0);
    ASSERT_TRUE(status);
    EXPECT_TRUE(status->exitedWith(0)) << status->describe() << err();
    EXPECT_TRUE(Harness::allAutomatic(h.state())) << "handed back before it exited: " << h.state().dump();
}

TEST_F(QuorvanectlTest, SetRPMHoldKeepsControlWhileItRunsAndLosesItWhenItExits) {
    startMac("intel-desktop");
    startDaemon();
    Child& client = spawnClient({"set-rpm", "0", "2500", "--hold", "1.5"});
    ASSERT_TRUE(Harness::waitUntil(10.0, [&] { return !out().empty() || !client.running(); }));
    EXPECT_EQ(out(), "2500.0\n") << err();
    EXPECT_TRUE(client.running());
    EXPECT_EQ(h.readKey("F0Md"), 1.0);
    const auto status = client.waitFor(5.0);
    ASSERT_TRUE(status);
    EXPECT_TRUE(status->exitedWith(0)) << err();
    // Read once, at once: the fans are back by the time the client has exited.
    EXPECT_TRUE(Harness::allAutomatic(h.state())) << h.state().dump();
}

TEST_F(QuorvanectlTest, HoldingClientSaysSoAndFailsWhenTheDaemonGoesAway) {
    startMac("intel-desktop");
    startDaemon();
    // A target left in the key by an earlier session must not come back with manual mode.
    ASSERT_TRUE(h.client({"set-rpm", "0", "2600", "--hold", "0"}).succeeded());
    ASSERT_TRUE(Harness::waitUntil(10.0, [&] { return h.readKey("F0Ac").value_or(1e9) < 1500; }, 50ms));
    Child& client = spawnClient({"manual", "0", "on"});
    ASSERT_TRUE(Harness::waitUntil(10.0, [&] { return !out().empty() || !client.running(); }));
    EXPECT_EQ(out().rfind("on, holding ", 0), 0u) << out() << err();
    EXPECT_EQ(h.readKey("F0Md"), 1.0);
    EXPECT_LT(h.readKey("F0Tg").value_or(1e9), 2000.0) << "held near the automatic speed, not the old 2600";
    daemon.signal(SIGTERM);
    const auto status = client.waitFor(5.0);
    ASSERT_TRUE(status) << "the client noticed the daemon's departure";
    EXPECT_TRUE(status->exitedWith(1));
    EXPECT_NE(err().find("lost the connection to the daemon"), std::string::npos) << err();
    EXPECT_TRUE(Harness::allAutomatic(h.state()));
}

// The JSON lines `run --json` printed so far.
std::vector<nlohmann::json> ticks(const std::string& output) {
    std::vector<nlohmann::json> lines;
    std::istringstream in(output);
    for (std::string line; std::getline(in, line);) {
        auto j = nlohmann::json::parse(line, nullptr, false);
        if (!j.is_discarded() && !j.contains("legend")) lines.push_back(std::move(j));
    }
    return lines;
}

TEST_F(QuorvanectlTest, RunRaisesTheFansWithinTheirBoundsOnARisingLoadAndHandsThemBackOnSIGINT) {
    startMac("intel-desktop");
    startDaemon();
    ASSERT_TRUE(h.ctl({"load", "1"}).succeeded());
    Child& client = spawnClient({"run", "--json"});
    ASSERT_TRUE(Harness::waitUntil(10.0, [&] { return ticks(out()).size() >= 5 || !client.running(); }, 50ms)) << err();
    ASSERT_TRUE(client.running()) << err();
    EXPECT_EQ(h.readKey("F0Md"), 1.0);
    client.signal(SIGINT);
    const auto status = client.waitFor(5.0);
    ASSERT_TRUE(status);
    EXPECT_TRUE(status->exitedWith(0)) << status->describe() << err();
    EXPECT_TRUE(Harness::allAutomatic(h.state())) << h.state().dump();

    const auto lines = ticks(out());
    ASSERT_GE(lines.size(), 5u) << out();
    for (const auto& tick : lines) {
        EXPECT_EQ(tick["version"], 1);
        EXPECT_EQ(tick["profile"], "Quorvane Standard");
        EXPECT_EQ(tick["source"], "sensor group max");
        ASSERT_EQ(tick["fans"].size(), 2u);
        for (const auto& fan : tick["fans"]) {
            EXPECT_GE(fan["targetRPM"].get<double>(), fan["minRPM"].get<double>()) << tick.dump();
            EXPECT_LE(fan["targetRPM"].get<double>(), fan["maxRPM"].get<double>()) << tick.dump();
        }
    }
    EXPECT_GT(lines.back()["temperature"].get<double>(), lines.front()["temperature"].get<double>()) << out();
    EXPECT_GT(lines.back()["fans"][0]["targetRPM"].get<double>(), lines.front()["fans"][0]["targetRPM"].get<double>())
        << out();
}

// A tick reads the sensors behind the control temperature and two keys a fan, nothing else: the
// virtual Mac's count of served exchanges, taken between printed ticks of one run, grows by exactly
// that much a tick. The default profile's sensor group "max" reads just the die group's keys.
TEST_F(QuorvanectlTest, RunReadsOnlyTheSensorsBehindItsControlTemperature) {
    const fs::path oneSensor = h.root() / "one.json";
    std::ofstream(oneSensor) << R"({"id":"6F1C2C3E-8D4B-4C59-9E3A-0A1B2C3D4E5F","name":"One","symbolName":"bolt.fill",)"
                             << R"("speed":{"floor":{"percentage":0.3}},"controlSensor":{"sensor":{"id":"TC0P"}}})";
    struct Row {
        const char* mac;
        std::vector<std::string> args;
        long (*behind)(Harness& h);
    };
    const Row rows[] = {
        {"intel-desktop", {"--mode", oneSensor.string()}, [](Harness&) { return 1L; }},
        {"apple-silicon-laptop", {}, [](Harness& h) {
             const RunResult r = h.client({"sensors", "--json"});
             const auto j = nlohmann::json::parse(r.out, nullptr, false);
             return j.is_discarded() ? 0L : static_cast<long>(j["controlTemperature"]["keys"].size());
         }},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.mac);
        startMac(row.mac);
        startDaemon();
        const long behind = row.behind(h);
        ASSERT_GT(behind, 0);
        const auto state = h.state();
        const long fans = static_cast<long>(state["fans"].size());
        std::vector<std::string> args{"run", "--json"};
        args.insert(args.end(), row.args.begin(), row.args.end());
        Child& client = spawnClient(args);
        // The counter read while no tick is under way: stable across a pause, with no new tick line.
        const auto between = [&](std::size_t atLeast, double& exchanges, std::size_t& printed) {
            return Harness::waitUntil(20.0, [&] {
                const std::size_t n = ticks(out(clients.size() - 1)).size();
                if (n < atLeast || !client.running()) return !client.running();
                const double first = h.state()["exchanges"].get<double>();
                std::this_thread::sleep_for(50ms);
                exchanges = h.state()["exchanges"].get<double>();
                printed = ticks(out(clients.size() - 1)).size();
                return exchanges == first && printed == n;
            }, 20ms);
        };
        double e1 = 0, e2 = 0;
        std::size_t n1 = 0, n2 = 0;
        // The first ticks warm the daemon's caches (fan bounds); count from the second on.
        ASSERT_TRUE(between(2, e1, n1) && client.running()) << err(clients.size() - 1);
        ASSERT_TRUE(between(n1 + 3, e2, n2) && client.running()) << err(clients.size() - 1);
        client.signal(SIGINT);
        ASSERT_TRUE(client.waitFor(5.0));
        const double perTick = (e2 - e1) / static_cast<double>(n2 - n1);
        EXPECT_GE(perTick, static_cast<double>(behind + 2 * fans)) << "every input is read each tick";
        EXPECT_LE(perTick, static_cast<double>(behind + 2 * fans)) << state["sensors"].size() << " sensors in all";
        daemon.kill();
        mac.kill();
    }
}

struct RunRow {
    const char* profile;                // virtual Mac
    std::vector<std::string> args;
    int status;
    std::string stdoutHas;
    std::string stderrHas;
};

TEST_F(QuorvanectlTest, RunFollowsProfilesAndModesAndRefusesWhatItCannotFollow) {
    const fs::path fullSpeed = h.root() / "full.json";
    std::ofstream(fullSpeed) << R"({"id":"6F1C2C3E-8D4B-4C59-9E3A-0A1B2C3D4E5F","name":"Full","symbolName":"bolt.fill",)"
                             << R"("speed":{"fixed":{"percentage":1}},"controlSensor":{"source":{"_0":"cpuAverage"}}})";
    const fs::path notAMode = h.root() / "bad.json";
    std::ofstream(notAMode) << R"({"name":"no id"})";
    const fs::path percent = h.root() / "percent.json";
    std::ofstream(percent) << R"({"id":"6F1C2C3E-8D4B-4C59-9E3A-0A1B2C3D4E5F","name":"P","symbolName":"bolt.fill",)"
                           << R"("speed":{"fixed":{"percentage":70}}})";
    const fs::path noSuchSensor = h.root() / "sensor.json";
    std::ofstream(noSuchSensor) << R"({"id":"6F1C2C3E-8D4B-4C59-9E3A-0A1B2C3D4E5F","name":"S","symbolName":"bolt.fill",)"
                                << R"("floorPercentage":0.3,"controlSensor":{"sensor":{"id":"TZ9Z"}}})";
    const std::vector<RunRow> rows = {
        {"intel-desktop", {"run", "--json", "--seconds", "0.5", "--mode", fullSpeed.string()}, 0,
         R"("source":"CPU Core Average")", "back under automatic control"},
        {"intel-desktop", {"run", "--json", "--seconds", "0.5", "--profile", "Max Thermal Blast"}, 0,
         R"("targetRPM":2700.0)", ""},
        {"intel-desktop", {"run", "--json", "--seconds", "0.5", "--profile", "apple auto"}, 0,
         R"("monitoring":true)", ""},
        {"intel-desktop", {"run", "--seconds", "0.5"}, 0, "# t: seconds since start;", ""},
        {"intel-desktop", {"--fahrenheit", "run", "--seconds", "0.5"}, 0, "\nt=0.0s temp=131.4°F", ""},
        {"fanless-laptop", {"run", "--json", "--seconds", "0.5"}, 0, R"("fans":[])", ""},
        {"intel-desktop", {"run", "--mode", notAMode.string()}, 2, "", R"(lacks "id", "symbolName", "speed")"},
        {"intel-desktop", {"run", "--mode", percent.string()}, 2, "", "speed.fixed.percentage 70.0, which is outside 0…1"},
        {"intel-desktop", {"run", "--mode", noSuchSensor.string()}, 2, "", "\"TZ9Z\" is not a sensor of this Mac"},
        {"intel-desktop", {"run", "--profile", "Loud"}, 2, "", "no built-in profile \"Loud\""},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(std::string(row.profile) + " " + row.args.back());
        startMac(row.profile);
        startDaemon();
        const RunResult r = h.client(row.args);
        ASSERT_TRUE(r.status);
        EXPECT_TRUE(r.status->exitedWith(row.status)) << r.status->describe() << "\n" << r.err;
        EXPECT_NE(r.out.find(row.stdoutHas), std::string::npos) << r.out;
        EXPECT_NE(r.err.find(row.stderrHas), std::string::npos) << r.err;
        EXPECT_TRUE(Harness::allAutomatic(h.state())) << h.state().dump();
        if (row.stdoutHas.empty()) {
            EXPECT_EQ(r.out, "");
        }
        daemon.kill();
        mac.kill();
    }
    const RunResult noDaemon = h.client({"run", "--seconds", "1"});
    ASSERT_TRUE(noDaemon.status);
    EXPECT_TRUE(noDaemon.status->exitedWith(1));
    EXPECT_NE(noDaemon.err.find("cannot open AppleSMC"), std::string::npos) << noDaemon.err;
}

// Every real Mac with fans, through the real processes: set-rpm holds the highest fan (the top
// bit of "FS! " on two-fan Macs), which follows its target by that Mac's own mechanism, and hands
// every fan back when it ends, with nothing failing for a key the Mac does not have. The tables
// run several at a time, each with its own virtual Mac and daemon.
TEST(EveryRealMacTest, SetRPMHoldsTheFanAndHandsItBackByTheMacsOwnMechanism) {
    std::vector<std::string> models;
    for (const auto& entry : fs::directory_iterator(sim::MachineProfile::dumpDirectory())) {
        if (entry.path().extension() == ".csv" && !machine(entry.path().string()).fans.empty())
            models.push_back(entry.path().stem().string());
    }
    std::sort(models.begin(), models.end());
    ASSERT_GE(models.size(), 30u);
    std::vector<std::string> report(models.size());
    auto check = [&](std::size_t index) {
        const std::string& model = models[index];
        SCOPED_TRACE(model);
        Harness h;
        const auto profile = machine(model);
        const long fan = static_cast<long>(profile.fans.size()) - 1;
        const auto& def = profile.fans[static_cast<std::size_t>(fan)];
        const double target = std::round(std::abs(def.autoSpeed - def.maximum) > 200 ? def.maximum : def.minimum);
        Child mac = h.startVirtualMac(model);
        ASSERT_TRUE(mac.started()) << readFile(h.root() / "virtual-mac.log");
        Child daemon = h.spawnDaemon(h.root() / "daemon.log");
        ASSERT_TRUE(h.waitForDaemon(daemon)) << readFile(h.root() / "daemon.log");
        const auto started = SteadyClock::now();
        // Held until the fan has followed (a sanitizer build is slow to), then let go by SIGTERM.
        Child client = h.spawn(kClientName, {"set-rpm", std::to_string(fan), std::to_string(target)});
        const bool followed = Harness::waitUntil(40.0, [&] {
            const auto state = h.state();
            if (!state.is_object() || state["fans"][fan]["manual"] != true) return false;
            return std::abs(state["fans"][fan]["actual"].get<double>() - target) <=
                   0.25 * std::abs(def.autoSpeed - target) + 25;
        }, 50ms);
        const double heldAfter = std::chrono::duration<double>(SteadyClock::now() - started).count();
        EXPECT_TRUE(followed) << h.state().dump();
        client.signal(SIGTERM);
        const auto status = client.waitFor(20.0);
        ASSERT_TRUE(status) << "set-rpm did not end";
        EXPECT_TRUE(status->exitedWith(0)) << status->describe() << "\n" << readFile(h.root() / "daemon.log");
        EXPECT_TRUE(Harness::waitUntil(5.0, [&] { return Harness::allAutomatic(h.state()); })) << h.state().dump();
        const std::string log = readFile(h.root() / "daemon.log");
        EXPECT_EQ(log.find("failed"), std::string::npos) << log;
        const auto state = h.state();
        report[index] = model + ": " + (state.contains("FS! ") ? "FS! " : "F<n>Md") +
                        (state["Ftst"].is_null() ? "" : " with Ftst") + ", fan " + std::to_string(fan) + " at " +
                        std::to_string(static_cast<int>(target)) + " rpm after " + std::to_string(heldAfter) + " s";
    };
    std::atomic<std::size_t> next{0};
    std::vector<std::thread> workers;
    for (int i = 0; i < 6; ++i) {
        workers.emplace_back([&] {
            for (std::size_t index; (index = next++) < models.size();) check(index);
        });
    }
    for (auto& w : workers) w.join();
    for (const auto& line : report) std::printf("[ measured ] %s\n", line.c_str());
}

}  // namespace
}  // namespace quorvane::integration

namespace quorvane::integration {
namespace {

// doctor and the daemon on an Apple-silicon hwmon device laid out as plain files: each problem
// is named with its remedy, and the exit status is 0 only once fans can be controlled.
TEST(QuorvanectlDoctor, ExplainsEachProblemAndPassesOnlyWhenFansCanBeControlled) {
    char pattern[] = "/tmp/quorvane-hwmon-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    const fs::path dir = pattern;
    auto put = [&](const std::string& name, const std::string& text) { std::ofstream(dir / name) << text; };
    put("name", "macsmc_hwmon\n");
    for (const char* n : {"1", "2"}) {
        for (const auto& [file, text] : {std::pair{"_input", "1800\n"}, {"_min", "1200\n"}, {"_max", "6000\n"},
                                         {"_target", "1800\n"}, {"_label", "Fan\n"}})
            put(std::string("fan") + n + file, text);
    }
    fs::permissions(dir / "fan1_target", fs::perms::owner_read);  // fan_control off
    struct Row {
        std::string backend;
        bool writable, daemon;
        int status;
        std::vector<std::string> says;
    };
    const std::vector<Row> rows = {
        {"bogus", false, false, 1, {"QUORVANE_SMC_BACKEND=\"bogus\" is not socket", "daemon: not answering"}},
        {"macsmc-hwmon:" + dir.string(), false, false, 1,
         {"backend: macsmc-hwmon at " + dir.string(), "fans: 2", "1200-6000 rpm", "fan1_target is read-only",
          "modprobe macsmc_hwmon fan_control=1", "Start it: systemctl start"}},
        {"macsmc-hwmon:" + dir.string(), true, true, 0,
         {"mode mechanism: fanX_target", "fan1_target is writable", "daemon: running, version 1.2.2",
          "fans can be controlled"}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.backend);
        if (row.writable) fs::permissions(dir / "fan1_target", fs::perms::owner_read | fs::perms::owner_write);
        ::setenv("QUORVANE_SMC_BACKEND", row.backend.c_str(), 1);
        Harness h;  // takes the environment as it is now
        ::unsetenv("QUORVANE_SMC_BACKEND");
        Child daemon;
        if (row.daemon) {
            daemon = h.spawnDaemon(h.root() / "daemon.log");
            ASSERT_TRUE(h.waitForDaemon(daemon)) << readFile(h.root() / "daemon.log");
        }
        const RunResult r = h.client({"doctor"});
        ASSERT_TRUE(r.status) << "did not finish";
        EXPECT_TRUE(r.status->exitedWith(row.status)) << r.status->describe() << "\n" << r.out << r.err;
        for (const auto& text : row.says) EXPECT_NE(r.out.find(text), std::string::npos) << text << "\n" << r.out;
    }
    fs::remove_all(dir);
}

}  // namespace
}  // namespace quorvane::integration
