// The CPU topology through the sysctl stand-in: what the virtual Mac answers for each kind of
// machine, in process and over its socket, and how sysctlbyname treats its caller's buffers.
#include <cerrno>

#include <gtest/gtest.h>

#include "sim/sim_test_support.hpp"
#include "sim/virtual_mac.hpp"
#include "smc/cpu_topology.hpp"

namespace quorvane {
namespace {

std::optional<std::int32_t> ask(const char* name) {
    std::int32_t value = 0;
    std::size_t size = sizeof value;
    if (sysctlbyname(name, &value, &size, nullptr, 0) != 0) return std::nullopt;
    return value;
}

TEST(CPUTopology, TheVirtualMacAnswersItsCoresInProcessAndOverItsSocket) {
    struct Row {
        const char* what;
        std::optional<sim::CPUTopology> cpu;
        std::optional<std::int32_t> levels, perf0, perf1, physical;
        CPUTopology read;
        DeviceSensorMap::CoreCounts counts;
    };
    const Row rows[] = {
        {"Apple silicon", sim::CPUTopology{2, 10, 4}, 2, 10, 4, 14, {2, 10, 4}, {10, 4}},
        {"Intel", sim::CPUTopology{1, 6, 0}, 1, 6, std::nullopt, 6, {1, 6, 0}, {0, 0}},
        {"nothing known", std::nullopt, std::nullopt, std::nullopt, std::nullopt, std::nullopt, {1, 0, 0}, {0, 0}},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.what);
        auto profile = sim::MachineProfile::load("intel-desktop");
        profile.cpu = r.cpu;
        sim::testing::FakeClock clock;
        const auto mac = sim::VirtualMac::create(profile, clock);
        for (bool socket : {false, true}) {
            SCOPED_TRACE(socket ? "socket" : "in process");
            sim::testing::ScopedBootstrap bootstrap;
            std::optional<sysctl::SocketSysctlServer> server;
            std::unique_ptr<sysctl::ScopedProviderRegistration> registration;
            if (socket) server.emplace((bootstrap.dir() / sysctl::kSysctlSocketName).string(), mac->sysctlProvider());
            else registration = mac->registerSysctlInProcess();
            EXPECT_EQ(ask("hw.nperflevels"), r.levels);
            EXPECT_EQ(ask("hw.perflevel0.physicalcpu"), r.perf0);
            EXPECT_EQ(ask("hw.perflevel1.physicalcpu"), r.perf1);
            EXPECT_EQ(ask("hw.physicalcpu"), r.physical);
            EXPECT_EQ(ask("hw.perflevel0.physicalcpu\nhw.physicalcpu"), std::nullopt);
            EXPECT_EQ(CPUTopology::read(), r.read);
            EXPECT_EQ(CPUTopology::read().coreCounts(), r.counts);
        }
    }
    sim::testing::ScopedBootstrap nobody;
    EXPECT_EQ(ask("hw.nperflevels"), std::nullopt);
}

TEST(CPUTopology, SysctlbynameChecksTheCallersBuffers) {
    sim::testing::FakeClock clock;
    const auto mac = sim::VirtualMac::create("apple-silicon-laptop", clock);
    const auto registration = mac->registerSysctlInProcess();
    std::int64_t wide = 0;
    std::int32_t value = 0;
    struct Row {
        const char* name;
        void* old;
        std::size_t size;
        const void* newValue;
        int result, error;
        std::size_t sizeAfter;
    };
    const Row rows[] = {
        {"hw.nperflevels", &value, sizeof value, nullptr, 0, 0, 4},
        {"hw.nperflevels", &wide, sizeof wide, nullptr, 0, 0, 4},
        {"hw.nperflevels", nullptr, 0, nullptr, 0, 0, 4},
        {"hw.nperflevels", &value, 2, nullptr, -1, ENOMEM, 2},
        {"hw.nperflevels", &value, sizeof value, &value, -1, EPERM, 4},
        {"hw.memsize", &value, sizeof value, nullptr, -1, ENOENT, 4},
        {nullptr, &value, sizeof value, nullptr, -1, EINVAL, 4},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name ? r.name : "null");
        std::size_t size = r.size;
        errno = 0;
        EXPECT_EQ(sysctlbyname(r.name, r.old, &size, r.newValue, r.newValue ? sizeof value : 0), r.result);
        EXPECT_EQ(errno, r.error);
        EXPECT_EQ(size, r.sizeAfter);
    }
    EXPECT_EQ(value, 2);
    EXPECT_EQ(wide, 2);
}

}  // namespace
}  // namespace quorvane
