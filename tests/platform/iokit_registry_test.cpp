#include <gtest/gtest.h>

#include <array>
#include <cstdlib>
#include <set>
#include <thread>
#include <utility>
#include <vector>

#include "platform/fake_io_service.hpp"
#include "platform/iokit/iokit.hpp"

namespace quorvane::iokit {
namespace {

using testing::FakeService;
using testing::openClass;

class IOKitRegistry : public ::testing::Test {
protected:
    std::shared_ptr<FakeService> service = std::make_shared<FakeService>();
};

TEST_F(IOKitRegistry, RegisteredServiceOpensCallsAndCloses) {
    ScopedServiceRegistration reg("QuorvaneTestRegistered", service);
    const io_service_t svc = IOServiceGetMatchingService(kIOMainPortDefault, IOServiceMatching("QuorvaneTestRegistered"));
    ASSERT_NE(svc, 0u);
    io_connect_t connect = 0;
    ASSERT_EQ(IOServiceOpen(svc, mach_task_self_, 7, &connect), kIOReturnSuccess);
    EXPECT_EQ(IOObjectRelease(svc), kIOReturnSuccess);
    EXPECT_NE(connect, 0u);
    EXPECT_EQ(service->lastType(), 7u);

    std::array<std::uint8_t, 80> in{};
    for (std::size_t i = 0; i < in.size(); ++i) in[i] = static_cast<std::uint8_t>(i * 3);
    std::array<std::uint8_t, 80> out{};
    std::size_t outSize = out.size();
    ASSERT_EQ(IOConnectCallStructMethod(connect, testing::kEcho, in.data(), in.size(), out.data(), &outSize),
              kIOReturnSuccess);
    EXPECT_EQ(outSize, 80u);
    EXPECT_EQ(out, in);

    EXPECT_EQ(IOServiceClose(connect), kIOReturnSuccess);
    outSize = out.size();
    EXPECT_EQ(IOConnectCallStructMethod(connect, testing::kEcho, in.data(), in.size(), out.data(), &outSize),
              kIOReturnBadArgument);
    EXPECT_EQ(IOServiceClose(connect), kIOReturnBadArgument);
}

TEST_F(IOKitRegistry, RefusedOpenReturnsTheServicesCode) {
    service->refuseWith = kIOReturnExclusiveAccess;
    ScopedServiceRegistration reg("QuorvaneTestRefuses", service);
    kern_return_t kr = kIOReturnSuccess;
    EXPECT_EQ(openClass("QuorvaneTestRefuses", &kr), 0u);
    EXPECT_EQ(kr, kIOReturnExclusiveAccess);
}

TEST_F(IOKitRegistry, ReleasedOrBogusServiceHandlesCannotBeOpened) {
    ScopedServiceRegistration reg("QuorvaneTestRelease", service);
    const io_service_t svc = IOServiceGetMatchingService(kIOMainPortDefault, IOServiceMatching("QuorvaneTestRelease"));
    ASSERT_NE(svc, 0u);
    ASSERT_EQ(IOObjectRelease(svc), kIOReturnSuccess);
    io_connect_t connect = 99;
    EXPECT_EQ(IOServiceOpen(svc, mach_task_self_, 0, &connect), kIOReturnBadArgument);
    EXPECT_EQ(connect, 0u);
    EXPECT_EQ(IOServiceOpen(0, mach_task_self_, 0, &connect), kIOReturnBadArgument);
    EXPECT_EQ(IOObjectRelease(svc), kIOReturnBadArgument);
    EXPECT_EQ(service->opens(), 0);
}

TEST_F(IOKitRegistry, EachOpenIsANewClientWithAFreshHandle) {
    ScopedServiceRegistration reg("QuorvaneTestHandles", service);
    std::set<io_connect_t> seen;
    for (int i = 1; i <= 5; ++i) {
        const io_connect_t c = openClass("QuorvaneTestHandles");
        ASSERT_NE(c, 0u);
        EXPECT_TRUE(seen.insert(c).second) << "handle reused: " << c;
        int which = 0;
        std::size_t size = sizeof which;
        ASSERT_EQ(IOConnectCallStructMethod(c, testing::kWhichOpen, nullptr, 0, &which, &size), kIOReturnSuccess);
        EXPECT_EQ(which, i);
        IOServiceClose(c);
    }
}

TEST_F(IOKitRegistry, CallReportsTheClientsOutputSizeAndCode) {
    ScopedServiceRegistration reg("QuorvaneTestSizes", service);
    const io_connect_t c = openClass("QuorvaneTestSizes");
    ASSERT_NE(c, 0u);
    std::array<std::uint8_t, 80> out{};
    std::size_t size = out.size();
    EXPECT_EQ(IOConnectCallStructMethod(c, testing::kShort, nullptr, 0, out.data(), &size), kIOReturnSuccess);
    EXPECT_EQ(size, 79u);
    size = out.size();
    EXPECT_EQ(IOConnectCallStructMethod(c, testing::kFail, nullptr, 0, out.data(), &size), kIOReturnNotPrivileged);
    size = out.size();
    EXPECT_EQ(IOConnectCallStructMethod(c, testing::kThrow, nullptr, 0, out.data(), &size), kIOReturnError);
    IOServiceClose(c);
}

TEST_F(IOKitRegistry, BadArgumentsAreRejectedBeforeReachingTheClient) {
    ScopedServiceRegistration reg("QuorvaneTestArgs", service);
    const io_connect_t c = openClass("QuorvaneTestArgs");
    ASSERT_NE(c, 0u);
    std::vector<std::uint8_t> big(4097);
    std::array<std::uint8_t, 80> out{};
    std::size_t size = out.size();
    EXPECT_EQ(IOConnectCallStructMethod(c, testing::kEcho, big.data(), big.size(), out.data(), &size),
              kIOReturnBadArgument);
    EXPECT_EQ(IOConnectCallStructMethod(c, testing::kEcho, nullptr, 80, out.data(), &size), kIOReturnBadArgument);
    EXPECT_EQ(IOConnectCallStructMethod(c, testing::kEcho, big.data(), 80, nullptr, &size), kIOReturnBadArgument);
    size = 5000;
    EXPECT_EQ(IOConnectCallStructMethod(c, testing::kEcho, big.data(), 80, big.data(), &size), kIOReturnBadArgument);
    EXPECT_EQ(IOServiceOpen(0, mach_task_self_, 0, nullptr), kIOReturnBadArgument);
    IOServiceClose(c);
}

TEST_F(IOKitRegistry, CloseDuringACallLeavesTheClientAliveUntilTheCallReturns) {
    ScopedServiceRegistration reg("QuorvaneTestCloseRace", service);
    const io_connect_t c = openClass("QuorvaneTestCloseRace");
    ASSERT_NE(c, 0u);
    kern_return_t callResult = kIOReturnError;
    std::thread caller([&] {
        std::size_t size = 0;
        callResult = IOConnectCallStructMethod(c, testing::kBlock, nullptr, 0, nullptr, &size);
    });
    service->waitUntilBlocked();
    EXPECT_EQ(IOServiceClose(c), kIOReturnSuccess);
    service->release();
    caller.join();
    EXPECT_EQ(callResult, kIOReturnSuccess);
}

// Unknown, unregistered and unsafe class names match nothing, and never reach a file that happens
// to exist under that name.
TEST_F(IOKitRegistry, NamesWithoutAServiceMatchNothing) {
    { ScopedServiceRegistration gone("QuorvaneTestGone", service); }
    const std::vector<std::pair<const char*, const char*>> rows = {
        {"/nonexistent-quorvane-bootstrap", "QuorvaneTestNobody"},
        {"/nonexistent-quorvane-bootstrap", "QuorvaneTestGone"},  // unregistered again
        {"/run", "systemd/journal/socket"},
        {"/run", ".."},
        {"/run", ""},
    };
    for (const auto& [directory, name] : rows) {
        ::setenv("QUORVANE_BOOTSTRAP", directory, 1);
        EXPECT_EQ(IOServiceGetMatchingService(kIOMainPortDefault, IOServiceMatching(name)), 0u) << name;
    }
    EXPECT_EQ(IOServiceGetMatchingService(kIOMainPortDefault, nullptr), 0u);
    EXPECT_EQ(IOServiceMatching(nullptr), nullptr);
    ::unsetenv("QUORVANE_BOOTSTRAP");
}

TEST(IOKitRegistration, NullServiceIsACallerError) {
    EXPECT_THROW(registerService("QuorvaneTestNull", nullptr), std::invalid_argument);
}

}  // namespace
}  // namespace quorvane::iokit
