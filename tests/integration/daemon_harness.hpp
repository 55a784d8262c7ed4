// Runs the daemon, the virtual Mac and quorvanectl as real processes in a private bootstrap
// directory (or serves the virtual Mac from the test process itself, ServedMac), for the
// integration tests and the daemon benchmark. Binaries are found next to the
// running executable (<build>/bin). Not thread-safe: one harness per test, used from one thread.
// Every child dies with the process that started it (PR_SET_PDEATHSIG) and is killed and reaped
// when its handle goes away, so nothing outlives a failed or crashed test.
#pragma once

#include <algorithm>
#include <chrono>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <grp.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include "platform/clock/clock.hpp"
#include "platform/iokit/iokit.hpp"
#include "sim/control_protocol.hpp"
#include "sim/control_socket.hpp"
#include "sim/virtual_mac.hpp"

extern char** environ;

namespace quorvane::integration {

namespace fs = std::filesystem;
using SteadyClock = std::chrono::steady_clock;

inline constexpr const char* kDaemonName = "com.quorvane.SMCService";
inline constexpr const char* kVirtualMacName = "quorvane-virtual-mac";
inline constexpr const char* kClientName = "quorvanectl";
inline constexpr const char* kXPCSocketName = "com.quorvane.SMCService.xpc";
inline constexpr const char* kSMCSocketName = "AppleSMC";

inline fs::path binaryDirectory() { return fs::read_symlink("/proc/self/exe").parent_path(); }

inline std::chrono::duration<double> seconds(double s) { return std::chrono::duration<double>(s); }

inline std::string readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// A machine profile by name, else a real Mac's key table by model or path.
inline bool isProfileName(const std::string& name) {
    const auto known = sim::MachineProfile::available();
    return std::find(known.begin(), known.end(), name) != known.end();
}
inline sim::MachineProfile machine(const std::string& name) {
    return isProfileName(name) ? sim::MachineProfile::load(name)
                               : sim::MachineProfile::fromDump(sim::MachineProfile::findDump(name));
}

// How a child ended.
struct ExitStatus {
    bool exited = false;  // false: killed by a signal
    int code = -1;        // exit status when exited, else the signal number

    bool exitedWith(int status) const { return exited && code == status; }
    std::string describe() const {
        return exited ? "exit status " + std::to_string(code) : "killed by signal " + std::to_string(code);
    }
};

// A started child process; move-only. The destructor SIGKILLs and reaps a child still running.
class Child {
public:
    Child() = default;
    explicit Child(pid_t pid) : pid_(pid) {}
    Child(Child&& other) noexcept : pid_(std::exchange(other.pid_, -1)), status_(std::move(other.status_)) {}
    Child& operator=(Child&& other) noexcept {
        if (this != &other) {
            kill();
            pid_ = std::exchange(other.pid_, -1);
            status_ = std::move(other.status_);
        }
        return *this;
    }
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;
    ~Child() { kill(); }

    pid_t pid() const { return pid_; }
    bool started() const { return pid_ > 0; }

    // True while the child has not ended (reaps it as soon as it has).
    bool running() {
        if (pid_ <= 0 || status_) return false;
        int raw = 0;
        const pid_t done = ::waitpid(pid_, &raw, WNOHANG);
        if (done == pid_) {
            record(raw);
            return false;
        }
        return done == 0;
    }

    void signal(int signo) const {
        if (pid_ > 0 && !status_) ::kill(pid_, signo);
    }

    // Waits up to timeout for the child to end; empty if it is still running then.
    std::optional<ExitStatus> waitFor(double timeout) {
        const auto deadline = SteadyClock::now() + seconds(timeout);
        while (running()) {
            if (SteadyClock::now() >= deadline) return std::nullopt;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return status_;
    }

    // SIGKILL and reap; safe to call on an ended or empty handle.
    void kill() {
        if (pid_ <= 0) return;
        if (!status_) {
            ::kill(pid_, SIGKILL);
            int raw = 0;
            while (::waitpid(pid_, &raw, 0) < 0 && errno == EINTR) {
            }
            record(raw);
        }
        pid_ = -1;
    }

    const std::optional<ExitStatus>& status() const { return status_; }

private:
    void record(int raw) {
        status_ = WIFEXITED(raw) ? ExitStatus{true, WEXITSTATUS(raw)} : ExitStatus{false, WTERMSIG(raw)};
    }

    pid_t pid_ = -1;
    std::optional<ExitStatus> status_;
};

// The output of a child that was run to completion.
struct RunResult {
    std::optional<ExitStatus> status;  // empty: it did not finish in time and was killed
    std::string out;
    std::string err;

    bool succeeded() const { return status && status->exitedWith(0); }
};

// One private bootstrap directory with its log files, and the processes started in it.
class Harness {
public:
    Harness() {
        char pattern[] = "/tmp/quorvane-e2e-XXXXXX";
        if (::mkdtemp(pattern) == nullptr) throw std::runtime_error("mkdtemp failed");
        root_ = pattern;
        bootstrap_ = root_ / "bootstrap";
        fs::create_directory(bootstrap_);
        for (char** e = environ; *e != nullptr; ++e) {
            if (std::strncmp(*e, "QUORVANE_BOOTSTRAP=", 19) != 0) environment_.emplace_back(*e);
        }
        environment_.push_back("QUORVANE_BOOTSTRAP=" + bootstrap_.string());
    }
    ~Harness() {
        std::error_code ec;
        fs::remove_all(root_, ec);
    }
    Harness(const Harness&) = delete;
    Harness& operator=(const Harness&) = delete;

    const fs::path& root() const { return root_; }
    const fs::path& bootstrap() const { return bootstrap_; }
    fs::path socket(const std::string& name) const { return bootstrap_ / name; }
    fs::path xpcSocket() const { return socket(kXPCSocketName); }
    fs::path controlSocket() const { return socket(sim::kControlSocketName); }
    const std::vector<std::string>& environment() const { return environment_; }
    // Sets name=value for every process started from now on.
    void setEnvironment(const std::string& name, const std::string& value) {
        std::erase_if(environment_, [&](const std::string& e) { return e.rfind(name + "=", 0) == 0; });
        environment_.push_back(name + "=" + value);
    }

    static fs::path binary(const std::string& name) { return binaryDirectory() / name; }
    // Processes started from now on run as this user (and group of the same number), without
    // supplementary groups; 0 keeps ours.
    void runAs(uid_t user) { runAs_ = user; }

    // Starts bin/<name> with args, and `extraEnvironment` on top of environment(); stdout and
    // stderr go to the given files (or /dev/null).
    Child spawn(const std::string& name, const std::vector<std::string>& args, const fs::path& stdoutFile = {},
                const fs::path& stderrFile = {}, const std::vector<std::string>& extraEnvironment = {}) const {
        const fs::path program = binary(name);
        std::vector<std::string> argStrings{program.string()};
        argStrings.insert(argStrings.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (auto& a : argStrings) argv.push_back(a.data());
        argv.push_back(nullptr);
        std::vector<std::string> envStrings = environment_;
        envStrings.insert(envStrings.end(), extraEnvironment.begin(), extraEnvironment.end());
        std::vector<char*> envp;
        for (auto& e : envStrings) envp.push_back(e.data());
        envp.push_back(nullptr);

        auto openOutput = [](const fs::path& path) {
            return ::open(path.empty() ? "/dev/null" : path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        };
        const int in = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
        const int out = openOutput(stdoutFile);
        const int err = openOutput(stderrFile);
        const pid_t parent = ::getpid();
        const uid_t runAs = runAs_;
        pid_t pid = -1;
        if (in >= 0 && out >= 0 && err >= 0) pid = ::fork();
        if (pid == 0) {
            // Only async-signal-safe calls between fork and exec.
            ::prctl(PR_SET_PDEATHSIG, SIGKILL);
            if (::getppid() != parent) ::_exit(127);
            if (runAs != 0 && (::setgroups(0, nullptr) != 0 || ::setgid(runAs) != 0 || ::setuid(runAs) != 0)) ::_exit(126);
            ::dup2(in, 0);
            ::dup2(out, 1);
            ::dup2(err, 2);
            ::execve(argv[0], argv.data(), envp.data());
            ::_exit(127);
        }
        for (int fd : {in, out, err}) {
            if (fd >= 0) ::close(fd);
        }
        if (pid < 0) throw std::runtime_error("cannot start " + program.string());
        return Child(pid);
    }

    // Runs bin/<name> to completion, killing it after timeout seconds.
    RunResult run(const std::string& name, const std::vector<std::string>& args, double timeout = 20.0) {
        const int n = ++runs_;
        const fs::path out = root_ / ("run-" + std::to_string(n) + ".out");
        const fs::path err = root_ / ("run-" + std::to_string(n) + ".err");
        Child child = spawn(name, args, out, err);
        RunResult result;
        result.status = child.waitFor(timeout);
        child.kill();
        result.out = readFile(out);
        result.err = readFile(err);
        return result;
    }

    RunResult ctl(std::vector<std::string> args) {
        args.insert(args.begin(), "ctl");
        return run(kVirtualMacName, args);
    }
    RunResult client(const std::vector<std::string>& args) { return run(kClientName, args); }

    // One control request to the virtual Mac, sent from this process: empty if none answers.
    std::optional<std::string> control(const std::string& request) const {
        try {
            return sim::sendControlRequest(controlSocket().string(), request);
        } catch (const sim::ControlUnavailable&) {
            return std::nullopt;
        }
    }

    // The virtual Mac's fans and Ftst; null when it does not answer.
    nlohmann::json state() const {
        const auto reply = control("state");
        if (!reply || reply->rfind("ok ", 0) != 0) return nullptr;
        return nlohmann::json::parse(reply->substr(3), nullptr, false);
    }

    // A key's value as the virtual Mac's firmware holds it; empty if it has no such key.
    std::optional<double> readKey(const std::string& key) const {
        const auto reply = control("read " + key);
        if (!reply || reply->rfind("ok ", 0) != 0) return std::nullopt;
        try {
            return std::stod(reply->substr(3));
        } catch (const std::exception&) {
            return std::nullopt;
        }
    }

    // True when the virtual Mac reports every fan automatic by its own mechanism: mode keys,
    // "FS! " and Ftst at 0 where present.
    static bool allAutomatic(const nlohmann::json& state) {
        if (!state.is_object() || !state.contains("fans")) return false;
        for (const auto& fan : state["fans"]) {
            if (fan["manual"] != false || !(fan["mode"].is_null() || fan["mode"] == 0)) return false;
        }
        return (state["Ftst"].is_null() || state["Ftst"] == 0) && (!state.contains("FS! ") || state["FS! "] == 0);
    }

    // Accepting connections: a stream connect() to the socket succeeds (a stale file left by a
    // killed process refuses).
    static bool acceptsConnections(const fs::path& path) {
        const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0) return false;
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
        const bool ok = ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
        ::close(fd);
        return ok;
    }

    // Polls predicate every few milliseconds until it holds or timeout seconds pass.
    template <class Predicate>
    static bool waitUntil(double timeout, Predicate predicate, std::chrono::microseconds step = std::chrono::milliseconds(5)) {
        const auto deadline = SteadyClock::now() + seconds(timeout);
        for (;;) {
            if (predicate()) return true;
            if (SteadyClock::now() >= deadline) return false;
            std::this_thread::sleep_for(step);
        }
    }

    // Starts the virtual Mac with a profile or a real Mac's table (by model) and waits until its
    // AppleSMC and control sockets serve.
    Child startVirtualMac(const std::string& profile, double timeout = 10.0) {
        Child mac = spawn(kVirtualMacName, {isProfileName(profile) ? "--profile" : "--dump", profile}, {},
                          root_ / "virtual-mac.log");
        const bool serving = waitUntil(timeout, [&] {
            return mac.running() && acceptsConnections(socket(kSMCSocketName)) &&
                   acceptsConnections(controlSocket());
        });
        if (!serving) mac.kill();
        return mac;
    }

    // Starts the daemon with stderr to logFile (under root()); does not wait.
    Child spawnDaemon(const fs::path& logFile) const { return spawn(kDaemonName, {}, {}, logFile); }

    // Waits until the daemon accepts connections on its Mach service socket, or has ended.
    bool waitForDaemon(Child& daemon, double timeout = 10.0) const {
        return waitUntil(timeout, [&] { return daemon.running() && acceptsConnections(xpcSocket()); });
    }

private:
    fs::path root_;
    fs::path bootstrap_;
    std::vector<std::string> environment_;
    int runs_ = 0;
    uid_t runAs_ = 0;
};

// A virtual Mac served from the test process on the harness's AppleSMC socket, so a test reads
// its state and write log directly and without delay. Thread-safe, like the virtual Mac.
class ServedMac {
public:
    // A profile by name, or a real Mac's key table by model.
    ServedMac(const Harness& harness, const std::string& profile)
        : mac_(sim::VirtualMac::create(machine(profile), clock_)),
          server_(harness.socket(kSMCSocketName).string(), mac_) {}
    ~ServedMac() { mac_->model().shutdown(); }  // hung calls end before the server joins their threads
    ServedMac(const ServedMac&) = delete;
    ServedMac& operator=(const ServedMac&) = delete;

    sim::VirtualMac& operator*() const { return *mac_; }

    // The keys that hold this Mac's fans: its mode keys, "FS! " and Ftst, where present.
    std::vector<std::string> holdingKeys() const {
        std::vector<std::string> keys;
        for (int i = 0; mac_->hasKey("F" + std::to_string(i) + "Md"); ++i) keys.push_back("F" + std::to_string(i) + "Md");
        for (const char* key : {"FS! ", "Ftst"}) {
            if (mac_->hasKey(key)) keys.push_back(key);
        }
        return keys;
    }
    // Every holding key at 0; cheap enough to poll.
    bool allAutomatic() const {
        for (const auto& key : holdingKeys()) {
            if (mac_->readKey(key) != 0) return false;
        }
        return true;
    }
    // What one restore writes on this Mac, in its order.
    std::vector<std::string> restoreWrites() const {
        std::vector<std::string> writes;
        for (const auto& key : holdingKeys()) writes.push_back(key + "=0");
        return writes;
    }
    bool fanManual(int fan) const { return mac_->model().stateJSON()["fans"][fan]["manual"] == true; }
    // The write log as "KEY=value" texts, from entry `from` on.
    std::vector<std::string> writes(std::size_t from = 0) const {
        std::vector<std::string> out;
        const auto log = mac_->writeLog();
        for (std::size_t i = from; i < log.size(); ++i) {
            std::ostringstream text;
            text << log[i].key << "=" << log[i].value;
            out.push_back(text.str());
        }
        return out;
    }

private:
    clock::SuspendingClock clock_;
    std::shared_ptr<sim::VirtualMac> mac_;
    iokit::SocketServiceServer server_;
};

}  // namespace quorvane::integration
