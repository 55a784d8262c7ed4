#include "smc/smc_transport.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

#include "shared/smc/four_cc.hpp"
#include "smc/smc_error.hpp"
#include "smc/smc_kernel_bridge.hpp"
#include "sim/sim_test_support.hpp"
#include "tests/smc/table_smc_transport.hpp"

namespace quorvane {
namespace {

// What the user client last saw.
struct Seen {
    int calls = 0;
    std::uint32_t selector = 0;
    std::size_t inputSize = 0;
    std::size_t outputCapacity = 0;
    SMCParamStruct input{};
};

// A user client whose answer a test sets; records calls and detects overlapping ones.
class FakeUserClient final : public iokit::UserClient {
public:
    kern_return_t callStructMethod(std::uint32_t selector, const void* input, std::size_t inputSize, void* output,
                                   std::size_t* outputSize) override {
        if (inFlight_.fetch_add(1) != 0) overlapped_ = true;
        // Stay inside long enough for a second caller to arrive if the lock let it.
        for (int i = 0; i < 50; ++i) std::this_thread::yield();
        kern_return_t kr;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            seen_.calls++;
            seen_.selector = selector;
            seen_.inputSize = inputSize;
            seen_.outputCapacity = *outputSize;
            if (inputSize == sizeof(SMCParamStruct)) std::memcpy(&seen_.input, input, sizeof seen_.input);
            if (kr_ == kIOReturnSuccess) {
                std::memcpy(output, &reply_, std::min(*outputSize, sizeof reply_));
                *outputSize = outputSize_;
            }
            kr = kr_;
        }
        inFlight_.fetch_sub(1);
        return kr;
    }

    void answer(const SMCParamStruct& reply, std::size_t outputSize = sizeof(SMCParamStruct),
                kern_return_t kr = kIOReturnSuccess) {
        std::lock_guard<std::mutex> lock(mutex_);
        reply_ = reply;
        outputSize_ = outputSize;
        kr_ = kr;
    }
    Seen seen() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return seen_;
    }
    bool overlapped() const { return overlapped_; }

private:
    mutable std::mutex mutex_;
    SMCParamStruct reply_{};                           // guarded by mutex_
    std::size_t outputSize_ = sizeof(SMCParamStruct);  // guarded by mutex_
    kern_return_t kr_ = kIOReturnSuccess;              // guarded by mutex_
    Seen seen_;                                        // guarded by mutex_
    std::atomic<int> inFlight_{0};
    std::atomic<bool> overlapped_{false};
};

class FakeSMCService final : public iokit::Service {
public:
    kern_return_t open(std::uint32_t type, std::shared_ptr<iokit::UserClient>& client) override {
        lastType = type;
        ++opens;
        if (openResult != kIOReturnSuccess) return openResult;
        auto c = std::make_shared<FakeUserClient>();
        c->answer(initialReply);
        current = c;
        client = std::move(c);
        return kIOReturnSuccess;
    }

    kern_return_t openResult = kIOReturnSuccess;
    SMCParamStruct initialReply{};
    std::atomic<std::uint32_t> lastType{99};
    std::atomic<int> opens{0};
    std::weak_ptr<FakeUserClient> current;
};

using testing::errorOf;

class IOKitTransportTest : public ::testing::Test {
protected:
    sim::testing::ScopedBootstrap bootstrap;  // empty: no socket service stands in for an unregistered class
    std::shared_ptr<FakeSMCService> service = std::make_shared<FakeSMCService>();
};

TEST_F(IOKitTransportTest, NoServiceOrARefusedOpenFailsWithItsReason) {
    EXPECT_EQ(errorOf([] { IOKitSMCTransport t; }), SMCError::serviceNotFound());
    EXPECT_EQ(errorOf([] { SMCKernelBridge::open(); }), SMCError::serviceNotFound());
    service->openResult = kIOReturnNotPrivileged;
    iokit::ScopedServiceRegistration reg("AppleSMC", service);
    EXPECT_EQ(errorOf([] { IOKitSMCTransport t; }), SMCError::openFailed(kIOReturnNotPrivileged));
    EXPECT_EQ(errorOf([] { IOKitSMCTransport t; }).description(), "openFailed(-536870207)");
    EXPECT_EQ(service->lastType.load(), 0u);
}

TEST_F(IOKitTransportTest, CallUsesSelectorTwoWithEightyByteRecordsAndFailsOnlyOnTheCall) {
    iokit::ScopedServiceRegistration reg("AppleSMC", service);
    IOKitSMCTransport transport;
    auto client = service->current.lock();
    ASSERT_TRUE(client);
    SMCParamStruct reply{};
    reply.keyInfo.dataSize = 2;
    reply.keyInfo.dataType = FourCC::code("fpe2");
    client->answer(reply);

    SMCParamStruct request{};
    request.key = FourCC::code("F0Ac");
    request.data8 = 9;
    const SMCParamStruct got = transport.call(request);
    EXPECT_EQ(std::memcmp(&got, &reply, sizeof got), 0);
    const Seen seen = client->seen();
    EXPECT_EQ(seen.selector, 2u);
    EXPECT_EQ(seen.inputSize, 80u);
    EXPECT_EQ(seen.outputCapacity, 80u);
    EXPECT_EQ(std::memcmp(&seen.input, &request, sizeof request), 0);

    // Failed or short calls fail; any result byte is a successful exchange.
    SMCParamStruct refused{};
    refused.result = 0x84;  // interpreting it is the bridge's job
    refused.status = 0x7F;
    refused.bytes[31] = 0x99;
    struct Row {
        std::size_t outputSize;
        kern_return_t kr;
        std::optional<SMCError> error;
    };
    const Row rows[] = {
        {80, kIOReturnNotResponding, SMCError::callFailed(kIOReturnNotResponding)},
        {79, kIOReturnSuccess, SMCError::callFailed(kIOReturnUnderrun)},
        {0, kIOReturnSuccess, SMCError::callFailed(kIOReturnUnderrun)},
        {80, kIOReturnSuccess, std::nullopt},
    };
    for (const auto& row : rows) {
        service->current.lock()->answer(refused, row.outputSize, row.kr);
        if (row.error) {
            EXPECT_EQ(errorOf([&] { transport.call(SMCParamStruct{}); }), *row.error) << row.outputSize;
        } else {
            const SMCParamStruct got = transport.call(SMCParamStruct{});
            EXPECT_EQ(std::memcmp(&got, &refused, sizeof got), 0);
        }
    }
}

TEST_F(IOKitTransportTest, EachTransportOwnsOneConnectionAndClosesItOnDestruction) {
    iokit::ScopedServiceRegistration reg("AppleSMC", service);
    IOKitSMCTransport kept;
    io_connect_t conn = 0;
    {
        IOKitSMCTransport transport;
        conn = transport.connection();
        EXPECT_NE(conn, kept.connection());
        EXPECT_EQ(service->opens.load(), 2);
        EXPECT_FALSE(service->current.expired());
    }
    EXPECT_TRUE(service->current.expired()) << "the user client must be released";
    SMCParamStruct in{}, out{};
    std::size_t size = sizeof out;
    EXPECT_NE(IOConnectCallStructMethod(conn, 2, &in, sizeof in, &out, &size), kIOReturnSuccess);
}

TEST_F(IOKitTransportTest, ConcurrentCallsNeverOverlapInsideTheStructMethod) {
    iokit::ScopedServiceRegistration reg("AppleSMC", service);
    IOKitSMCTransport transport;
    auto client = service->current.lock();
    constexpr int kPerThread = 200;
    auto hammer = [&] {
        for (int i = 0; i < kPerThread; ++i) transport.call(SMCParamStruct{});
    };
    std::thread t1(hammer), t2(hammer);
    t1.join();
    t2.join();
    EXPECT_EQ(client->seen().calls, 2 * kPerThread);
    EXPECT_FALSE(client->overlapped());
}

TEST_F(IOKitTransportTest, BridgeOpenReadsThroughTheService) {
    SMCParamStruct reply{};
    reply.keyInfo.dataSize = 1;
    reply.keyInfo.dataType = FourCC::code("ui8 ");
    reply.bytes[0] = 2;
    service->initialReply = reply;  // the same record answers key information and the read
    iokit::ScopedServiceRegistration reg("AppleSMC", service);
    const auto bridge = SMCKernelBridge::open();
    EXPECT_EQ(bridge->read("FNum"), 2.0);
    EXPECT_EQ(service->current.lock()->seen().calls, 2);
}

}  // namespace
}  // namespace quorvane
