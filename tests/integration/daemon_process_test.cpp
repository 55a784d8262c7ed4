// The daemon as a real process: com.quorvane.SMCService against a virtual Mac served from this
// process (so its state and write log are read directly), driven by quorvanectl or by a client in
// this process, each test in a fresh bootstrap directory. Asserts what the hardware ends up
// holding, what was written when, and what the daemon logs on stderr.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "protocol/quorvane_xpc_interface.hpp"
#include "integration/daemon_harness.hpp"
#include "platform/xpc/code_identity.hpp"
#include "platform/xpc/connection.hpp"
#include "shared/smc/helper_constants.hpp"

namespace quorvane::integration {
namespace {

using namespace std::chrono_literals;

constexpr const char* kIntel = "intel-desktop";
constexpr const char* kAppleDesktop = "apple-silicon-desktop";
// Real Macs, one of each way to hold a fan: the force bitmask "FS! ", per-fan mode keys, and mode
// keys behind the "Ftst" unlock.
constexpr const char* kBitmaskMac = "MacBookPro11_4";
constexpr const char* kModeKeyMac = "MacBookPro15_1";
constexpr const char* kUnlockMac = "Mac16_7_M4Pro_j616s";
std::string machineName(const std::string& machine) {
    if (machine == kIntel) return "IntelDesktop";
    if (machine == kAppleDesktop) return "AppleSiliconDesktop";
    return machine;
}
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr double kSlowdown = 10;  // sanitizer builds run the daemon several times slower
#else
constexpr double kSlowdown = 1;
#endif

double secondsSince(SteadyClock::time_point from) {
    return std::chrono::duration<double>(SteadyClock::now() - from).count();
}

class DaemonProcessTest : public ::testing::Test {
protected:
    void SetUp() override {
        for (const char* name : {kDaemonName, kClientName}) {
            ASSERT_TRUE(fs::exists(Harness::binary(name))) << "build " << name << " next to " << binaryDirectory();
        }
    }

    void TearDown() override {
        for (auto& c : clients) c.kill();
        daemon.kill();
        // A sanitizer report in any daemon run fails the test that caused it.
        for (const auto& log : daemonLogs) {
            const std::string text = readFile(log);
            EXPECT_EQ(text.find("Sanitizer"), std::string::npos) << log << ":\n" << text;
            EXPECT_EQ(text.find("runtime error:"), std::string::npos) << log << ":\n" << text;
        }
    }

    void serve(const std::string& profile) {
        served = std::make_unique<ServedMac>(h, profile);
        mac = &**served;
    }

    Child spawnDaemon() {
        daemonLogs.push_back(h.root() / ("daemon-" + std::to_string(daemonLogs.size() + 1) + ".log"));
        return h.spawnDaemon(daemonLogs.back());
    }
    // Starts a daemon and waits until it accepts connections.
    void startDaemon() {
        daemon = spawnDaemon();
        ASSERT_TRUE(h.waitForDaemon(daemon)) << "daemon not accepting connections; its log:\n" << daemonLog();
    }

    std::string daemonLog() const { return daemonLogs.empty() ? std::string() : readFile(daemonLogs.back()); }
    bool daemonLogged(const std::string& text) const { return daemonLog().find(text) != std::string::npos; }

    // Starts `quorvanectl set-rpm 0 2500 ...` (which holds the fan until it ends) and waits until it prints the applied RPM.
    Child& hold(const std::vector<std::string>& extra) {
        const fs::path out = h.root() / ("hold-" + std::to_string(clients.size() + 1) + ".out");
        std::vector<std::string> args{"set-rpm", "0", "2500"};
        args.insert(args.end(), extra.begin(), extra.end());
        clients.push_back(h.spawn(kClientName, args, out));
        Child& client = clients.back();
        // Generous: on a Ftst machine the first command waits for the firmware unlock.
        EXPECT_TRUE(Harness::waitUntil(20.0, [&] { return !client.running() || !readFile(out).empty(); }));
        EXPECT_EQ(std::strtod(readFile(out).c_str(), nullptr), 2500) << "daemon log:\n" << daemonLog();
        EXPECT_TRUE(client.running());
        EXPECT_TRUE(served->fanManual(0));
        return client;
    }

    // Seconds from `from` until every fan is automatic, polled closely; negative if not within
    // timeout.
    double secondsUntilAutomatic(double timeout, SteadyClock::time_point from = SteadyClock::now()) {
        const bool restored = Harness::waitUntil(timeout, [&] { return served->allAutomatic(); }, 200us);
        return restored ? secondsSince(from) : -1;
    }

    Harness h;
    std::unique_ptr<ServedMac> served;
    sim::VirtualMac* mac = nullptr;
    Child daemon;
    std::vector<Child> clients;
    std::vector<fs::path> daemonLogs;
};

// --- A client that goes away or falls silent ------------------------------------------------------

class ClientDepartureTest : public DaemonProcessTest, public ::testing::WithParamInterface<const char*> {};

TEST_P(ClientDepartureTest, SIGKILLedControllingClientHandsEveryFanBackWithin100ms) {
    serve(GetParam());
    startDaemon();
    Child& client = hold({});
    if (mac->hasKey("Ftst")) {
        EXPECT_EQ(mac->readKey("Ftst"), 1.0) << "manual mode on this Mac needs the unlock";
    }

    const auto killed = SteadyClock::now();
    client.kill();
    const double seconds = secondsUntilAutomatic(2.0, killed);
    std::printf("[ measured ] %s: SIGKILL of the client to every fan automatic: %.2f ms\n", GetParam(), seconds * 1e3);
    ASSERT_GE(seconds, 0) << "daemon log:\n" << daemonLog();
    EXPECT_LT(seconds, 0.100 * kSlowdown);
    EXPECT_TRUE(daemonLogged("client disconnected while manual engaged — failing safe")) << daemonLog();
    EXPECT_TRUE(daemon.running()) << "the daemon keeps serving after a client leaves";
}

INSTANTIATE_TEST_SUITE_P(Machines, ClientDepartureTest,
                         ::testing::Values(kIntel, kAppleDesktop, kBitmaskMac, kModeKeyMac, kUnlockMac),
                         [](const auto& info) { return machineName(info.param); });

// 5 s without a heartbeat, checked every 1.25 s (leeway 0.3 s): restored 5.0 to 6.55 s after the
// engagement. The engagement lies between the client's start and its printed reply, so both
// bounds hold without any slack for polling.
TEST_F(DaemonProcessTest, SilentClientIsFailedSafeBetweenFiveAndSixPointSixSeconds) {
    serve(kIntel);
    startDaemon();
    const auto started = SteadyClock::now();
    Child& client = hold({"--no-heartbeat"});
    const auto replied = SteadyClock::now();
    ASSERT_GE(secondsUntilAutomatic(10.0), 0) << "daemon log:\n" << daemonLog();
    const double fromStart = secondsSince(started), fromReply = secondsSince(replied);
    std::printf("[ measured ] engagement to every fan automatic: between %.3f and %.3f s\n", fromReply, fromStart);
    EXPECT_GT(fromStart, 5.0);
    EXPECT_LT(fromReply, 6.6);
    EXPECT_TRUE(daemonLogged("heartbeat lost — failing safe, restoring Apple automatic control")) << daemonLog();
    EXPECT_FALSE(daemonLogged("client disconnected while manual engaged")) << daemonLog();
    EXPECT_TRUE(client.running()) << "the client stayed connected throughout";
}

TEST_F(DaemonProcessTest, HeartbeatingClientKeepsManualControlPastTheHeartbeatTimeout) {
    serve(kIntel);
    startDaemon();
    hold({});
    // Longer than the 5 s timeout plus one 1.25 s check: a live client must not be failed safe.
    std::this_thread::sleep_for(7s);
    EXPECT_EQ(mac->readKey("F0Md"), 1.0);
    EXPECT_FALSE(daemonLogged("heartbeat lost")) << daemonLog();
}

// --- Shutdown ------------------------------------------------------------------------------------

class ShutdownSignalTest : public DaemonProcessTest,
                           public ::testing::WithParamInterface<std::pair<int, const char*>> {};

TEST_P(ShutdownSignalTest, RestoresTwiceLogsAndExitsZero) {
    const int signo = GetParam().first;
    serve(GetParam().second);
    startDaemon();
    hold({});
    const std::size_t before = mac->writeLog().size();

    daemon.signal(signo);
    const auto status = daemon.waitFor(10.0 * kSlowdown);
    ASSERT_TRUE(status) << "daemon did not exit; log:\n" << daemonLog();
    EXPECT_TRUE(status->exitedWith(0)) << status->describe() << "\n" << daemonLog();
    // Once from the signal handler, once from the exit hook.
    const auto once = served->restoreWrites();
    auto twice = once;
    twice.insert(twice.end(), once.begin(), once.end());
    EXPECT_EQ(served->writes(before), twice);
    EXPECT_TRUE(served->allAutomatic());
    EXPECT_EQ(daemonLog().find("failed"), std::string::npos) << daemonLog();
    EXPECT_TRUE(daemonLogged("received signal " + std::to_string(signo) +
                             " — restoring Apple automatic control and exiting"))
        << daemonLog();
}

INSTANTIATE_TEST_SUITE_P(Signals, ShutdownSignalTest,
                         ::testing::Values(std::pair{SIGTERM, kAppleDesktop}, std::pair{SIGINT, kAppleDesktop},
                                           std::pair{SIGTERM, kBitmaskMac}, std::pair{SIGINT, kModeKeyMac},
                                           std::pair{SIGTERM, kUnlockMac}),
                         [](const auto& info) {
                             return std::string(info.param.first == SIGTERM ? "SIGTERM_" : "SIGINT_") +
                                    machineName(info.param.second);
                         });

class HungAtExitTest : public DaemonProcessTest, public ::testing::WithParamInterface<const char*> {};

TEST_P(HungAtExitTest, HungSMCConnectionAtSIGTERMEscalatesTwiceAndExitsZero) {
    serve(GetParam());
    startDaemon();
    hold({});

    mac->setHang(true);
    daemon.signal(SIGTERM);
    // Two 2 s waits (handler, then the exit hook), each followed by an emergency restore.
    const auto status = daemon.waitFor(15.0 * kSlowdown);
    mac->setHang(false);
    const std::string log = daemonLog();
    ASSERT_TRUE(status) << "daemon did not exit; log:\n" << log;
    EXPECT_TRUE(status->exitedWith(0)) << status->describe() << "\n" << log;
    const std::string escalation =
        "exit restore: hw queue did not respond within 2.000000s — escalating to the emergency SMC connection";
    EXPECT_NE(log.find(escalation, log.find(escalation) + 1), std::string::npos) << log;
    EXPECT_NE(log.find("EMERGENCY restore: completed"), std::string::npos) << log;
    EXPECT_TRUE(served->allAutomatic()) << "restored over the fresh connection";
}

INSTANTIATE_TEST_SUITE_P(Machines, HungAtExitTest, ::testing::Values(kIntel, kBitmaskMac, kUnlockMac),
                         [](const auto& info) { return machineName(info.param); });

// Fan commands keep arriving while the daemon exits: none may engage a fan after the exit-time
// restore. A client in this process keeps up to 64 setTargetRPM calls in flight on both fans
// while the daemon gets SIGTERM; repeated to land the signal at many points of the stream.
TEST_F(DaemonProcessTest, CommandsArrivingDuringExitNeverLeaveAFanManual) {
    serve(kIntel);
    xpc::setLocalCodeIdentity({true, true, HelperConstants::appBundleID, HelperConstants::teamID});
    ::setenv("QUORVANE_BOOTSTRAP", h.bootstrap().c_str(), 1);
    int turnedAway = 0;
    for (int round = 0; round < 12; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        startDaemon();
        auto connection = xpc::Connection::connectToMachService(HelperConstants::machServiceName);
        connection->resume();
        QuorvaneXPCRemoteProxy proxy(connection, [](const xpc::ErrorObject&) {});
        struct Counts {
            std::atomic<int> inFlight{0}, applied{0}, turnedAway{0};
        };
        auto counts = std::make_shared<Counts>();  // replies may trail the round
        std::atomic<bool> ended{false};
        std::thread flood([&] {
            for (int i = 0; !ended; ++i) {
                while (counts->inFlight >= 64 && !ended) std::this_thread::yield();
                ++counts->inFlight;
                proxy.setTargetRPM(i % 2, 1000 + i % 900, [counts](double rpm, OptionalError e) {
                    counts->applied += rpm > 0;
                    counts->turnedAway += e && e->code == 1003;
                    --counts->inFlight;
                });
            }
        });
        ASSERT_TRUE(Harness::waitUntil(10.0, [&] { return counts->applied > 50 + 40 * round; }));
        const std::size_t atSignal = mac->writeLog().size();
        daemon.signal(SIGTERM);
        const auto status = daemon.waitFor(10.0 * kSlowdown);
        ended = true;
        connection->invalidate();
        flood.join();
        ASSERT_TRUE(status && status->exitedWith(0)) << daemonLog();
        // From the first restore write on, only zeros.
        const auto log = mac->writeLog();
        auto it = std::find_if(log.begin() + atSignal, log.end(), [](const auto& w) { return w.key == "F0Md" && w.value == 0; });
        ASSERT_NE(it, log.end());
        for (; it != log.end(); ++it) EXPECT_EQ(it->value, 0) << it->key << " written after the exit-time restore";
        EXPECT_TRUE(served->allAutomatic());
        turnedAway += counts->turnedAway;
    }
    EXPECT_GT(turnedAway, 0) << "no command ever arrived after the exit-time restore began: the window was missed";
    ::unsetenv("QUORVANE_BOOTSTRAP");
}

// --- Start-up ------------------------------------------------------------------------------------

class StartupTest : public DaemonProcessTest, public ::testing::WithParamInterface<const char*> {};

// Fans an earlier run left manual (a crash, say) are automatic before the service is published.
TEST_P(StartupTest, FansLeftManualAreRestoredBeforeTheServiceIsPublished) {
    serve(GetParam());
    for (const auto& key : served->holdingKeys()) mac->setKey(key, 1);
    ASSERT_TRUE(served->fanManual(0));
    startDaemon();
    EXPECT_TRUE(served->allAutomatic()) << "read at once: the restore ran before the listener existed";
    EXPECT_EQ(daemonLog().find("failed"), std::string::npos) << "nothing fails for a key the Mac never had";
    EXPECT_TRUE(Harness::waitUntil(10.0, [&] { return daemonLogged("Quorvane SMC helper 1.2.2 started"); })) << daemonLog();
}

INSTANTIATE_TEST_SUITE_P(Machines, StartupTest,
                         ::testing::Values(kIntel, kAppleDesktop, kBitmaskMac, kModeKeyMac, kUnlockMac),
                         [](const auto& info) { return machineName(info.param); });

// An SMC missing at launch (driver still loading, virtual Mac starting) is waited for with one log
// line and nothing published meanwhile; the daemon serves once it appears.
TEST_F(DaemonProcessTest, MissingAppleSMCIsWaitedForOnceAndServedWhenItAppears) {
    daemon = spawnDaemon();  // no virtual Mac in this bootstrap directory yet
    ASSERT_TRUE(Harness::waitUntil(10.0 * kSlowdown, [&] { return daemonLogged("waiting for AppleSMC"); })) << daemonLog();
    std::this_thread::sleep_for(std::chrono::seconds(2));  // several looks, still one line
    EXPECT_TRUE(daemon.running());
    EXPECT_FALSE(fs::exists(h.xpcSocket()));
    const std::string log = daemonLog();
    EXPECT_EQ(log.find("waiting for AppleSMC"), log.rfind("waiting for AppleSMC")) << log;
    EXPECT_FALSE(daemonLogged("started")) << log;

    serve(kIntel);
    ASSERT_TRUE(h.waitForDaemon(daemon)) << daemonLog();
    EXPECT_TRUE(daemonLogged(" default com.quorvane.SMCService [main] AppleSMC appeared after")) << daemonLog();
    // Its started line follows the publication that waitForDaemon saw: a slow build may still be
    // writing it.
    EXPECT_TRUE(Harness::waitUntil(5.0 * kSlowdown, [&] { return daemonLogged("Quorvane SMC helper 1.2.2 started"); }))
        << daemonLog();
}

// A second instance started by hand must leave the running one's fans alone: no SMC connection,
// no exchange, exit status 1.
TEST_F(DaemonProcessTest, SecondInstanceExitsWithoutTouchingTheSMC) {
    serve(kIntel);
    startDaemon();
    hold({});
    Child first = std::move(daemon);
    mac->resetCounters();
    const auto opens = mac->openCount();

    Child second = spawnDaemon();
    const auto status = second.waitFor(10.0 * kSlowdown);
    ASSERT_TRUE(status) << "the second instance did not exit";
    EXPECT_TRUE(status->exitedWith(1)) << status->describe();
    EXPECT_TRUE(daemonLogged(" fault com.quorvane.SMCService [main] cannot publish com.quorvane.SMCService.xpc: "
                             "already served by another instance — exiting"))
        << daemonLog();
    EXPECT_EQ(mac->openCount(), opens);
    EXPECT_EQ(mac->model().totalExchanges(), 0u);
    EXPECT_EQ(mac->readKey("F0Md"), 1.0);
    EXPECT_TRUE(first.running());
    EXPECT_TRUE(Harness::acceptsConnections(h.xpcSocket())) << "the first instance still serves";
    daemon = std::move(first);
}

// Started at the same instant, both would find nothing served yet: the claim lets exactly one
// through, and the other leaves without opening the SMC (nor restoring the winner's fans on exit).
TEST_F(DaemonProcessTest, InstancesStartedTogetherLeaveOneServingAndTheOtherAwayFromTheSMC) {
    serve(kIntel);
    for (int round = 0; round < 8; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        const auto opens = mac->openCount();
        Child pair[2] = {spawnDaemon(), spawnDaemon()};
        ASSERT_TRUE(Harness::waitUntil(10.0 * kSlowdown, [&] { return !pair[0].running() || !pair[1].running(); }));
        Child& loser = pair[0].running() ? pair[1] : pair[0];
        Child& winner = pair[0].running() ? pair[0] : pair[1];
        EXPECT_TRUE(loser.status()->exitedWith(1)) << loser.status()->describe();
        daemon = std::move(winner);
        ASSERT_TRUE(h.waitForDaemon(daemon));
        EXPECT_EQ(mac->openCount(), opens + 1) << "both instances opened the SMC";
        daemon.kill();
    }
}

// --- The executable ----------------------------------------------------------------

TEST(DaemonExecutableTest, CarriesItsInformationPropertyList) {
    const fs::path out = fs::temp_directory_path() / ("quorvane-info-plist-" + std::to_string(::getpid()));
    const std::string command = "objcopy -O binary --only-section=.info_plist '" +
                                Harness::binary(kDaemonName).string() + "' '" + out.string() + "'";
    ASSERT_EQ(std::system(command.c_str()), 0) << command;
    std::string plist = readFile(out);
    fs::remove(out);
    std::erase_if(plist, [](char c) { return c == ' ' || c == '\t' || c == '\n'; });
    for (const char* entry : {"CFBundleIdentifier</key><string>com.quorvane.SMCService<",
                              "CFBundleName</key><string>com.quorvane.SMCService<",
                              "CFBundleExecutable</key><string>com.quorvane.SMCService<",
                              "CFBundleInfoDictionaryVersion</key><string>6.0<", "CFBundlePackageType</key><string>APPL<",
                              "CFBundleShortVersionString</key><string>1.0<", "CFBundleVersion</key><string>1<"}) {
        EXPECT_NE(plist.find(std::string("<key>") + entry), std::string::npos) << entry << " in " << plist;
    }
    EXPECT_TRUE(plist.ends_with("</dict></plist>")) << plist;
}

}  // namespace
}  // namespace quorvane::integration
