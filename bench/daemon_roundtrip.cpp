// The daemon as a process, everything pinned to one CPU: round trips through
// QuorvaneXPCRemoteProxy (heartbeat, warm setTargetRPM) against a raw Unix-socket echo measured in
// the same run, the daemon's own CPU per call, its idle CPU against a bare program whose thread
// sleeps 1.25 s in a loop (idle-floor), and its resident memory against that program linked
// dynamically and statically. Also its time from start to accepting connections, and, in the same
// idle window, `quorvanectl run --json` writing to a pipe on the Apple-silicon laptop with the
// default profile: its memory, CPU and wake-ups, and the SMC exchanges per tick. Runs
// quorvane-virtual-mac (intel-desktop: no Ftst unlock delay) and com.quorvane.SMCService from
// this program's own directory in a private bootstrap directory (the laptop gets its own pair).
// The virtual Macs count the exchanges they serve. Compare the figures as ratios within one run:
// the machine is shared and noisy.
//
// CPU time is read from /proc/<pid>/task/*/schedstat (nanoseconds on CPU and times scheduled
// in, per thread), not from the clock-tick counters of /proc/<pid>/stat, which are far too
// coarse for a process that runs for a few microseconds a second. The idle window defaults to
// 30 s (24 watchdog periods each; a window that is a whole number of periods holds the same
// number of ticks for both programs); --idle-seconds 60 runs the full minute.
//
//   bench_daemon_roundtrip [--samples N] [--cpu-calls N] [--idle-seconds S] [--starts K] [--cpu C]
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <poll.h>
#include <sched.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include "protocol/quorvane_xpc_interface.hpp"
#include "platform/xpc/code_identity.hpp"
#include "platform/xpc/connection.hpp"
#include "shared/smc/helper_constants.hpp"
#include "tests/integration/daemon_harness.hpp"

using namespace quorvane;
using namespace quorvane::integration;

namespace {

constexpr double watchdogPeriod = 1.25;  // seconds, the daemon's timer and the floor's sleep

struct Options {
    int samples = 5000;
    int cpuCalls = 2000;
    double idleSeconds = 30;
    int starts = 5;
    int cpu = -1;  // -1: the highest CPU this process may run on
};

Options parse(int argc, char** argv) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const bool hasValue = i + 1 < argc;
        if (a == "--samples" && hasValue) o.samples = std::max(100, std::atoi(argv[++i]));
        else if (a == "--cpu-calls" && hasValue) o.cpuCalls = std::max(100, std::atoi(argv[++i]));
        else if (a == "--idle-seconds" && hasValue) o.idleSeconds = std::max(0.0, std::atof(argv[++i]));
        else if (a == "--starts" && hasValue) o.starts = std::max(1, std::atoi(argv[++i]));
        else if (a == "--cpu" && hasValue) o.cpu = std::atoi(argv[++i]);
        else {
            std::fprintf(stderr,
                         "usage: %s [--samples N] [--cpu-calls N] [--idle-seconds S] [--starts K] [--cpu C]\n",
                         argv[0]);
            std::exit(2);
        }
    }
    return o;
}

// Pins this process, and so every child it starts, to one CPU (what taskset -c does).
int pinToOneCpu(int wanted) {
    cpu_set_t allowed;
    CPU_ZERO(&allowed);
    if (::sched_getaffinity(0, sizeof allowed, &allowed) != 0) return -1;
    int cpu = wanted;
    if (cpu < 0) {
        for (int c = CPU_SETSIZE - 1; c >= 0 && cpu < 0; --c) {
            if (CPU_ISSET(c, &allowed)) cpu = c;
        }
    }
    cpu_set_t one;
    CPU_ZERO(&one);
    CPU_SET(cpu, &one);
    if (cpu < 0 || ::sched_setaffinity(0, sizeof one, &one) != 0) {
        std::fprintf(stderr, "cannot pin to CPU %d\n", cpu);
        std::exit(1);
    }
    return cpu;
}

struct Summary {
    double median = 0, p99 = 0, min = 0;
};

Summary summarize(std::vector<double> us) {
    std::sort(us.begin(), us.end());
    auto at = [&](double q) { return us[std::min(us.size() - 1, static_cast<std::size_t>(q * static_cast<double>(us.size())))]; };
    return {at(0.5), at(0.99), us.front()};
}

void print(const char* name, const Summary& s, const Summary& base, double target = 0) {
    std::printf("  %-24s median %7.1f us  p99 %7.1f us  min %7.1f us", name, s.median, s.p99, s.min);
    if (target > 0) {
        const double ratio = s.median / base.median;
        std::printf("  median x%.2f, p99 x%.2f of echo (target <= %.1fx: %s)", ratio, s.p99 / base.p99, target,
                    ratio <= target ? "met" : "NOT met");
    }
    std::printf("\n");
}

double elapsedUs(SteadyClock::time_point since) {
    return std::chrono::duration<double, std::micro>(SteadyClock::now() - since).count();
}

// A 64-byte echo through a Unix stream socket to a forked child: the floor any IPC round trip
// pays (two context switches, two syscalls each side). Forked before any thread exists.
class EchoPeer {
public:
    EchoPeer() {
        int fds[2];
        if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) std::exit(1);
        pid_ = Child(::fork());
        if (pid_.pid() == 0) {
            ::close(fds[0]);
            char buffer[64];
            for (;;) {
                std::size_t have = 0;
                while (have < sizeof buffer) {
                    const ssize_t n = ::read(fds[1], buffer + have, sizeof buffer - have);
                    if (n <= 0) ::_exit(0);
                    have += static_cast<std::size_t>(n);
                }
                if (::write(fds[1], buffer, sizeof buffer) != static_cast<ssize_t>(sizeof buffer)) ::_exit(0);
            }
        }
        ::close(fds[1]);
        fd_ = fds[0];
    }
    ~EchoPeer() { ::close(fd_); }

    double roundTripUs() {
        char buffer[64] = {1};
        const auto start = SteadyClock::now();
        if (::write(fd_, buffer, sizeof buffer) != static_cast<ssize_t>(sizeof buffer)) std::exit(1);
        std::size_t have = 0;
        while (have < sizeof buffer) {
            const ssize_t n = ::read(fd_, buffer + have, sizeof buffer - have);
            if (n <= 0) std::exit(1);
            have += static_cast<std::size_t>(n);
        }
        return elapsedUs(start);
    }

private:
    Child pid_;
    int fd_ = -1;
};

double vmRssKiB(pid_t pid) {
    const std::string status = readFile("/proc/" + std::to_string(pid) + "/status");
    const auto at = status.find("VmRSS:");
    return at == std::string::npos ? 0 : std::atof(status.c_str() + at + 6);
}

// CPU time and times scheduled in, summed over the threads a process has now.
struct CpuUse {
    double ns = 0;
    double wakeups = 0;
    CpuUse operator-(const CpuUse& o) const { return {ns - o.ns, wakeups - o.wakeups}; }
};

CpuUse cpuUse(pid_t pid) {
    CpuUse use;
    std::error_code ec;
    for (const auto& task : fs::directory_iterator("/proc/" + std::to_string(pid) + "/task", ec)) {
        double onCpu = 0, waited = 0, slices = 0;
        if (std::sscanf(readFile(task.path() / "schedstat").c_str(), "%lf %lf %lf", &onCpu, &waited, &slices) == 3) {
            use.ns += onCpu;
            use.wakeups += slices;
        }
    }
    return use;
}

// Blocking call through the proxy; aborts the run if the daemon does not answer in 5 s.
template <class Call>
double timedCall(Call call) {
    auto done = std::make_shared<std::promise<void>>();
    auto future = done->get_future();
    const auto start = SteadyClock::now();
    call([done] { done->set_value(); });
    if (future.wait_for(std::chrono::seconds(5)) != std::future_status::ready) {
        std::fprintf(stderr, "the daemon did not answer within 5 s\n");
        std::exit(1);
    }
    return elapsedUs(start);
}

// The exchanges a virtual Mac has served so far; -1 when it does not answer.
double exchanges(const Harness& h) {
    const auto state = h.state();
    return state.is_object() && state.contains("exchanges") ? state["exchanges"].get<double>() : -1;
}

// `quorvanectl run --json` with its standard output on a pipe that a thread of ours drains,
// counting the ticks (one line each).
class PipedRun {
public:
    explicit PipedRun(const Harness& h) {
        const fs::path fifo = h.root() / "run.pipe";
        if (::mkfifo(fifo.c_str(), 0600) != 0) std::exit(1);
        fd_ = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);  // before the writer opens it
        if (fd_ < 0) std::exit(1);
        child_ = h.spawn(kClientName, {"run", "--json"}, fifo, h.root() / "run.err");
        drain_ = std::thread([this] {
            char buffer[4096];
            for (;;) {
                pollfd p{fd_, POLLIN, 0};
                if (::poll(&p, 1, 100) < 0) return;
                const ssize_t n = ::read(fd_, buffer, sizeof buffer);
                if (n == 0 && stopping_) return;
                for (ssize_t i = 0; i < n; ++i) ticks_ += buffer[i] == '\n';
            }
        });
    }
    ~PipedRun() {
        child_.signal(SIGINT);
        status_ = child_.waitFor(10.0);
        stopping_ = true;
        drain_.join();
        ::close(fd_);
    }
    Child& child() { return child_; }
    long ticks() const { return ticks_; }

private:
    int fd_ = -1;
    Child child_;
    std::thread drain_;
    std::atomic<long> ticks_{0};
    std::atomic<bool> stopping_{false};
    std::optional<ExitStatus> status_;
};

// The keys the default profile's sensor group "max" follows on this Mac, as `sensors` names them.
long dieGroupKeys(Harness& h) {
    const auto j = nlohmann::json::parse(h.client({"sensors", "--json"}).out, nullptr, false);
    return j.is_object() && j.contains("controlTemperature") ? static_cast<long>(j["controlTemperature"]["keys"].size()) : -1;
}

[[noreturn]] void fail(const char* what, const fs::path& log) {
    std::fprintf(stderr, "%s:\n%s", what, readFile(log).c_str());
    std::exit(1);
}

}  // namespace

int main(int argc, char** argv) {
    const Options options = parse(argc, argv);
    const int cpu = pinToOneCpu(options.cpu);
    EchoPeer echo;  // before any thread exists

    Harness harness;
    ::setenv("QUORVANE_BOOTSTRAP", harness.bootstrap().c_str(), 1);
    for (const char* name : {kDaemonName, kVirtualMacName, "idle-floor", "idle-floor-static"}) {
        if (!fs::exists(Harness::binary(name))) {
            std::fprintf(stderr, "build %s next to %s\n", name, binaryDirectory().c_str());
            return 1;
        }
    }
    Child mac = harness.startVirtualMac("intel-desktop");
    if (!mac.started()) fail("the virtual Mac did not start", harness.root() / "virtual-mac.log");

    // Start to accepting connections, over several starts.
    const fs::path daemonLog = harness.root() / "daemon.log";
    std::vector<double> startMs;
    Child daemon;
    for (int i = 0; i < options.starts; ++i) {
        daemon.kill();
        const auto start = SteadyClock::now();
        daemon = harness.spawnDaemon(daemonLog);
        if (!Harness::waitUntil(10.0, [&] { return daemon.running() && Harness::acceptsConnections(harness.xpcSocket()); },
                                std::chrono::milliseconds(0))) {
            fail("the daemon did not start", daemonLog);
        }
        startMs.push_back(elapsedUs(start) / 1000.0);
    }
    const double rssAtStart = vmRssKiB(daemon.pid());

    xpc::setLocalCodeIdentity({true, true, HelperConstants::appBundleID, HelperConstants::teamID});
    auto connection = xpc::Connection::connectToMachService(HelperConstants::machServiceName);
    QuorvaneXPCRemoteProxy proxy(connection, [](const xpc::ErrorObject& e) {
        std::fprintf(stderr, "connection failed: %s\n", xpc::describe(e).c_str());
        std::_Exit(1);
    });
    connection->resume();

    auto heartbeat = [&] { return timedCall([&](auto done) { proxy.heartbeat([done](double) { done(); }); }); };
    auto setRPM = [&](double rpm) {
        return timedCall([&](auto done) {
            proxy.setTargetRPM(0, rpm, [done](double, OptionalError e) {
                if (e) {
                    std::fprintf(stderr, "setTargetRPM failed: %s\n", e->localizedDescription().c_str());
                    std::_Exit(1);
                }
                done();
            });
        });
    };
    const int warmup = std::max(20, options.samples / 20);
    for (int i = 0; i < warmup; ++i) echo.roundTripUs();
    for (int i = 0; i < warmup; ++i) heartbeat();
    setRPM(2000);  // engages manual control: the calls below are warm
    for (int i = 0; i < warmup; ++i) setRPM(i % 2 ? 2000 : 2100);

    // Interleaved so that all three see the same machine load.
    std::vector<double> echoUs, heartbeatUs, rpmUs;
    for (int i = 0; i < options.samples; ++i) {
        echoUs.push_back(echo.roundTripUs());
        heartbeatUs.push_back(heartbeat());
        rpmUs.push_back(setRPM(i % 2 ? 2000 : 2100));
    }

    // The daemon's own CPU per call, one kind of call at a time (the virtual Mac's is not counted).
    const CpuUse beforeHeartbeats = cpuUse(daemon.pid());
    for (int i = 0; i < options.cpuCalls; ++i) heartbeat();
    const CpuUse afterHeartbeats = cpuUse(daemon.pid());
    for (int i = 0; i < options.cpuCalls; ++i) setRPM(i % 2 ? 2000 : 2100);
    const CpuUse afterRPMs = cpuUse(daemon.pid());
    timedCall([&](auto done) { proxy.restoreAutomaticControl([done](OptionalError) { done(); }); });
    connection->invalidate();
    const double rssAfterCalls = vmRssKiB(daemon.pid());

    const Summary echoS = summarize(echoUs);
    std::printf("round trips, all processes pinned to CPU %d, %d samples each (intel-desktop virtual Mac)\n", cpu,
                options.samples);
    print("unix-socket echo (64 B)", echoS, echoS);
    print("heartbeat", summarize(heartbeatUs), echoS, 1.8);
    print("setTargetRPM (warm)", summarize(rpmUs), echoS, 2.6);
    std::printf("daemon CPU per call over %d calls each: heartbeat %.1f us, setTargetRPM (warm) %.1f us\n",
                options.cpuCalls, (afterHeartbeats - beforeHeartbeats).ns / 1e3 / options.cpuCalls,
                (afterRPMs - afterHeartbeats).ns / 1e3 / options.cpuCalls);
    const Summary startS = summarize(startMs);
    std::printf("start to accepting connections: median %.1f ms, min %.1f ms over %d starts\n", startS.median,
                startS.min, options.starts);

    // The control loop on the laptop, in the same window as the idle daemon.
    Harness laptop;
    Child laptopMac = laptop.startVirtualMac("apple-silicon-laptop");
    if (!laptopMac.started()) fail("the laptop's virtual Mac did not start", laptop.root() / "virtual-mac.log");
    Child laptopDaemon = laptop.spawnDaemon(laptop.root() / "daemon.log");
    if (!laptop.waitForDaemon(laptopDaemon)) fail("the laptop's daemon did not start", laptop.root() / "daemon.log");
    auto run = std::make_unique<PipedRun>(laptop);
    if (!Harness::waitUntil(30.0, [&] { return run->ticks() >= 3 || !run->child().running(); }, std::chrono::milliseconds(50)) ||
        !run->child().running()) {
        fail("quorvanectl run did not tick", laptop.root() / "run.err");
    }

    // Idle: the daemon beside the bare programs, sampled in windows of four watchdog periods.
    Child floorSleep = harness.spawn("idle-floor", {});
    Child floorCondvar = harness.spawn("idle-floor", {"--condvar"});
    Child floorStatic = harness.spawn("idle-floor-static", {});
    const int periods = static_cast<int>(std::lround(options.idleSeconds / watchdogPeriod));
    if (periods > 0) {
        std::printf("idle for %.2f s (%d watchdog periods), all pinned to CPU %d ...\n", periods * watchdogPeriod,
                    periods, cpu);
        std::fflush(stdout);
    }
    std::this_thread::sleep_for(seconds(0.5));  // let the floor programs settle into their loop
    const pid_t watched[] = {daemon.pid(), floorSleep.pid(), floorCondvar.pid()};
    CpuUse idle[3];
    const CpuUse runBefore = cpuUse(run->child().pid());
    const double daemonExchangesBefore = exchanges(harness), laptopExchangesBefore = exchanges(laptop);
    const long ticksBefore = run->ticks();
    const auto windowStart = SteadyClock::now();
    std::vector<double> windowRatios[2];
    for (int done = 0; done < periods;) {
        const int window = std::min(4, periods - done);
        CpuUse before[3];
        for (int i = 0; i < 3; ++i) before[i] = cpuUse(watched[i]);
        std::this_thread::sleep_for(seconds(window * watchdogPeriod));
        CpuUse used[3];
        for (int i = 0; i < 3; ++i) {
            used[i] = cpuUse(watched[i]) - before[i];
            idle[i].ns += used[i].ns;
            idle[i].wakeups += used[i].wakeups;
        }
        for (int f = 0; f < 2; ++f) {
            if (used[f + 1].ns > 0) windowRatios[f].push_back(used[0].ns / used[f + 1].ns);
        }
        done += window;
    }
    const double windowMinutes = elapsedUs(windowStart) / 60e6;
    const CpuUse runUsed = cpuUse(run->child().pid()) - runBefore;
    const double daemonExchanges = exchanges(harness) - daemonExchangesBefore;
    const double laptopExchanges = exchanges(laptop) - laptopExchangesBefore;
    const long runTicks = run->ticks() - ticksBefore;
    const double runRss = vmRssKiB(run->child().pid());
    if (periods > 0) {
        const double minutes = periods * watchdogPeriod / 60.0;
        const char* names[] = {"daemon", "idle-floor (nanosleep)", "idle-floor (condvar)"};
        for (int i = 0; i < 3; ++i) {
            std::printf("  %-24s %7.3f ms CPU/min, %5.1f wake-ups/min, %6.1f us per wake-up\n", names[i],
                        idle[i].ns / 1e6 / minutes, idle[i].wakeups / minutes,
                        idle[i].wakeups > 0 ? idle[i].ns / 1e3 / idle[i].wakeups : 0.0);
        }
        for (int f = 0; f < 2; ++f) {
            auto& r = windowRatios[f];
            std::sort(r.begin(), r.end());
            const double ratio = idle[f + 1].ns > 0 ? idle[0].ns / idle[f + 1].ns : 0;
            std::printf("  daemon / %-15s x%.2f (target <= 1.2x: %s); per %.0f s window: min x%.2f, median x%.2f, max x%.2f\n",
                        names[f + 1] + 11, ratio, ratio <= 1.2 ? "met" : "NOT met", 4 * watchdogPeriod,
                        r.empty() ? 0 : r.front(), r.empty() ? 0 : r[r.size() / 2], r.empty() ? 0 : r.back());
        }
    }
    const double rssIdle = vmRssKiB(daemon.pid());
    std::printf("VmRSS: daemon %.0f KiB after start, %.0f KiB after the calls, %.0f KiB idle (target <= 3000 KiB: %s)\n",
                rssAtStart, rssAfterCalls, rssIdle, rssIdle <= 3000 ? "met" : "NOT met");
    std::printf("       idle-floor %.0f KiB dynamically linked, %.0f KiB statically linked\n",
                vmRssKiB(floorSleep.pid()), vmRssKiB(floorStatic.pid()));

    // One table, one window: the idle daemon, the control loop and the bare sleeper side by side.
    if (periods > 0) {
        const double minutes = periods * watchdogPeriod / 60.0;
        const long behind = dieGroupKeys(laptop);
        const auto laptopState = laptop.state();
        const long fans = laptopState.is_object() ? static_cast<long>(laptopState["fans"].size()) : 0;
        const double perTick = runTicks > 0 ? laptopExchanges / static_cast<double>(runTicks) : 0;
        std::printf("side by side over the same %.2f s (apple-silicon-laptop for run, default profile):\n",
                    windowMinutes * 60);
        std::printf("  %-34s %9s %12s %14s %s\n", "", "VmRSS KiB", "CPU ms/min", "wake-ups/min", "SMC exchanges");
        std::printf("  %-34s %9.0f %12.3f %14.1f %.0f per min (target: 0 wake-ups: %s)\n",
                    "daemon, nothing engaged", rssIdle, idle[0].ns / 1e6 / minutes, idle[0].wakeups / minutes,
                    daemonExchanges / minutes, idle[0].wakeups == 0 ? "met" : "NOT met");
        std::printf("  %-34s %9.0f %12.3f %14.1f %.1f per tick over %ld ticks\n", "quorvanectl run --json | pipe",
                    runRss, runUsed.ns / 1e6 / windowMinutes, runUsed.wakeups / windowMinutes, perTick, runTicks);
        std::printf("  %-34s %9.0f %12.3f %14.1f -\n", "idle-floor (sleeps 1.25 s a turn)", vmRssKiB(floorSleep.pid()),
                    idle[1].ns / 1e6 / minutes, idle[1].wakeups / minutes);
        const long budget = behind + 2 * fans;
        std::printf("  run targets: <= 5 ms CPU/min: %s; <= 4000 KiB: %s; <= %ld die keys behind \"max\" + 2 x %ld fans = %ld "
                    "exchanges per tick: %s\n",
                    runUsed.ns / 1e6 / windowMinutes <= 5 ? "met" : "NOT met", runRss <= 4000 ? "met" : "NOT met",
                    behind, fans, budget, perTick <= static_cast<double>(budget) ? "met" : "NOT met");
    }
    run.reset();
    laptopDaemon.signal(SIGTERM);
    laptopDaemon.waitFor(10.0);

    daemon.signal(SIGTERM);
    const auto status = daemon.waitFor(10.0);
    if (!status || !status->exitedWith(0)) fail("the daemon did not exit cleanly", daemonLog);
    return 0;
}
