#include <chrono>
#include <optional>
#include <thread>

#include <gtest/gtest.h>

#include "platform/iokit/iokit.hpp"
#include "sim/sim_test_support.hpp"
#include "sim/virtual_mac.hpp"

namespace quorvane::sim {
namespace {

using namespace testing;
using namespace std::chrono_literals;

// Generous: only a broken hang/wake path would ever wait this long.
constexpr auto kGenerousWait = 20s;

class FaultInjectionTest : public ::testing::Test {
protected:
    FakeClock clock;
    std::shared_ptr<VirtualMac> mac = VirtualMac::create("apple-silicon-laptop", clock);
    std::unique_ptr<iokit::ScopedServiceRegistration> registration = mac->registerInProcess();

    io_connect_t openSMC(kern_return_t* kr = nullptr) {
        io_service_t service = IOServiceGetMatchingService(kIOMainPortDefault, IOServiceMatching("AppleSMC"));
        EXPECT_NE(service, 0u);
        io_connect_t connection = 0;
        const kern_return_t r = IOServiceOpen(service, mach_task_self_, 0, &connection);
        IOObjectRelease(service);
        if (kr) *kr = r;
        else EXPECT_EQ(r, kIOReturnSuccess);
        return connection;
    }
    // One exchange over IOKit; result byte in *result when the call succeeded.
    kern_return_t call(io_connect_t c, const SMCRecord& request, SMCRecord* reply = nullptr,
                       std::size_t* outSize = nullptr) {
        SMCRecord out;
        std::size_t size = SMCRecord::kSize;
        const kern_return_t kr = IOConnectCallStructMethod(c, kSMCSelector, request.raw().data(), SMCRecord::kSize,
                                                           out.data(), &size);
        if (reply) *reply = out;
        if (outSize) *outSize = size;
        return kr;
    }
    std::uint8_t resultOf(io_connect_t c, const SMCRecord& request) {
        SMCRecord reply;
        EXPECT_EQ(call(c, request, &reply), kIOReturnSuccess);
        return reply.result();
    }
};

TEST_F(FaultInjectionTest, KeyFaultsAnswerTheirResultForTheirCommandsUntilClearedOrCounted) {
    const io_connect_t c = openSMC();
    mac->failKey("F0Ac", 0x85);
    mac->failKey("F0Md", 0x01, smc_command::writeBytes);
    EXPECT_EQ(resultOf(c, keyInfoRequest("F0Ac")), 0x85);
    EXPECT_EQ(resultOf(c, readRequest("F0Ac", 4)), 0x85);
    EXPECT_EQ(resultOf(c, readRequest("F1Ac", 4)), smc_result::success);
    EXPECT_EQ(mac->exchangeCount(smc_command::readBytes, "F0Ac"), 1u);  // faulted exchanges still count
    EXPECT_EQ(resultOf(c, readRequest("F0Md", 1)), smc_result::success) << "only writes of F0Md fail";
    EXPECT_EQ(resultOf(c, writeRequest("F0Md", smc_type_codes::ui8, {0})), 0x01);
    EXPECT_TRUE(mac->writeLog().empty());
    mac->clearFault("F0Ac");
    EXPECT_EQ(resultOf(c, readRequest("F0Ac", 4)), smc_result::success);

    // Failing the next writes recovers after the count.
    mac->clearFault("F0Md");
    mac->setKey("Ftst", 1);
    clock.advance(4);
    mac->failNext("F0Md", 3, 0x82, smc_command::writeBytes);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(resultOf(c, writeRequest("F0Md", smc_type_codes::ui8, {1})), 0x82);
    EXPECT_EQ(resultOf(c, writeRequest("F0Md", smc_type_codes::ui8, {1})), smc_result::success);
    EXPECT_EQ(mac->writtenKeys(), (std::vector<std::string>{"F0Md"}));
    IOServiceClose(c);
}

TEST_F(FaultInjectionTest, TransportFailureForAllCallsOrOneKey) {
    const io_connect_t c = openSMC();
    mac->failTransport(kIOReturnNotResponding, "F0Md");
    EXPECT_EQ(call(c, readRequest("F0Md", 1)), kIOReturnNotResponding);
    EXPECT_EQ(call(c, readRequest("F0Ac", 4)), kIOReturnSuccess);
    mac->failTransport(kIOReturnIPCError);
    EXPECT_EQ(call(c, readRequest("F0Ac", 4)), kIOReturnIPCError);
    EXPECT_EQ(mac->exchangeCount(smc_command::readBytes), 1u);  // failed calls never reached the SMC
    mac->failTransport(std::nullopt);
    EXPECT_EQ(call(c, readRequest("F0Ac", 4)), kIOReturnSuccess);
    IOServiceClose(c);
}

TEST_F(FaultInjectionTest, ShortOutputAndRefusedOpenUntilSwitchedOff) {
    const io_connect_t c = openSMC();
    for (std::optional<std::size_t> shortOutput : {std::optional<std::size_t>(79), std::optional<std::size_t>()}) {
        mac->setShortOutput(shortOutput);
        std::size_t size = 0;
        EXPECT_EQ(call(c, readRequest("F0Ac", 4), nullptr, &size), kIOReturnSuccess);
        EXPECT_EQ(size, shortOutput.value_or(80));
    }
    for (std::optional<kern_return_t> refusal : {std::optional<kern_return_t>(kIOReturnNotPrivileged),
                                                 std::optional<kern_return_t>()}) {
        mac->refuseOpen(refusal);
        kern_return_t kr = 0;
        const io_connect_t opened = openSMC(&kr);
        EXPECT_EQ(kr, refusal.value_or(kIOReturnSuccess));
        if (kr == kIOReturnSuccess) IOServiceClose(opened);
    }
    IOServiceClose(c);
}

TEST_F(FaultInjectionTest, HangBlocksOlderConnectionsUntilSwitchedOffOrTheServiceGoes) {
    const io_connect_t old = openSMC();
    mac->setHang(true);
    std::atomic<kern_return_t> hungResult{-1};
    auto hangOn = [&] { return std::thread([&] { hungResult = call(old, readRequest("F0Ac", 4)); }); };
    std::thread hung = hangOn();
    ASSERT_TRUE(mac->model().waitForHungCalls(1, kGenerousWait));
    EXPECT_EQ(hungResult.load(), -1);

    const io_connect_t fresh = openSMC();  // the emergency path's throwaway connection
    EXPECT_EQ(resultOf(fresh, readRequest("F0Ac", 4)), smc_result::success);
    EXPECT_EQ(mac->model().hungCalls(), 1u);

    mac->setHang(false);
    hung.join();
    EXPECT_EQ(hungResult.load(), kIOReturnSuccess);
    EXPECT_EQ(resultOf(old, readRequest("F0Ac", 4)), smc_result::success);

    // Hung again, the service going away wakes the call.
    mac->setHang(true);
    hungResult = -1;
    hung = hangOn();
    ASSERT_TRUE(mac->model().waitForHungCalls(1, kGenerousWait));
    registration.reset();
    mac.reset();
    hung.join();
    EXPECT_EQ(hungResult.load(), kIOReturnNotResponding);
    EXPECT_EQ(call(old, readRequest("F0Ac", 4)), kIOReturnNotResponding);
    IOServiceClose(old);
    IOServiceClose(fresh);
}

TEST_F(FaultInjectionTest, ClearFaultsRemovesEveryFault) {
    const io_connect_t c = openSMC();
    mac->failKey("F0Ac", 0x01);
    mac->failTransport(kIOReturnError, "F1Ac");
    mac->setShortOutput(10);
    mac->refuseOpen(kIOReturnExclusiveAccess);
    mac->clearFaults();
    std::size_t size = 0;
    EXPECT_EQ(resultOf(c, readRequest("F0Ac", 4)), smc_result::success);
    EXPECT_EQ(call(c, readRequest("F1Ac", 4), nullptr, &size), kIOReturnSuccess);
    EXPECT_EQ(size, 80u);
    IOServiceClose(openSMC());
    IOServiceClose(c);
}

}  // namespace
}  // namespace quorvane::sim
