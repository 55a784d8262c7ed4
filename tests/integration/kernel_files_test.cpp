// End to end over the Linux driver's files: the virtual Mac serves a real key table as a FUSE
// tree (mainline layout where the table has "FS! ", the T2 layout where it has "F<n>Md", hwmon on
// Apple silicon), its AppleSMC socket is taken away, and the real daemon and client reach the SMC
// only through those files. Each fail-safe road must leave every fan automatic; a suspend while a
// client holds the fans must not leave them automatic for long.
#include <fcntl.h>
#include <grp.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <fstream>
#include <future>
#include <mutex>
#include <regex>
#include <thread>

#include <gtest/gtest.h>

#include "integration/daemon_harness.hpp"
#include "sim/machine_profile.hpp"

namespace quorvane::integration {
namespace {

struct Table {
    std::string name;
    std::string layout;  // --sysfs-layout
    long fans = 0;
};

// What a table's own keys say about its driver.
std::vector<Table> fannedTables() {
    std::vector<Table> tables;
    for (const auto& entry : fs::directory_iterator(sim::MachineProfile::dumpDirectory())) {
        if (entry.path().extension() != ".csv") continue;
        Table t{entry.path().stem().string(), "", 0};
        std::ifstream in(entry.path());
        bool forceBits = false, modeKey = false;
        for (std::string line; std::getline(in, line);) {
            forceBits |= line.rfind("FS! ,", 0) == 0;
            modeKey |= line.rfind("F0Md,", 0) == 0;
            if (line.rfind("FNum,", 0) == 0) t.fans = std::atol(line.substr(line.rfind(',') + 1).c_str());
        }
        const bool appleSilicon = std::regex_match(t.name, std::regex("Mac1[0-9]_.*"));
        t.layout = forceBits ? "applesmc" : appleSilicon ? "macsmc-hwmon" : modeKey ? "t2" : "";
        // An Apple-silicon table whose firmware wants the "Ftst" unlock is left out: the hwmon driver
        // never writes "Ftst", so such a Mac cannot be taken through it.
        const bool wantsUnlock = appleSilicon && readFile(entry.path()).find("\nFtst,") != std::string::npos;
        if (t.fans > 0 && !t.layout.empty() && !wantsUnlock) tables.push_back(t);
    }
    std::sort(tables.begin(), tables.end(), [](const Table& a, const Table& b) { return a.name < b.name; });
    return tables;
}

// One virtual Mac whose SMC only the driver files reach, and the daemon over them.
class KernelMac {
public:
    KernelMac(Harness& h, const Table& table) : h_(h), table_(table), dir_(h.root() / "device") {
        mac_ = h.spawn(kVirtualMacName,
                       {"--dump", sim::MachineProfile::dumpDirectory() + "/" + table.name + ".csv", "--sysfs",
                        dir_.string(), "--sysfs-layout", table.layout},
                       {}, h.root() / "virtual-mac.log");
        mounted_ = Harness::waitUntil(10, [&] {
            return mac_.running() && fs::exists(dir_ / "name") && Harness::acceptsConnections(h.controlSocket());
        });
        // Whatever reaches the SMC from now on goes through the files.
        std::error_code ec;
        fs::remove(h.socket(kSMCSocketName), ec);
        const std::string kind = table.layout == "macsmc-hwmon" ? "macsmc-hwmon:" : "applesmc:";
        h.setEnvironment("QUORVANE_SMC_BACKEND", kind + dir_.string());
    }
    ~KernelMac() {
        daemon.signal(SIGTERM);
        daemon.waitFor(5);
        mac_.signal(SIGTERM);
        if (!mac_.waitFor(5)) ::umount2(dir_.c_str(), MNT_DETACH);  // never leave a dead mount behind
    }

    bool mounted() const { return mounted_; }
    bool startDaemon() {
        daemon = h_.spawnDaemon(h_.root() / ("daemon-" + std::to_string(++daemons_) + ".log"));
        return h_.waitForDaemon(daemon);
    }
    std::string daemonLog() const { return readFile(h_.root() / ("daemon-" + std::to_string(daemons_) + ".log")); }

    // Every fan as its driver file shows it: manual (1) or automatic (0).
    bool anyManual() const {
        for (long n = 1; n <= table_.fans; ++n) {
            if (table_.layout == "macsmc-hwmon") {
                if (h_.readKey("F" + std::to_string(n - 1) + "Md").value_or(1) != 0) return true;
            } else if (readFile(dir_ / ("fan" + std::to_string(n) + "_manual")) != "0\n") {
                return true;
            }
        }
        return false;
    }
    bool allManual() const {
        for (long n = 1; n <= table_.fans; ++n) {
            if (table_.layout == "macsmc-hwmon" ? h_.readKey("F" + std::to_string(n - 1) + "Md").value_or(0) != 1
                                                : readFile(dir_ / ("fan" + std::to_string(n) + "_manual")) != "1\n")
                return false;
        }
        return true;
    }
    bool fanZeroManual() const {
        return table_.layout == "macsmc-hwmon" ? h_.readKey("F0Md").value_or(0) == 1
                                               : readFile(dir_ / "fan1_manual") == "1\n";
    }

    Child daemon;

private:
    Harness& h_;
    Table table_;
    fs::path dir_;
    Child mac_;
    bool mounted_ = false;
    int daemons_ = 0;
};

enum class Road { clientKilled, silence, daemonTerminated, daemonKilledAndRestarted };

// A client holds fan 0 through the daemon, then leaves by road; every fan must end automatic.
// Returns an empty string on success, else what went wrong.
std::string holdThenLeave(const Table& table, Road road) {
    Harness h;
    KernelMac mac(h, table);
    if (!mac.mounted()) return "the driver files were not mounted";
    if (!mac.startDaemon()) return "the daemon did not start: " + mac.daemonLog();
    const bool silent = road == Road::silence;
    std::vector<std::string> args = {"set-rpm", "0", "2000"};
    if (silent) args.push_back("--no-heartbeat");
    Child client = h.spawn(kClientName, args, h.root() / "client.out", h.root() / "client.err");
    if (!Harness::waitUntil(15, [&] { return mac.fanZeroManual(); }))
        return "fan 0 was never held: " + readFile(h.root() / "client.err") + mac.daemonLog();
    double within = 3;
    switch (road) {
        case Road::clientKilled: client.kill(); break;
        case Road::silence: within = 8; break;  // the heartbeat timeout, then the watchdog's tick
        case Road::daemonTerminated: mac.daemon.signal(SIGTERM); break;
        case Road::daemonKilledAndRestarted:
            mac.daemon.kill();
            if (!mac.startDaemon()) return "the daemon did not restart: " + mac.daemonLog();
            break;
    }
    if (!Harness::waitUntil(within, [&] { return !mac.anyManual(); }, std::chrono::milliseconds(50)))
        return "a fan stayed manual: " + mac.daemonLog();
    return {};
}

bool fuseAvailable() { return ::access("/dev/fuse", R_OK | W_OK) == 0; }

// Every table with fans: hold and hand back (client killed), a few tables at a time.
TEST(KernelFilesTest, EveryTableHoldsAFanThroughTheDriverFilesAndHandsItBack) {
    if (!fuseAvailable()) GTEST_SKIP() << "SKIPPED: /dev/fuse is missing, no driver files can be mounted";
    const auto tables = fannedTables();
    ASSERT_GE(tables.size(), 36u);
    std::atomic<std::size_t> next{0};
    std::mutex failuresMutex;
    std::vector<std::string> failures;
    auto worker = [&] {
        for (std::size_t i; (i = next++) < tables.size();) {
            const std::string error = holdThenLeave(tables[i], Road::clientKilled);
            std::lock_guard lock(failuresMutex);
            if (!error.empty()) failures.push_back(tables[i].name + " (" + tables[i].layout + "): " + error);
        }
    };
    std::vector<std::future<void>> workers;
    for (int w = 0; w < 3; ++w) workers.push_back(std::async(std::launch::async, worker));
    for (auto& w : workers) w.get();
    for (const auto& f : failures) ADD_FAILURE() << f;
    std::cout << "[ tables   ] " << tables.size() - failures.size() << " of " << tables.size()
              << " tables held and handed back through their driver files\n";
}

// Every road on one table per layout, the layouts side by side.
TEST(KernelFilesTest, EveryFailSafeRoadEndsWithEveryFanAutomaticInEachLayout) {
    if (!fuseAvailable()) GTEST_SKIP() << "SKIPPED: /dev/fuse is missing, no driver files can be mounted";
    const std::vector<Table> tables = {{"MacBookPro11_4", "applesmc", 2},
                                       {"MacBookPro15_1", "t2", 2},
                                       {"Mac16_10_M4_j773g_MacMini", "macsmc-hwmon", 1}};
    std::vector<std::future<std::vector<std::string>>> runs;
    for (const auto& t : tables) {
        runs.push_back(std::async(std::launch::async, [t] {
            std::vector<std::string> errors;
            for (Road road : {Road::clientKilled, Road::silence, Road::daemonTerminated, Road::daemonKilledAndRestarted}) {
                const std::string e = holdThenLeave(t, road);
                if (!e.empty()) errors.push_back(t.name + " road " + std::to_string(static_cast<int>(road)) + ": " + e);
            }
            return errors;
        }));
    }
    for (auto& r : runs)
        for (const auto& e : r.get()) ADD_FAILURE() << e;
}

// A suspend resets manual mode under a running control loop: it must have the fans back within
// a few seconds, over the socket and over the driver files; a silent holder is still handed back in time.
TEST(KernelFilesTest, AfterASuspendRunHasTheFansBackAndASilentHolderIsStillRestored) {
    auto suspendUnderRun = [](Harness& h, const std::function<bool()>& allManual) -> std::string {
        Child run = h.spawn(kClientName, {"run"}, h.root() / "run.out", h.root() / "run.err");
        if (!Harness::waitUntil(15, allManual)) return "run never held the fans: " + readFile(h.root() / "run.err");
        if (h.control("sleep 30") != "ok") return "the virtual Mac did not sleep";
        if (allManual()) return "the suspend left a fan manual";
        const auto woke = SteadyClock::now();
        // Two ticks at most (measured 1.0–2.0 s); a loaded machine's late tick gets a third.
        if (!Harness::waitUntil(3, allManual, std::chrono::milliseconds(20)))
            return "not under control 3 s after the wake: " + readFile(h.root() / "run.err");
        std::cout << "[ wake     ] fans back after "
                  << std::chrono::duration<double>(SteadyClock::now() - woke).count() << " s\n";
        return {};
    };
    {
        Harness h;
        Child mac = h.startVirtualMac("intel-desktop");
        ASSERT_TRUE(mac.started());
        Child daemon = h.spawnDaemon(h.root() / "daemon.log");
        ASSERT_TRUE(h.waitForDaemon(daemon));
        const auto error = suspendUnderRun(h, [&] {
            const auto state = h.state();
            if (!state.is_object()) return false;
            for (const auto& fan : state["fans"])
                if (fan["mode"] != 1) return false;
            return true;
        });
        EXPECT_EQ(error, "") << "over the socket";
        EXPECT_NE(readFile(h.root() / "daemon.log").find("re-engaging"), std::string::npos);
    }
    if (!fuseAvailable()) GTEST_SKIP() << "SKIPPED: /dev/fuse is missing, no driver files can be mounted";
    const Table table{"iMacPro1_1", "t2", 2};
    {
        Harness h;
        KernelMac mac(h, table);
        ASSERT_TRUE(mac.mounted());
        ASSERT_TRUE(mac.startDaemon());
        EXPECT_EQ(suspendUnderRun(h, [&] { return mac.allManual(); }), "") << "over the driver files";
    }
    Harness h;
    KernelMac mac(h, table);
    ASSERT_TRUE(mac.mounted());
    ASSERT_TRUE(mac.startDaemon());
    Child holder = h.spawn(kClientName, {"set-rpm", "0", "2000", "--no-heartbeat"});
    ASSERT_TRUE(Harness::waitUntil(15, [&] { return mac.fanZeroManual(); }));
    const auto held = SteadyClock::now();
    ASSERT_EQ(h.control("sleep 30"), "ok");
    ASSERT_TRUE(Harness::waitUntil(10, [&] { return mac.daemonLog().find("heartbeat lost") != std::string::npos; }));
    EXPECT_LT(std::chrono::duration<double>(SteadyClock::now() - held).count(), 7.0);
    // The restore follows its log line: give it a moment, as a slow build needs.
    EXPECT_TRUE(Harness::waitUntil(2, [&] { return !mac.anyManual(); }, std::chrono::milliseconds(20)))
        << mac.daemonLog();
}

// A real SMC under load makes the driver's files slow or failing, and a module reload takes them
// away for a while: whatever the files do, a client's fan goes back to the firmware, and the daemon
// takes later commands again once the files answer.
TEST(KernelFilesTest, TheHandBackOutlastsFailingSlowAndVanishingDriverFiles) {
    if (!fuseAvailable()) GTEST_SKIP() << "SKIPPED: /dev/fuse is missing, no driver files can be mounted";
    using Seconds = std::chrono::duration<double>;
    struct Row {
        const char* name;
        Table table;
        std::vector<std::string> before;  // control requests before the client is killed
        double pause;                     // seconds between the kill and `after`
        std::vector<std::string> after;
        double within;                    // seconds after `after` for every fan to be automatic
    };
    const Table mainline{"MacBookPro11_4", "applesmc", 2}, t2{"MacBookPro15_1", "t2", 2};
    const std::vector<Row> rows = {
        {"the hand-back's first write fails", mainline, {"files fail-writes 1"}, 0, {}, 5},
        {"the hand-back's first write fails (F<n>Md)", t2, {"files fail-writes 1"}, 0, {}, 5},
        {"one access takes 3 s during the hand-back", mainline, {"files delay 3000"}, 0.5, {"files delay 0"}, 10},
        {"1.2 s accesses for 4 s, then the kill", mainline, {"files delay 1200"}, 4, {"files delay 0"}, 10},
        {"the files vanish for 3 s around the kill", mainline, {"files vanish on"}, 3, {"files vanish off"}, 8},
    };
    std::vector<std::future<std::string>> runs;
    for (const Row& row : rows) {
        runs.push_back(std::async(std::launch::async, [row]() -> std::string {
            Harness h;
            KernelMac mac(h, row.table);
            if (!mac.mounted()) return "the driver files were not mounted";
            if (!mac.startDaemon()) return "the daemon did not start: " + mac.daemonLog();
            Child client = h.spawn(kClientName, {"set-rpm", "0", "2000"}, {}, h.root() / "client.err");
            if (!Harness::waitUntil(15, [&] { return mac.fanZeroManual(); }))
                return "fan 0 was never held: " + readFile(h.root() / "client.err");
            for (const auto& r : row.before)
                if (h.control(r) != "ok") return "the virtual Mac refused \"" + r + "\"";
            client.kill();
            std::this_thread::sleep_for(Seconds(row.pause));
            for (const auto& r : row.after)
                if (h.control(r) != "ok") return "the virtual Mac refused \"" + r + "\"";
            if (!Harness::waitUntil(row.within, [&] { return !mac.anyManual(); }, std::chrono::milliseconds(50)))
                return "a fan stayed manual: " + mac.daemonLog();
            // The daemon is not wedged: the next client holds a fan and hands it back.
            const RunResult next = h.client({"set-rpm", "1", "2500", "--hold", "1"});
            if (!next.succeeded()) return "a later command failed: " + next.err + mac.daemonLog();
            if (!Harness::waitUntil(3, [&] { return !mac.anyManual(); })) return "the later hold was not handed back";
            return {};
        }));
    }
    for (std::size_t i = 0; i < rows.size(); ++i) EXPECT_EQ(runs[i].get(), "") << rows[i].name;
}

// The control service rides out a loaded controller: with 15 % of the driver's accesses failing it
// keeps the fans under its control, and SIGTERM still hands them back.
TEST(KernelFilesTest, TheControlServiceKeepsTheFansWhileAccessesFail) {
    if (!fuseAvailable()) GTEST_SKIP() << "SKIPPED: /dev/fuse is missing, no driver files can be mounted";
    Harness h;
    KernelMac mac(h, {"MacBookPro11_4", "applesmc", 2});
    ASSERT_TRUE(mac.mounted());
    ASSERT_TRUE(mac.startDaemon()) << mac.daemonLog();
    const fs::path config = h.root() / "control.json";
    std::ofstream(config) << R"({"profile": "Max Thermal Blast"})";
    Child service = h.spawn(kClientName, {"serve", "--config", config.string()}, {}, h.root() / "service.err");
    ASSERT_TRUE(Harness::waitUntil(15, [&] { return mac.allManual(); })) << readFile(h.root() / "service.err");
    ASSERT_EQ(h.control("files seed 7"), "ok");
    ASSERT_EQ(h.control("files fail-probability 0.15"), "ok");
    std::this_thread::sleep_for(std::chrono::seconds(12));
    ASSERT_EQ(h.control("files off"), "ok");
    EXPECT_TRUE(service.running()) << readFile(h.root() / "service.err") << mac.daemonLog();
    EXPECT_TRUE(Harness::waitUntil(8, [&] { return mac.allManual(); }))
        << "the service did not take the fans again\n" << readFile(h.root() / "service.err") << mac.daemonLog();
    service.signal(SIGTERM);
    EXPECT_TRUE(service.waitFor(10));
    EXPECT_TRUE(Harness::waitUntil(5, [&] { return !mac.anyManual(); })) << mac.daemonLog();
}

// Without root the cursor cannot be moved: a user still sees the fans from their world-readable
// files, is told "needs root" where only root can go, and cannot stall root by locking files.
TEST(KernelFilesTest, AUserWithoutRootReadsTheFansAndCannotStallRoot) {
    if (!fuseAvailable()) GTEST_SKIP() << "SKIPPED: /dev/fuse is missing, no driver files can be mounted";
    if (::geteuid() != 0) GTEST_SKIP() << "SKIPPED: needs root to run a client as another user";
    Harness h;
    KernelMac mac(h, {"MacBookPro11_4", "applesmc", 2});
    ASSERT_TRUE(mac.mounted());
    ASSERT_TRUE(mac.startDaemon()) << mac.daemonLog();
    fs::permissions(h.root(), fs::perms::others_exec, fs::perm_options::add);
    const uid_t nobody = 65534;
    h.runAs(nobody);
    const RunResult fans = h.client({"fans"});
    EXPECT_TRUE(fans.succeeded()) << fans.err;
    EXPECT_NE(fans.out.find("auto"), std::string::npos) << fans.out;
    EXPECT_EQ(fans.out.find("no fans"), std::string::npos) << fans.out;
    const RunResult keys = h.client({"smc", "keys"});
    EXPECT_TRUE(keys.status && keys.status->exitedWith(1)) << keys.out << keys.err;
    EXPECT_NE(keys.err.find("needs root"), std::string::npos) << keys.err;

    // That user locks every driver file it can open; root's engage and hand-back go on.
    const pid_t locker = ::fork();
    if (locker == 0) {
        if (::setgroups(0, nullptr) != 0 || ::setgid(nobody) != 0 || ::setuid(nobody) != 0) ::_exit(2);
        for (const auto& e : fs::directory_iterator(h.root() / "device")) {
            const int fd = ::open(e.path().c_str(), O_RDONLY);
            if (fd >= 0) ::flock(fd, LOCK_EX | LOCK_NB);
        }
        ::pause();
        ::_exit(0);
    }
    h.runAs(0);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    const RunResult hold = h.client({"set-rpm", "0", "2500", "--hold", "1"});
    EXPECT_TRUE(hold.succeeded()) << hold.err << mac.daemonLog();
    EXPECT_TRUE(Harness::waitUntil(3, [&] { return !mac.anyManual(); }));
    ::kill(locker, SIGKILL);
    ::waitpid(locker, nullptr, 0);
}

}  // namespace
}  // namespace quorvane::integration
