// The driver files misbehaving as a loaded or departing SMC driver's do, seen through a real FUSE
// mount with ordinary system calls: slow accesses, EIO on the next reads or writes or by a seeded
// chance, the tree vanishing and coming back as new files, and the kernel enforcing the files'
// modes for a user without root.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "sim/control_protocol.hpp"
#include "sim/driver_file_faults.hpp"
#include "sim/machine_profile.hpp"
#include "sim/sim_test_support.hpp"
#include "sim/smc_key_model.hpp"
#include "sim/sysfs_mount.hpp"
#include "sim/sysfs_tree.hpp"

namespace quorvane::sim {
namespace {

constexpr uid_t kNobody = 65534;

// The pattern n shows make ("1" failed, "0" succeeded) under a seed and probability.
std::string drawsFor(std::uint64_t seed, double probability, int n) {
    DriverFileFaults faults;
    faults.seed(seed);
    faults.setFailProbability(probability);
    std::string pattern;
    for (int i = 0; i < n; ++i) pattern += faults.access(DriverFileFaults::Access::read, 0) == -EIO ? '1' : '0';
    return pattern;
}

TEST(DriverFileFaultsTest, FailuresFollowTheSeedAndOffRestartsThem) {
    const std::string seven = drawsFor(7, 0.5, 64);
    EXPECT_EQ(drawsFor(7, 0.5, 64), seven);
    EXPECT_NE(drawsFor(8, 0.5, 64), seven);
    EXPECT_NE(seven.find('0'), std::string::npos);
    EXPECT_NE(seven.find('1'), std::string::npos);
    EXPECT_EQ(drawsFor(7, 0, 64), std::string(64, '0'));
    EXPECT_EQ(drawsFor(7, 1, 64), std::string(64, '1'));

    DriverFileFaults faults;
    faults.seed(7);
    faults.setFailProbability(0.5);
    faults.failNextWrites(2);
    EXPECT_EQ(faults.access(DriverFileFaults::Access::readContinued, 0), 0) << "the rest of a show never fails";
    for (int i = 0; i < 3; ++i) faults.access(DriverFileFaults::Access::read, 0);
    faults.clear();
    faults.setFailProbability(0.5);
    std::string again;
    for (int i = 0; i < 64; ++i) again += faults.access(DriverFileFaults::Access::read, 0) == -EIO ? '1' : '0';
    EXPECT_EQ(again, seven) << "off restarts the draws from the seed";
    faults.setFailProbability(0);
    EXPECT_EQ(faults.access(DriverFileFaults::Access::write, 0), 0) << "off cleared the writes still to fail";

    for (const auto& bad : {-0.01, 1.01, std::nan("")})
        EXPECT_THROW(faults.setFailProbability(bad), std::invalid_argument) << bad;
    EXPECT_THROW(faults.setDelay(DriverFileFaults::kMaxDelayMs + 1), std::invalid_argument);
    EXPECT_THROW(faults.failNextReads(DriverFileFaults::kMaxCount + 1), std::invalid_argument);
}

TEST(DriverFileFaultsTest, AStoppedModelEndsADelayAlreadyWaiting) {
    testing::FakeClock clock;
    SMCKeyModel model(MachineProfile::load("apple-silicon-laptop"), clock);
    model.fileFaults().setDelay(DriverFileFaults::kMaxDelayMs);
    std::thread waiting([&] {
        const auto start = std::chrono::steady_clock::now();
        std::uint64_t generation = 0;
        EXPECT_EQ(model.fileFaults().open(generation), 0);
        // Far below the minute the delay asks: the stop ended the wait.
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30));
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));  // let the open start waiting
    model.shutdown();
    waiting.join();
}

// One step against the mount. Kinds: a control line; open the one descriptor kept across steps
// ("r" or "rw" in text); read or write (text) on it; a fresh open-read-close or open-write-close
// of file; the number of names listed; a key's value; n shows on the kept descriptor whose failures
// must make the pattern in text; and an open (and a read for "r", a write for "w") by a user
// without root. expect is the errno (0: success) or, for list, the count.
struct Step {
    enum Kind { control, open, read, write, freshRead, freshWrite, list, key, draws, asNobody } kind;
    std::string arg;
    int expect = 0;
    std::string text = {};
    double value = 0;
    int atLeastMs = 0;  // a lower bound on how long the step took: the delay was served
};

struct Scenario {
    std::string name;
    std::vector<Step> steps;
};

int errnoOf(ssize_t result) { return result < 0 ? errno : 0; }

TEST(DriverFileFaultsMountTest, TheFilesMisbehaveAsALoadedOrDepartingDriversDo) {
    if (::access("/dev/fuse", R_OK | W_OK) != 0) GTEST_SKIP() << "SKIPPED: /dev/fuse is missing, no FUSE mount here";
    const bool root = ::geteuid() == 0;
    testing::FakeClock clock;
    auto intelMac = [&clock] {
        const auto table = MachineProfile::dumpDirectory() + "/MacBookPro11_4.csv";
        return std::make_shared<SMCKeyModel>(MachineProfile::fromDump(table), clock);
    };
    const auto allFiles = static_cast<int>(SysfsTree(intelMac(), SysfsLayout::applesmc).files().size());
    using K = Step::Kind;
    const std::vector<Scenario> scenarios = {
        {"delay on every access",
         {{K::open, "fan1_manual", 0, "rw"},
          {K::control, "files delay 300"},
          {K::read, "", 0, {}, 0, 300},
          {K::write, "", 0, "1", 0, 300},
          {K::freshRead, "fan1_input", 0, {}, 0, 600},
          {K::control, "files delay 0"},
          {K::key, "FS! ", 0, {}, 1}}},
        {"the next reads fail, then they work",
         {{K::open, "fan1_input", 0, "r"},
          {K::control, "files fail-reads 2"},
          {K::freshWrite, "fan1_manual", 0, "1"},
          {K::read, "", EIO},
          {K::freshRead, "fan1_input", EIO},
          {K::read, "", 0},
          {K::freshRead, "fan1_input", 0}}},
        {"the next writes fail and store nothing, then they work",
         {{K::control, "files fail-writes 2"},
          {K::freshRead, "fan1_manual", 0},
          {K::freshWrite, "fan1_manual", EIO, "1"},
          {K::freshWrite, "fan2_manual", EIO, "1"},
          {K::key, "FS! ", 0, {}, 0},
          {K::freshWrite, "fan1_manual", 0, "1"},
          {K::key, "FS! ", 0, {}, 1}}},
        {"vanish: names gone, open files dead for good, fresh opens work after",
         {{K::open, "fan1_manual", 0, "rw"},
          {K::control, "files vanish on"},
          {K::freshRead, "fan1_manual", ENOENT},
          {K::freshRead, "key_at_index", ENOENT},
          {K::list, "", 0},
          {K::read, "", ENODEV},
          {K::write, "", ENODEV, "1"},
          {K::control, "files vanish off"},
          {K::read, "", ENODEV},
          {K::write, "", ENODEV, "1"},
          {K::key, "FS! ", 0, {}, 0},
          {K::list, "", allFiles},
          {K::freshWrite, "fan1_manual", 0, "1"},
          {K::key, "FS! ", 0, {}, 1},
          {K::control, "files vanish on"},
          {K::control, "files off"},
          {K::read, "", ENODEV},
          {K::freshRead, "fan1_manual", 0}}},
        {"a seeded probability fails the same reads every time",
         {{K::open, "fan1_input", 0, "r"},
          {K::control, "files seed 42"},
          {K::control, "files fail-probability 0.5"},
          {K::draws, "", 48, drawsFor(42, 0.5, 48)},
          {K::control, "files seed 42"},
          {K::draws, "", 48, drawsFor(42, 0.5, 48)},
          {K::control, "files fail-probability 1"},
          {K::freshWrite, "fan1_manual", EIO, "1"},
          {K::control, "files off"},
          {K::draws, "", 8, std::string(8, '0')}}},
        {"a user without root reads every file and stores into none",
         {{K::asNobody, "fan1_input", 0, "r"},
          {K::asNobody, "fan1_manual", 0, "r"},
          {K::asNobody, "key_at_index", 0, "r"},
          {K::asNobody, "fan1_manual", EACCES, "w"},
          {K::asNobody, "key_at_index", EACCES, "w"},
          {K::asNobody, "fan1_output", EACCES, "w"},
          {K::key, "FS! ", 0, {}, 0}}},
    };

    for (const auto& scenario : scenarios) {
        SCOPED_TRACE(scenario.name);
        const auto model = intelMac();
        testing::ScopedBootstrap scratch;
        ::chmod(scratch.dir().c_str(), 0755);  // a user without root must reach the mount
        const std::string dir = (scratch.dir() / "applesmc.768").string();
        SysfsMount mount(std::make_shared<const SysfsTree>(model, SysfsLayout::applesmc), dir);
        struct stat st{};
        ASSERT_EQ(::stat((dir + "/fan1_manual").c_str(), &st), 0);
        EXPECT_EQ(st.st_uid, 0u);
        EXPECT_EQ(st.st_gid, 0u);

        int kept = -1;
        auto path = [&](const std::string& file) { return dir + "/" + file; };
        auto showOn = [](int fd) {
            char buffer[64];
            return errnoOf(::pread(fd, buffer, sizeof buffer, 0));
        };
        for (const auto& step : scenario.steps) {
            SCOPED_TRACE(step.arg + (step.text.empty() ? "" : " / " + step.text));
            const auto start = std::chrono::steady_clock::now();
            switch (step.kind) {
                case K::control:
                    EXPECT_EQ(handleControlRequest(*model, step.arg), "ok");
                    break;
                case K::open:
                    kept = ::open(path(step.arg).c_str(), step.text == "rw" ? O_RDWR : O_RDONLY);
                    ASSERT_GE(kept, 0) << std::strerror(errno);
                    break;
                case K::read:
                    EXPECT_EQ(showOn(kept), step.expect);
                    break;
                case K::write:
                    EXPECT_EQ(errnoOf(::pwrite(kept, step.text.data(), step.text.size(), 0)), step.expect);
                    break;
                case K::freshRead:
                case K::freshWrite: {
                    const bool reading = step.kind == K::freshRead;
                    const int fd = ::open(path(step.arg).c_str(), reading ? O_RDONLY : O_WRONLY);
                    int e = fd < 0 ? errno : 0;
                    if (fd >= 0) {
                        e = reading ? showOn(fd) : errnoOf(::write(fd, step.text.data(), step.text.size()));
                        ::close(fd);
                    }
                    EXPECT_EQ(e, step.expect);
                    break;
                }
                case K::list: {
                    int names = 0;
                    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
                        (void)entry;
                        ++names;
                    }
                    EXPECT_EQ(names, step.expect);
                    break;
                }
                case K::key:
                    EXPECT_EQ(model->readKey(step.arg), step.value);
                    break;
                case K::draws: {
                    std::string pattern;
                    for (int i = 0; i < step.expect; ++i) pattern += showOn(kept) == EIO ? '1' : '0';
                    EXPECT_EQ(pattern, step.text);
                    EXPECT_NE(pattern.find('0'), std::string::npos);
                    break;
                }
                case K::asNobody: {
                    if (!root) {
                        std::cout << "SKIPPED: " << scenario.name << ": not root, cannot become another user\n";
                        break;
                    }
                    const bool reading = step.text == "r";
                    const std::string file = path(step.arg);
                    const pid_t child = ::fork();
                    ASSERT_GE(child, 0);
                    if (child == 0) {
                        if (::setgid(kNobody) != 0 || ::setuid(kNobody) != 0) ::_exit(255);
                        const int fd = ::open(file.c_str(), reading ? O_RDONLY : O_WRONLY);
                        if (fd < 0) ::_exit(errno);
                        char buffer[64] = "0";
                        const ssize_t n = reading ? ::read(fd, buffer, sizeof buffer) : ::write(fd, buffer, 1);
                        ::_exit(n < 0 ? errno : 0);
                    }
                    int status = 0;
                    ASSERT_EQ(::waitpid(child, &status, 0), child);
                    ASSERT_TRUE(WIFEXITED(status));
                    EXPECT_EQ(WEXITSTATUS(status), step.expect) << std::strerror(WEXITSTATUS(status));
                    break;
                }
            }
            EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(step.atLeastMs));
        }
        if (kept >= 0) ::close(kept);
    }
}

}  // namespace
}  // namespace quorvane::sim
