#include <gtest/gtest.h>

#include <cstdlib>
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

TEST_F(IOKitRegistry, BadHandlesAndArgumentsAreRejectedBeforeReachingTheClient) {
    ScopedServiceRegistration reg("QuorvaneTestArgs", service);
    const io_service_t svc = IOServiceGetMatchingService(kIOMainPortDefault, IOServiceMatching("QuorvaneTestArgs"));
    ASSERT_NE(svc, 0u);
    ASSERT_EQ(IOObjectRelease(svc), kIOReturnSuccess);
    io_connect_t connect = 99;
    EXPECT_EQ(IOServiceOpen(svc, mach_task_self_, 0, &connect), kIOReturnBadArgument);  // released
    EXPECT_EQ(connect, 0u);
    EXPECT_EQ(IOServiceOpen(0, mach_task_self_, 0, &connect), kIOReturnBadArgument);
    EXPECT_EQ(IOServiceOpen(0, mach_task_self_, 0, nullptr), kIOReturnBadArgument);
    EXPECT_EQ(IOObjectRelease(svc), kIOReturnBadArgument);
    EXPECT_EQ(service->opens(), 0);

    const io_connect_t c = openClass("QuorvaneTestArgs");
    ASSERT_NE(c, 0u);
    std::vector<std::uint8_t> big(4097);
    std::size_t size = 80;
    EXPECT_EQ(IOConnectCallStructMethod(c, testing::kEcho, big.data(), big.size(), big.data(), &size),
              kIOReturnBadArgument);
    EXPECT_EQ(IOConnectCallStructMethod(c, testing::kEcho, nullptr, 80, big.data(), &size), kIOReturnBadArgument);
    EXPECT_EQ(IOConnectCallStructMethod(c, testing::kEcho, big.data(), 80, nullptr, &size), kIOReturnBadArgument);
    size = 1;  // the smallest buffer still needs somewhere to go
    EXPECT_EQ(IOConnectCallStructMethod(c, testing::kEcho, big.data(), 1, nullptr, &size), kIOReturnBadArgument);
    EXPECT_EQ(IOConnectCallStructMethod(c, testing::kEcho, nullptr, 1, big.data(), &size), kIOReturnBadArgument);
    size = 5000;
    EXPECT_EQ(IOConnectCallStructMethod(c, testing::kEcho, big.data(), 80, big.data(), &size), kIOReturnBadArgument);
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

// Opens, calls and closes common to both transports are in iokit_socket_test.cpp.
// Unknown, unregistered and unsafe class names match nothing, and never reach a file that happens
// to exist under that name.
TEST_F(IOKitRegistry, NamesWithoutAServiceMatchNothingAndANullServiceIsRefused) {
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
    EXPECT_THROW(registerService("QuorvaneTestNull", nullptr), std::invalid_argument);
    ::unsetenv("QUORVANE_BOOTSTRAP");
}

}  // namespace
}  // namespace quorvane::iokit
