// The daemon as a process: round trips through QuorvaneXPCRemoteProxy (heartbeat, warm
// setTargetRPM) against a raw Unix-socket echo measured in the same run, the daemon's resident
// memory and CPU time after an idle period, and its time from start to accepting connections.
// Runs quorvane-virtual-mac (intel-desktop: no Ftst unlock delay) and com.quorvane.SMCService from
// this program's own directory in a private bootstrap directory.
//
//   bench_daemon_roundtrip [--samples N] [--idle-seconds S] [--starts K]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <future>
#include <memory>
#include <string>
#include <vector>

#include <sys/socket.h>
#include <unistd.h>

#include "protocol/quorvane_xpc_interface.hpp"
#include "platform/xpc/code_identity.hpp"
#include "platform/xpc/connection.hpp"
#include "shared/smc/helper_constants.hpp"
#include "tests/integration/daemon_harness.hpp"

using namespace quorvane;
using namespace quorvane::integration;

namespace {

struct Options {
    int samples = 2000;
    double idleSeconds = 60;
    int starts = 5;
};

Options parse(int argc, char** argv) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const bool hasValue = i + 1 < argc;
        if (a == "--samples" && hasValue) o.samples = std::max(10, std::atoi(argv[++i]));
        else if (a == "--idle-seconds" && hasValue) o.idleSeconds = std::max(0.0, std::atof(argv[++i]));
        else if (a == "--starts" && hasValue) o.starts = std::max(1, std::atoi(argv[++i]));
        else {
            std::fprintf(stderr, "usage: %s [--samples N] [--idle-seconds S] [--starts K]\n", argv[0]);
            std::exit(2);
        }
    }
    return o;
}

struct Summary {
    double median = 0, p99 = 0, min = 0;
};

Summary summarize(std::vector<double> us) {
    std::sort(us.begin(), us.end());
    auto at = [&](double q) { return us[std::min(us.size() - 1, static_cast<std::size_t>(q * static_cast<double>(us.size())))]; };
    return {at(0.5), at(0.99), us.front()};
}

void print(const char* name, const Summary& s, const Summary& base) {
    std::printf("%-28s median %8.1f us  p99 %8.1f us  min %8.1f us  (median x%.1f, p99 x%.1f of echo)\n", name,
                s.median, s.p99, s.min, s.median / base.median, s.p99 / base.p99);
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

struct ProcStat {
    double rssKiB = 0;
    double cpuSeconds = 0;
};

ProcStat readProc(pid_t pid) {
    ProcStat s;
    const std::string status = readFile("/proc/" + std::to_string(pid) + "/status");
    if (const auto at = status.find("VmRSS:"); at != std::string::npos) s.rssKiB = std::atof(status.c_str() + at + 6);
    const std::string stat = readFile("/proc/" + std::to_string(pid) + "/stat");
    // Fields after the parenthesised command name; utime and stime are fields 14 and 15.
    if (const auto close = stat.rfind(')'); close != std::string::npos) {
        std::vector<std::string> fields;
        std::size_t pos = close + 2;
        while (pos < stat.size()) {
            const auto space = stat.find(' ', pos);
            fields.push_back(stat.substr(pos, space - pos));
            if (space == std::string::npos) break;
            pos = space + 1;
        }
        if (fields.size() > 12) {
            const double ticks = static_cast<double>(::sysconf(_SC_CLK_TCK));
            s.cpuSeconds = (std::atof(fields[11].c_str()) + std::atof(fields[12].c_str())) / ticks;
        }
    }
    return s;
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

}  // namespace

int main(int argc, char** argv) {
    const Options options = parse(argc, argv);
    EchoPeer echo;  // before any thread exists

    Harness harness;
    ::setenv("QUORVANE_BOOTSTRAP", harness.bootstrap().c_str(), 1);
    for (const char* name : {kDaemonName, kVirtualMacName}) {
        if (!fs::exists(Harness::binary(name))) {
            std::fprintf(stderr, "build %s next to %s\n", name, binaryDirectory().c_str());
            return 1;
        }
    }
    Child mac = harness.startVirtualMac("intel-desktop");
    if (!mac.started()) {
        std::fprintf(stderr, "the virtual Mac did not start:\n%s", readFile(harness.root() / "virtual-mac.log").c_str());
        return 1;
    }

    // Start to accepting connections, over several starts.
    std::vector<double> startMs;
    Child daemon;
    for (int i = 0; i < options.starts; ++i) {
        daemon.kill();
        const auto start = SteadyClock::now();
        daemon = harness.spawnDaemon(harness.root() / "daemon.log");
        if (!Harness::waitUntil(10.0, [&] { return daemon.running() && Harness::acceptsConnections(harness.xpcSocket()); },
                                std::chrono::milliseconds(0))) {
            std::fprintf(stderr, "the daemon did not start:\n%s", readFile(harness.root() / "daemon.log").c_str());
            return 1;
        }
        startMs.push_back(elapsedUs(start) / 1000.0);
    }
    const ProcStat atStart = readProc(daemon.pid());

    xpc::setLocalCodeIdentity({true, true, HelperConstants::appBundleID, HelperConstants::teamID});
    auto connection = xpc::Connection::connectToMachService(HelperConstants::machServiceName);
    QuorvaneXPCRemoteProxy proxy(connection, [](const xpc::ErrorObject& e) {
        std::fprintf(stderr, "connection failed: %s\n", xpc::describe(e).c_str());
        std::_Exit(1);
    });
    connection->resume();

    const int warmup = std::max(5, options.samples / 20);
    std::vector<double> echoUs, heartbeatUs, rpmUs;
    for (int i = 0; i < warmup; ++i) echo.roundTripUs();
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
    for (int i = 0; i < warmup; ++i) heartbeat();
    setRPM(2000);  // engages manual control: the timed calls below are warm
    for (int i = 0; i < warmup; ++i) setRPM(i % 2 ? 2000 : 2100);

    // Interleaved so that all three see the same machine load.
    for (int i = 0; i < options.samples; ++i) {
        echoUs.push_back(echo.roundTripUs());
        heartbeatUs.push_back(heartbeat());
        rpmUs.push_back(setRPM(i % 2 ? 2000 : 2100));
    }
    timedCall([&](auto done) { proxy.restoreAutomaticControl([done](OptionalError) { done(); }); });
    connection->invalidate();

    const Summary echoS = summarize(echoUs);
    std::printf("daemon round trips, %d samples each (intel-desktop virtual Mac)\n", options.samples);
    print("unix-socket echo (64 B)", echoS, echoS);
    print("heartbeat", summarize(heartbeatUs), echoS);
    print("setTargetRPM (warm)", summarize(rpmUs), echoS);
    const Summary startS = summarize(startMs);
    std::printf("start to accepting connections: median %.1f ms, min %.1f ms over %d starts\n", startS.median,
                startS.min, options.starts);

    std::printf("idle for %.0f s ...\n", options.idleSeconds);
    std::fflush(stdout);
    const ProcStat beforeIdle = readProc(daemon.pid());
    std::this_thread::sleep_for(seconds(options.idleSeconds));
    const ProcStat afterIdle = readProc(daemon.pid());
    std::printf("daemon VmRSS: %.0f KiB after start, %.0f KiB after the round trips, %.0f KiB after %.0f s idle\n",
                atStart.rssKiB, beforeIdle.rssKiB, afterIdle.rssKiB, options.idleSeconds);
    std::printf("daemon CPU (utime+stime): %.2f s total, %.3f s during %.0f s idle (%.3f%% of one core)\n",
                afterIdle.cpuSeconds, afterIdle.cpuSeconds - beforeIdle.cpuSeconds, options.idleSeconds,
                options.idleSeconds > 0 ? 100.0 * (afterIdle.cpuSeconds - beforeIdle.cpuSeconds) / options.idleSeconds : 0.0);

    daemon.signal(SIGTERM);
    const auto status = daemon.waitFor(10.0);
    if (!status || !status->exitedWith(0)) {
        std::fprintf(stderr, "the daemon did not exit cleanly:\n%s", readFile(harness.root() / "daemon.log").c_str());
        return 1;
    }
    return 0;
}
