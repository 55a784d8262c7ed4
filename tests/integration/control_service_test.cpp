// The control service as a real process (`quorvanectl serve`) against the daemon and the virtual
// Mac: its configuration errors, readiness through a notify socket, a reload on SIGHUP that never
// lets go of the fans, commands that would fight it, and the hand-back on SIGTERM.
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <fstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "integration/service_fixture.hpp"

namespace quorvane::integration {
namespace {

using namespace std::chrono_literals;
using ControlService = ServiceTest;

struct ConfigRow {
    const char* text;
    std::vector<std::string> errors;  // each a substring of stderr
};

TEST(ControlServiceConfig, EveryErrorNamesLineColumnAndKeyAndNothingStarts) {
    Harness h;
    const std::string file = (h.root() / "control.json").string();
    const std::vector<ConfigRow> rows = {
        {R"({"profile": "Loud"})", {file + ":1:13: profile: no built-in profile \"Loud\""}},
        {"{\"profile\": \"Quorvane Standard\",\n \"alert\": {\"enabled\": true, \"thresholdCelsius\": \"hot\", "
         "\"autoBoost\": true},\n \"fanz\": 1}",
         {":2:49: alert.thresholdCelsius: expected a number", ":3:10: fanz: unknown key"}},
        {"{\"profile\": \"Quorvane Standard\", \"alert\": {\"enabled\": true}}",
         {":1:43: alert.thresholdCelsius: required key is missing"}},
        {"{\"profile\": \"quorvane standard\", \"mode\": {\"id\": \"6F1C2C3E-8D4B-4C59-9E3A-0A1B2C3D4E5F\", "
         "\"name\": \"Loud\", \"symbolName\": \"bolt.fill\", \"speed\": {\"fixed\": {\"percentage\": 70}}}}",
         {"mode.speed.fixed.percentage: 70 is outside 0…1: a speed is a fraction of the fan's range (0.7 for 70.0 %)"}},
        {R"({"profile": "Quorvane Standard", "mode": {"name": "no id"}})", {":1:42: mode.id: required key is missing"}},
        {R"({"profile": "Quorvane Standard", "boostApplications": ["a", 7]})", {":1:61: boostApplications[1]: expected a string"}},
        {"{}", {":1:1: profile: required key is missing"}},
        {"[]", {":1:1: expected an object"}},
        {"{\"profile\":\n  \"Quorvane", {":2:12: syntax error while parsing value - invalid string: missing closing quote"}},
        {"", {":1:1: syntax error"}},
        {R"({"profile": "Apple Auto", "mode": "/dev/null"})", {":1:35: mode: the mode file /dev/null is not a regular file"}},
        // Relative to the configuration's directory, not to where the service runs.
        {R"({"profile": "Apple Auto", "mode": "mode.fifo"})",
         {":1:35: mode: the mode file " + (h.root() / "mode.fifo").string() + " is not a regular file"}},
    };
    ASSERT_EQ(::mkfifo((h.root() / "mode.fifo").c_str(), 0600), 0);
    // The service refuses to start on the file, and --check (what a reload runs first) refuses it
    // with the same words.
    for (const auto& row : rows) {
        SCOPED_TRACE(row.text);
        std::ofstream(file, std::ios::trunc) << row.text;
        for (const auto& command : {std::vector<std::string>{"serve", "--config", file},
                                    std::vector<std::string>{"serve", "--check", "--config", file}}) {
            const RunResult r = h.client(command);
            ASSERT_TRUE(r.status);
            EXPECT_TRUE(r.status->exitedWith(2)) << command[1] << " " << r.status->describe() << "\n" << r.err;
            for (const auto& error : row.errors) EXPECT_NE(r.err.find(error), std::string::npos) << r.err;
            EXPECT_EQ(r.out, "");
        }
    }
    for (const std::string& unreadable : {(h.root() / "absent.json").string(), h.root().string()}) {
        for (const auto& command : {std::vector<std::string>{"serve", "--config", unreadable},
                                    std::vector<std::string>{"serve", "--check", "--config", unreadable}}) {
            const RunResult r = h.client(command);
            ASSERT_TRUE(r.status);
            EXPECT_TRUE(r.status->exitedWith(2));
            EXPECT_NE(r.err.find("cannot read the configuration file " + unreadable + ": "), std::string::npos) << r.err;
        }
    }
    // run --mode takes a regular file only: a FIFO would block it for ever.
    const RunResult fifo = h.client({"run", "--mode", (h.root() / "mode.fifo").string(), "--seconds", "1"});
    ASSERT_TRUE(fifo.status);
    EXPECT_TRUE(fifo.status->exitedWith(2)) << fifo.err;
    EXPECT_NE(fifo.err.find("cannot read the mode file " + (h.root() / "mode.fifo").string() + ": not a regular file"),
              std::string::npos) << fifo.err;
    // A good file without sensor ids needs no SMC to be judged.
    std::ofstream(file, std::ios::trunc) << R"({"profile": "Silent Stealth"})";
    const RunResult good = h.client({"serve", "--check", "--config", file});
    ASSERT_TRUE(good.status);
    EXPECT_TRUE(good.status->exitedWith(0)) << good.err;
    EXPECT_EQ(good.out, file + ": would follow \"Silent Stealth\" every 1 s\n");
}

// A datagram socket standing in for the service manager's notify socket.
class NotifySocket {
public:
    explicit NotifySocket(const fs::path& path) : path_(path) {
        fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
        bound_ = ::bind(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    }
    ~NotifySocket() { ::close(fd_); }
    bool bound() const { return bound_; }
    // Every datagram received so far, appended to what earlier calls returned.
    const std::string& received() {
        char buffer[4096];
        ssize_t n;
        while ((n = ::recv(fd_, buffer, sizeof buffer, MSG_DONTWAIT)) > 0) messages_ += std::string(buffer, n) + "\n--\n";
        return messages_;
    }

private:
    fs::path path_;
    int fd_ = -1;
    bool bound_ = false;
    std::string messages_;
};

TEST_F(ControlService, FollowsTheFileReloadsWithoutLettingGoRefusesRivalsAndHandsBackOnSIGTERM) {
    ASSERT_NO_FATAL_FAILURE(startMacAndDaemon());
    NotifySocket notify(h.root() / "notify");
    ASSERT_TRUE(notify.bound());
    serve(kQuiet, {"NOTIFY_SOCKET=" + (h.root() / "notify").string()});
    ASSERT_TRUE(Harness::waitUntil(10.0, [&] { return notify.received().find("READY=1") != std::string::npos || !service.running(); }, 20ms))
        << log();
    ASSERT_TRUE(service.running()) << log();
    EXPECT_NE(notify.received().find("STATUS=following Silent Stealth"), std::string::npos) << notify.received();
    EXPECT_EQ(h.readKey("F0Md"), 1.0);
    EXPECT_EQ(readFile(h.root() / "service.out"), "");  // no terminal, no tick lines

    const RunResult status = h.client({"status"});
    EXPECT_TRUE(status.status->exitedWith(0)) << status.status->describe();
    EXPECT_NE(status.out.find("control service: running, pid " + std::to_string(service.pid()) + ", following \"Silent Stealth\""),
              std::string::npos) << status.out;
    for (const auto& rival : std::vector<std::vector<std::string>>{{"set-rpm", "0", "2000", "--hold", "0"},
                                                                    {"manual", "0", "on", "--hold", "0"},
                                                                    {"run", "--seconds", "1"}}) {
        const RunResult r = h.client(rival);
        ASSERT_TRUE(r.status);
        EXPECT_TRUE(r.status->exitedWith(2)) << r.status->describe();
        EXPECT_NE(r.err.find("the control service (quorvane-control, pid " + std::to_string(service.pid()) +
                             ") is in control of the fans, following \"Silent Stealth\""),
                  std::string::npos) << r.err;
    }

    // A broken file is reported and the running configuration kept; a good one switches, and the
    // fans stay manual throughout.
    const double quietTarget = *h.readKey("F0Tg");
    std::ofstream(config, std::ios::trunc) << R"({"profile": "Max Thermal Blast", "alert": 3})";
    service.signal(SIGHUP);
    ASSERT_TRUE(logShows("kept following \"Silent Stealth\"")) << log();
    EXPECT_NE(log().find(":1:43: alert: expected an object"), std::string::npos) << log();
    // An alert that fires at once, written to the log, as its clearing will be.
    std::ofstream(config, std::ios::trunc)
        << R"({"profile": "Max Thermal Blast", "alert": {"enabled": true, "thresholdCelsius": 20, "autoBoost": true}})";
    service.signal(SIGHUP);
    bool alwaysManual = true;
    ASSERT_TRUE(Harness::waitUntil(10.0, [&] {
        alwaysManual = alwaysManual && h.readKey("F0Md") == 1.0 && h.readKey("F1Md") == 1.0;
        // Slewed up at the rate, the last step may stop within the dead band of the maximum.
        return h.readKey("F0Tg") >= 2700.0 - 50;
    }, 2ms)) << log() << h.state().dump();
    EXPECT_TRUE(alwaysManual);
    EXPECT_GT(2650.0, quietTarget);
    EXPECT_NE(log().find("following \"Max Thermal Blast\""), std::string::npos) << log();
    EXPECT_NE(log().find("quorvane-control: alert: the control temperature "), std::string::npos) << log();
    EXPECT_NE(h.client({"status", "--json"}).out.find(R"("following": "Max Thermal Blast")"), std::string::npos);

    // A mode on one sensor outside the die group: from the reload on, a tick reads that sensor and
    // the fans (2 keys each), no longer the die group's 11 keys. Once the fans have slewed to the
    // fixed speed no more targets are sent.
    std::ofstream(config, std::ios::trunc)
        << R"({"profile": "Max Thermal Blast", "mode": {"id": "6F1C2C3E-8D4B-4C59-9E3A-0A1B2C3D4E5F", "name": "One",)"
        << R"( "symbolName": "bolt.fill", "speed": {"fixed": {"percentage": 0.5}}, "controlSensor": {"sensor": {"id": "TC0P"}}}})";
    service.signal(SIGHUP);
    ASSERT_TRUE(logShows("following \"Max Thermal Blast + One\""))
        << log();
    EXPECT_TRUE(Harness::waitUntil(3.0, [&] { return log().find("alert cleared: the control temperature is ") != std::string::npos; }, 20ms))
        << log();
    std::vector<double> targets;
    ASSERT_TRUE(Harness::waitUntil(15.0, [&] {
        std::vector<double> now{*h.readKey("F0Tg"), *h.readKey("F1Tg")};
        return std::exchange(targets, now) == now;
    }, 1500ms)) << h.state().dump();
    const double before = h.state()["exchanges"].get<double>();
    std::this_thread::sleep_for(3s);
    const double perTickAtMost4 = (h.state()["exchanges"].get<double>() - before) / 4.0;
    EXPECT_GE(perTickAtMost4, 5.0 * 2 / 4) << "at least two ticks of 1 + 2 x 2 reads";
    EXPECT_LE(perTickAtMost4, 5.0) << "at most four ticks of 1 + 2 x 2 reads";

    ASSERT_NO_FATAL_FAILURE(stopService());
    EXPECT_NE(notify.received().find("STOPPING=1"), std::string::npos);
    const RunResult stoppedStatus = h.client({"status"});
    EXPECT_NE(stoppedStatus.out.find("control service: not running"), std::string::npos);
    EXPECT_TRUE(stoppedStatus.status->exitedWith(3)) << stoppedStatus.status->describe();
    EXPECT_TRUE(h.client({"set-rpm", "0", "2000", "--hold", "0"}).status->exitedWith(0));
}

// A mode with a fixed speed and a display sensor this Mac lacks: --check refuses it, and a reload
// of it changes nothing — the fans keep the old loop's targets and status the old name.
TEST_F(ControlService, ARejectedReloadKeepsTheOldLoopAndCheckSaysSoBeforehand) {
    ASSERT_NO_FATAL_FAILURE(startMacAndDaemon());
    serve();
    ASSERT_NO_FATAL_FAILURE(awaitFollowing());

    // The file names the mode's display sensor; --check judges it as a reload would.
    const auto loudShowing = [&](const std::string& sensor) {
        std::ofstream(config, std::ios::trunc)
            << R"({"profile": "Silent Stealth", "mode": {"id": "6F1C2C3E-8D4B-4C59-9E3A-0A1B2C3D4E5F", "name": "Loud",)"
            << R"( "symbolName": "bolt.fill", "speed": {"fixed": {"percentage": 0.95}}, "displaySensor": {"sensor": {"id": ")"
            << sensor << R"("}}}})";
        return h.client({"serve", "--check", "--config", config.string()});
    };
    const RunResult check = loudShowing("ZZ9Z");
    ASSERT_TRUE(check.status);
    EXPECT_TRUE(check.status->exitedWith(2)) << check.err;
    EXPECT_NE(check.err.find("the mode's display sensor \"ZZ9Z\" is not a sensor of this Mac"), std::string::npos) << check.err;

    service.signal(SIGHUP);
    ASSERT_TRUE(logShows("kept following \"Silent Stealth\"")) << log();
    // 95 % of fan 0's 1200…2700 rpm is 2625; the old loop keeps it well below.
    double highest = 0;
    Harness::waitUntil(2.5, [&] {
        highest = std::max(highest, *h.readKey("F0Tg"));
        return false;
    }, 50ms);
    EXPECT_LT(highest, 2400.0) << log();
    EXPECT_EQ(log().find("reloaded"), std::string::npos) << log();
    const RunResult status = h.client({"status"});
    EXPECT_NE(status.out.find("following \"Silent Stealth\""), std::string::npos) << status.out;

    // The same mode on a sensor this Mac has is taken.
    const RunResult good = loudShowing("TC0P");
    ASSERT_TRUE(good.status);
    EXPECT_TRUE(good.status->exitedWith(0)) << good.err;
    EXPECT_EQ(good.out, config.string() + ": would follow \"Silent Stealth + Loud\" every 1 s\n");
    service.signal(SIGHUP);
    EXPECT_TRUE(logShows("following \"Silent Stealth + Loud\"")) << log();
    stopService();
}

std::size_t occurrences(const std::string& text, const std::string& part) {
    std::size_t n = 0;
    for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + part.size())) ++n;
    return n;
}

// The service through the daemon's bad moments: a target key that fails every write for a while
// (long enough for the service to hand every fan back meanwhile), then the daemon stopped (it
// hands the fans back) and started again. Each outage is one log line when it starts and one when
// it ends, the service keeps running, and it takes the fans again.
TEST_F(ControlService, SurvivesFailingWritesAndADaemonRestartAndTakesTheFansAgain) {
    ASSERT_NO_FATAL_FAILURE(startMacAndDaemon());
    const auto bothManual = [&] { return h.readKey("F0Md") == 1.0 && h.readKey("F1Md") == 1.0; };
    serve();
    ASSERT_NO_FATAL_FAILURE(awaitFollowing());
    ASSERT_TRUE(bothManual()) << log();

    // Every exchange of fan 0's target fails: the daemon's writes, and so the service's commands.
    ASSERT_TRUE(h.ctl({"fail", "F0Tg", "0x84"}).succeeded());
    ASSERT_TRUE(h.ctl({"write", "F0Md", "0"}).succeeded());  // the firmware took it back
    ASSERT_TRUE(logShows("trying again each second")) << log();
    // Ten seconds of failed ticks: nothing updates the targets, so every fan goes back meanwhile.
    ASSERT_TRUE(Harness::waitUntil(15.0, [&] {
        return log().find("handed every fan back to automatic control until a tick works again") != std::string::npos;
    }, 50ms)) << log();
    EXPECT_TRUE(Harness::waitUntil(2.0, [&] { return Harness::allAutomatic(h.state()); }, 20ms)) << h.state().dump();
    ASSERT_TRUE(service.running()) << log();
    EXPECT_EQ(occurrences(log(), "trying again each second"), 1u) << log();
    ASSERT_TRUE(h.ctl({"fail", "F0Tg", "off"}).succeeded());
    ASSERT_TRUE(logShows("working again after ")) << log();
    EXPECT_TRUE(Harness::waitUntil(3.0, bothManual, 20ms)) << log() << h.state().dump();
    // Said once, however many ticks it took to take the fan again.
    EXPECT_EQ(occurrences(log(), "fan 0 was handed back to automatic control by something else; taking it again"), 1u)
        << log();

    // The daemon goes away (handing every fan back) and comes back within the service's patience.
    daemon.signal(SIGTERM);
    ASSERT_TRUE(daemon.waitFor(5.0));
    ASSERT_TRUE(Harness::waitUntil(5.0, [&] { return occurrences(log(), "trying again each second") == 2; }, 20ms)) << log();
    // What became of the fans, in words that hold for a stop as for a crash.
    EXPECT_EQ(occurrences(log(), "lost the connection to the daemon at "), 1u) << log();
    EXPECT_EQ(occurrences(log(), "it hands the fans back when it stops, and at its next start after a crash"), 1u)
        << log();
    std::this_thread::sleep_for(1500ms);
    ASSERT_TRUE(service.running()) << log();
    EXPECT_TRUE(Harness::allAutomatic(h.state())) << h.state().dump();
    const RunResult unreachable = h.client({"status", "--json"});
    EXPECT_TRUE(unreachable.status->exitedWith(1)) << unreachable.status->describe();
    EXPECT_NE(unreachable.out.find(R"("problem": "cannot reach the daemon)"), std::string::npos) << unreachable.out;
    ASSERT_NO_FATAL_FAILURE(startDaemon("daemon-again.log"));
    ASSERT_TRUE(Harness::waitUntil(5.0, [&] { return occurrences(log(), "working again after ") == 2; }, 20ms)) << log();
    EXPECT_TRUE(Harness::waitUntil(3.0, bothManual, 20ms)) << log() << h.state().dump();
    EXPECT_EQ(occurrences(log(), "trying again each second"), 2u) << log();
    EXPECT_EQ(occurrences(log(), "fan 1 was handed back to automatic control by something else; taking it again"), 1u)
        << log();
    EXPECT_EQ(log().find("quorvanectl: "), std::string::npos) << "one program name, one line an outage: " << log();

    stopService();
}

// Started before the daemon (as outside the service manager's ordering), the service says once that
// it waits, then follows the file as soon as the daemon serves.
TEST_F(ControlService, WaitsForADaemonThatStartsAfterIt) {
    ASSERT_NO_FATAL_FAILURE(startMac());
    serve();
    ASSERT_TRUE(logShows("waiting for the daemon"))
        << log();
    std::this_thread::sleep_for(1500ms);
    ASSERT_TRUE(service.running()) << log();
    EXPECT_EQ(occurrences(log(), "waiting for the daemon"), 1u) << log();
    ASSERT_NO_FATAL_FAILURE(startDaemon());
    ASSERT_NO_FATAL_FAILURE(awaitFollowing("Silent Stealth", 5.0));
    // The daemon crashes and the service is stopped meanwhile (as the service manager does when
    // it restarts the daemon): a clean stop, saying who hands the fans back.
    daemon.signal(SIGKILL);
    ASSERT_TRUE(daemon.waitFor(5.0));
    ASSERT_TRUE(logShows("lost the connection to the daemon")) << log();
    service.signal(SIGTERM);
    const auto stopped = service.waitFor(5.0);
    ASSERT_TRUE(stopped);
    EXPECT_TRUE(stopped->exitedWith(0)) << stopped->describe() << log();
    EXPECT_NE(log().find("stopping without the daemon ("), std::string::npos) << log();
    ASSERT_NO_FATAL_FAILURE(startDaemon("daemon2.log"));
    EXPECT_TRUE(Harness::allAutomatic(h.state())) << h.state().dump();
}

// One claim, both ways: while set-rpm holds a fan the service does not start; while the service
// runs, restore refuses, and restore --force hands the fans back, which the service survives by
// taking them again.
TEST_F(ControlService, OneClaimBothWaysAndAForcedRestoreIsSurvived) {
    ASSERT_NO_FATAL_FAILURE(startMacAndDaemon());
    std::ofstream(config) << kQuiet;

    Child holder = h.spawn(kClientName, {"set-rpm", "0", "2000", "--hold", "20"}, h.root() / "set-rpm.out", h.root() / "set-rpm.err");
    ASSERT_TRUE(Harness::waitUntil(5.0, [&] { return readFile(h.root() / "set-rpm.out") == "2000.0\n"; }, 20ms))
        << readFile(h.root() / "set-rpm.out") << readFile(h.root() / "set-rpm.err");
    const std::string heldBy = "quorvanectl set-rpm (pid " + std::to_string(holder.pid()) + ") is in control of the fans";
    for (const auto& rival : std::vector<std::vector<std::string>>{{"serve", "--config", config.string()},
                                                                    {"run", "--seconds", "1"},
                                                                    {"restore"},
                                                                    {"manual", "0", "off"}}) {
        const RunResult r = h.client(rival);
        ASSERT_TRUE(r.status);
        EXPECT_TRUE(r.status->exitedWith(2)) << rival[0] << " " << r.status->describe();
        EXPECT_NE(r.err.find(heldBy), std::string::npos) << r.err;
    }
    const RunResult heldStatus = h.client({"status"});
    EXPECT_TRUE(heldStatus.status->exitedWith(3));
    EXPECT_NE(heldStatus.out.find("fans held by: quorvanectl set-rpm, pid " + std::to_string(holder.pid())), std::string::npos)
        << heldStatus.out;
    EXPECT_EQ(h.readKey("F0Tg"), 2000.0);
    holder.signal(SIGTERM);
    ASSERT_TRUE(holder.waitFor(5.0));

    serve();
    ASSERT_NO_FATAL_FAILURE(awaitFollowing());
    const RunResult refused = h.client({"restore"});
    EXPECT_TRUE(refused.status->exitedWith(2));
    EXPECT_NE(refused.err.find("restore would take them from it"), std::string::npos) << refused.err;
    EXPECT_EQ(h.readKey("F0Md"), 1.0);
    for (int i = 0; i < 2; ++i) EXPECT_TRUE(h.client({"restore", "--force"}).succeeded());
    ASSERT_TRUE(logShows("taking it again")) << log();
    EXPECT_TRUE(Harness::waitUntil(3.0, [&] { return h.readKey("F0Md") == 1.0 && h.readKey("F1Md") == 1.0; }, 20ms)) << log();
    EXPECT_TRUE(service.running()) << log();
    stopService();
}

// A reload to a louder profile moves the fans at the slew rate, not at once; a storm of SIGHUPs
// is taken as one reload a tick and never holds back a SIGTERM.
TEST_F(ControlService, ReloadsKeepTheSlewRateAndSIGTERMWinsOverASIGHUPStorm) {
    ASSERT_NO_FATAL_FAILURE(startMacAndDaemon());
    serve();
    ASSERT_NO_FATAL_FAILURE(awaitFollowing());
    std::this_thread::sleep_for(1500ms);
    const double quiet = *h.readKey("F0Tg");
    ASSERT_LT(quiet, 2700.0 - 2 * 600);

    std::ofstream(config, std::ios::trunc) << R"({"profile": "Max Thermal Blast"})";
    const auto switched = SteadyClock::now();
    for (int i = 0; i < 200; ++i) service.signal(SIGHUP);
    std::vector<std::pair<double, double>> seen;  // (seconds since the switch, F0Tg)
    ASSERT_TRUE(Harness::waitUntil(10.0, [&] {
        const double target = *h.readKey("F0Tg");
        if (seen.empty() || seen.back().second != target)
            seen.emplace_back(std::chrono::duration<double>(SteadyClock::now() - switched).count(), target);
        return target >= 2700.0 - 50;  // the last step may stop within the dead band
    }, 5ms)) << log();
    // Each step at most one tick's worth of the rate (600 rpm a second), with room for a late tick.
    double previous = quiet;
    for (const auto& [t, target] : seen) {
        EXPECT_LE(target - previous, 600.0 * 1.5) << "at " << t << " s: " << previous << " -> " << target;
        previous = target;
    }
    EXPECT_GE(seen.size(), 3u);
    EXPECT_LE(occurrences(log(), "reloaded "), 3u) << log();

    // SIGTERM in the middle of a storm ends the service at once.
    // The storm goes on until the service has handed the fans back; it stays unreaped (a zombie
    // at worst) until the storm ends, so its pid cannot be reused meanwhile.
    std::atomic<bool> storming{true};
    const pid_t pid = service.pid();
    std::thread storm([&] {
        while (storming) ::kill(pid, SIGHUP);
    });
    std::this_thread::sleep_for(300ms);
    ::kill(pid, SIGTERM);
    const bool handedBack = logShows("every fan is back");
    storming = false;
    storm.join();
    EXPECT_TRUE(handedBack) << log();
    stopService();
}

// The programs that take or release the fans, started at the same instant, round after round:
// exactly one holds them and the others are refused naming a holder; restore without --force
// either finds nobody in control or is refused; when the holder ends, every fan is automatic.
TEST_F(ControlService, ServeRunSetRPMAndRestoreRacedLeaveOneHolder) {
    ASSERT_NO_FATAL_FAILURE(startMacAndDaemon());
    std::ofstream(config) << kQuiet;
    const std::vector<std::vector<std::string>> racers = {{"serve", "--config", config.string()},
                                                          {"run", "--seconds", "60"},
                                                          {"set-rpm", "0", "2000", "--hold", "60"},
                                                          {"restore"}};
    for (int round = 0; round < 3; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        std::vector<Child> children;
        const auto err = [&](std::size_t i) { return readFile(h.root() / ("racer" + std::to_string(i) + ".err")); };
        for (std::size_t i = 0; i < racers.size(); ++i) {
            children.push_back(h.spawn(kClientName, racers[i], h.root() / ("racer" + std::to_string(i) + ".out"),
                                       h.root() / ("racer" + std::to_string(i) + ".err")));
        }
        // The refused end at once; the holder stays.
        const auto settled = [&] {
            std::size_t running = 0;
            for (std::size_t i = 0; i < 3; ++i) running += children[i].running();
            return running <= 1 && !children[3].running();
        };
        ASSERT_TRUE(Harness::waitUntil(10.0, settled, 20ms));
        std::this_thread::sleep_for(1500ms);
        std::size_t holders = 0;
        for (std::size_t i = 0; i < 3; ++i) {
            if (children[i].running()) {
                ++holders;
                continue;
            }
            const auto status = children[i].waitFor(1.0);
            ASSERT_TRUE(status);
            EXPECT_TRUE(status->exitedWith(2)) << racers[i][0] << " " << status->describe() << err(i);
            EXPECT_NE(err(i).find("in control of the fans"), std::string::npos) << racers[i][0] << ": " << err(i);
        }
        EXPECT_EQ(holders, 1u);
        const auto restored = children[3].waitFor(1.0);
        ASSERT_TRUE(restored);
        EXPECT_TRUE(restored->exitedWith(0) || restored->exitedWith(2)) << restored->describe() << err(3);
        EXPECT_TRUE(Harness::waitUntil(5.0, [&] { return h.readKey("F0Md") == 1.0 || h.readKey("F1Md") == 1.0; }, 20ms))
            << "the holder holds a fan";
        for (auto& child : children) {
            if (!child.running()) continue;
            child.signal(SIGTERM);
            const auto stopped = child.waitFor(5.0);
            ASSERT_TRUE(stopped);
            EXPECT_TRUE(stopped->exitedWith(0)) << stopped->describe();
        }
        EXPECT_TRUE(Harness::allAutomatic(h.state())) << h.state().dump();
    }
}

}  // namespace
}  // namespace quorvane::integration
