// End to end: the quorvane-virtual-mac binary built next to this test, in a private bootstrap
// directory, driven through "ctl" and through IOKit over its AppleSMC socket.
#include <atomic>
#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "platform/iokit/iokit.hpp"
#include "sim/sim_test_support.hpp"

extern char** environ;

namespace quorvane::sim {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

struct RunResult {
    int status = -1;
    std::string out;
};

class VirtualMacProcessTest : public ::testing::Test {
protected:
    fs::path binary = fs::read_symlink("/proc/self/exe").parent_path() / "quorvane-virtual-mac";
    testing::ScopedBootstrap bootstrap{"bootstrap"};  // missing on purpose: the server creates it
    const fs::path& bootstrapDir = bootstrap.dir();
    pid_t server = -1;

    void SetUp() override {
        ASSERT_TRUE(fs::exists(binary)) << "build quorvane-virtual-mac next to " << binary.parent_path();
    }
    void TearDown() override {
        if (server > 0) {
            ::kill(server, SIGKILL);
            ::waitpid(server, nullptr, 0);
        }
    }

    pid_t spawn(const std::vector<std::string>& args, int stdoutFd) {
        std::vector<char*> argv{const_cast<char*>(binary.c_str())};
        for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        if (stdoutFd >= 0) posix_spawn_file_actions_adddup2(&actions, stdoutFd, 1);
        pid_t pid = -1;
        const int rc = ::posix_spawn(&pid, binary.c_str(), &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        return rc == 0 ? pid : -1;
    }

    RunResult run(const std::vector<std::string>& args) {
        int fds[2];
        if (::pipe(fds) != 0) return {};
        const pid_t pid = spawn(args, fds[1]);
        ::close(fds[1]);
        RunResult r;
        char buffer[4096];
        ssize_t n;
        while ((n = ::read(fds[0], buffer, sizeof buffer)) > 0) r.out.append(buffer, static_cast<std::size_t>(n));
        ::close(fds[0]);
        int status = 0;
        if (pid > 0 && ::waitpid(pid, &status, 0) == pid && WIFEXITED(status)) r.status = WEXITSTATUS(status);
        return r;
    }

    RunResult ctl(std::vector<std::string> args) {
        args.insert(args.begin(), "ctl");
        return run(args);
    }

    // Polls until the control socket answers; generous, since the machine may be loaded.
    bool waitUntilServing() {
        for (int i = 0; i < 400; ++i) {
            if (ctl({"state"}).status == 0) return true;
            std::this_thread::sleep_for(50ms);
        }
        return false;
    }

    int stopServer() {
        ::kill(server, SIGTERM);
        int status = 0;
        const pid_t done = ::waitpid(server, &status, 0);
        server = -1;
        return done > 0 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
};

TEST_F(VirtualMacProcessTest, ServesCtlRequestsAndStopsCleanlyOnSIGTERM) {
    const RunResult alone = ctl({"read", "F0Ac"});
    EXPECT_EQ(alone.status, 1) << "no server yet";
    EXPECT_TRUE(alone.out.empty());
    EXPECT_EQ(run({"--profile", "no-such-mac"}).status, 1);
    server = spawn({"--profile", "apple-silicon-laptop"}, -1);
    ASSERT_GT(server, 0);
    ASSERT_TRUE(waitUntilServing());
    EXPECT_TRUE(fs::exists(bootstrapDir / "AppleSMC"));

    EXPECT_EQ(ctl({"write", "F0Tg", "2500"}).status, 0);
    const RunResult read = ctl({"read", "F0Tg"});
    EXPECT_EQ(read.status, 0);
    EXPECT_EQ(read.out, "2500\n");
    EXPECT_EQ(ctl({"read", "ZZZZ"}).status, 1);
    EXPECT_EQ(nlohmann::json::parse(ctl({"state"}).out)["fans"][0]["target"], 2500.0);

    EXPECT_EQ(stopServer(), 0);
    EXPECT_FALSE(fs::exists(bootstrapDir / "AppleSMC"));
    EXPECT_FALSE(fs::exists(bootstrapDir / "quorvane-virtual-mac.ctl"));
}

TEST_F(VirtualMacProcessTest, HangBlocksOldConnectionsUntilTheServerStops) {
    server = spawn({}, -1);
    ASSERT_GT(server, 0);
    ASSERT_TRUE(waitUntilServing());

    auto open = [] {
        io_service_t service = IOServiceGetMatchingService(kIOMainPortDefault, IOServiceMatching("AppleSMC"));
        io_connect_t c = 0;
        EXPECT_EQ(IOServiceOpen(service, mach_task_self_, 0, &c), kIOReturnSuccess);
        IOObjectRelease(service);
        return c;
    };
    auto readActual = [](io_connect_t c) {
        SMCRecord in = testing::readRequest("F0Ac", 4), out;
        std::size_t size = SMCRecord::kSize;
        const kern_return_t kr =
            IOConnectCallStructMethod(c, kSMCSelector, in.raw().data(), SMCRecord::kSize, out.data(), &size);
        return kr == kIOReturnSuccess && size == SMCRecord::kSize && out.result() == 0 ? 0 : (kr ? kr : 1);
    };

    // The hang holds only the connection opened before it; SIGTERM still ends the server cleanly
    // and wakes the hung call.
    const io_connect_t old = open();
    ASSERT_EQ(readActual(old), 0);
    ASSERT_EQ(ctl({"hang", "on"}).status, 0);
    std::atomic<bool> done{false};
    std::thread hung([&] {
        readActual(old);
        done = true;
    });
    const io_connect_t fresh = open();
    EXPECT_EQ(readActual(fresh), 0);
    std::this_thread::sleep_for(300ms);  // long enough for a broken hang to have answered
    EXPECT_FALSE(done.load());
    EXPECT_EQ(stopServer(), 0);
    hung.join();
    IOServiceClose(old);
    IOServiceClose(fresh);
}

}  // namespace
}  // namespace quorvane::sim
