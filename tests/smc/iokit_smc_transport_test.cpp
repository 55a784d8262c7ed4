#include "smc/smc_transport.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <unistd.h>

#include "shared/smc/four_cc.hpp"
#include "smc/smc_error.hpp"
#include "smc/smc_kernel_bridge.hpp"

namespace quorvane {
namespace {

// A user client whose answer a test sets; counts calls and detects overlapping ones.
class FakeUserClient final : public iokit::UserClient {
public:
    kern_return_t callStructMethod(std::uint32_t selector, const void* input, std::size_t inputSize, void* output,
                                   std::size_t* outputSize) override {
        if (inFlight_.fetch_add(1) != 0) overlapped_ = true;
        // Stay inside long enough for a second caller to arrive if the lock let it.
        for (int i = 0; i < 50; ++i) std::this_thread::yield();
        {
            std::lock_guard<std::mutex> lock(mutex_);
            ++calls_;
            lastSelector_ = selector;
            lastInputSize_ = inputSize;
            lastOutputCapacity_ = *outputSize;
            if (inputSize == sizeof(SMCParamStruct)) std::memcpy(&lastInput_, input, sizeof lastInput_);
            if (kr_ == kIOReturnSuccess) {
                std::memcpy(output, &reply_, std::min(*outputSize, sizeof reply_));
                *outputSize = outputSize_;
            }
        }
        const kern_return_t kr = [&] {
            std::lock_guard<std::mutex> lock(mutex_);
            return kr_;
        }();
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
    int calls() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return calls_;
    }
    std::uint32_t lastSelector() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return lastSelector_;
    }
    std::size_t lastInputSize() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return lastInputSize_;
    }
    std::size_t lastOutputCapacity() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return lastOutputCapacity_;
    }
    SMCParamStruct lastInput() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return lastInput_;
    }
    bool overlapped() const { return overlapped_; }

private:
    mutable std::mutex mutex_;
    SMCParamStruct reply_{};                         // guarded by mutex_
    std::size_t outputSize_ = sizeof(SMCParamStruct);  // guarded by mutex_
    kern_return_t kr_ = kIOReturnSuccess;            // guarded by mutex_
    int calls_ = 0;                                  // guarded by mutex_
    std::uint32_t lastSelector_ = 0;                 // guarded by mutex_
    std::size_t lastInputSize_ = 0;                  // guarded by mutex_
    std::size_t lastOutputCapacity_ = 0;             // guarded by mutex_
    SMCParamStruct lastInput_{};                     // guarded by mutex_
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

// An empty bootstrap directory, so no socket service can stand in for an unregistered class.
class EmptyBootstrap {
public:
    EmptyBootstrap() {
        char tmpl[] = "/tmp/quorvane-smc-test-XXXXXX";
        dir_ = ::mkdtemp(tmpl);
        const char* old = std::getenv("QUORVANE_BOOTSTRAP");
        if (old) old_ = old;
        hadOld_ = old != nullptr;
        ::setenv("QUORVANE_BOOTSTRAP", dir_.c_str(), 1);
    }
    ~EmptyBootstrap() {
        if (hadOld_) ::setenv("QUORVANE_BOOTSTRAP", old_.c_str(), 1);
        else ::unsetenv("QUORVANE_BOOTSTRAP");
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
    }

private:
    std::string dir_;
    std::string old_;
    bool hadOld_ = false;
};

SMCError errorOf(const std::function<void()>& f) {
    try {
        f();
    } catch (const SMCError& e) {
        return e;
    }
    ADD_FAILURE() << "no SMCError thrown";
    return SMCError::smcResult(0);
}

class IOKitTransportTest : public ::testing::Test {
protected:
    EmptyBootstrap bootstrap;
    std::shared_ptr<FakeSMCService> service = std::make_shared<FakeSMCService>();
};

TEST_F(IOKitTransportTest, NoAppleSMCServiceIsServiceNotFound) {
    EXPECT_EQ(errorOf([] { IOKitSMCTransport t; }), SMCError::serviceNotFound());
    EXPECT_EQ(errorOf([] { SMCKernelBridge::open(); }), SMCError::serviceNotFound());
}

TEST_F(IOKitTransportTest, RefusedOpenCarriesTheReturnCode) {
    service->openResult = kIOReturnNotPrivileged;
    iokit::ScopedServiceRegistration reg("AppleSMC", service);
    EXPECT_EQ(errorOf([] { IOKitSMCTransport t; }), SMCError::openFailed(kIOReturnNotPrivileged));
    EXPECT_EQ(errorOf([] { IOKitSMCTransport t; }).description(), "openFailed(-536870207)");
    EXPECT_EQ(service->lastType.load(), 0u);
}

TEST_F(IOKitTransportTest, CallUsesSelectorTwoWithEightyByteRecords) {
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
    EXPECT_EQ(client->lastSelector(), 2u);
    EXPECT_EQ(client->lastInputSize(), 80u);
    EXPECT_EQ(client->lastOutputCapacity(), 80u);
    const SMCParamStruct sent = client->lastInput();
    EXPECT_EQ(std::memcmp(&sent, &request, sizeof sent), 0);
}

TEST_F(IOKitTransportTest, FailedOrShortCallsFailAndAnyResultByteIsASuccessfulExchange) {
    iokit::ScopedServiceRegistration reg("AppleSMC", service);
    IOKitSMCTransport transport;
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
    EXPECT_EQ(client->calls(), 2 * kPerThread);
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
    EXPECT_EQ(service->current.lock()->calls(), 2);
}

}  // namespace
}  // namespace quorvane
