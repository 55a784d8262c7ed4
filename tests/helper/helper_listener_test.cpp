// The listener delegate in process, over real sockets in a private bootstrap directory: who gets
// through, and what each departure does to the fans. Real threads; runs under the sanitizers too.
#include <future>

#include "helper/helper_listener.hpp"
#include "platform/xpc/identity_source.hpp"
#include "platform/xpc/listener.hpp"
#include "protocol/quorvane_xpc_interface.hpp"
#include "shared/smc/helper_constants.hpp"
#include "sim/sim_test_support.hpp"
#include "tests/helper/helper_service_fixture.hpp"

namespace quorvane::testing {
namespace {

using namespace std::chrono_literals;

// Believes whatever a peer declares, so each client can be given any signature.
struct DeclaredIdentity final : xpc::IdentitySource {
    xpc::CodeIdentity identityOf(const xpc::PeerCredentials&, const xpc::CodeIdentity& declared) override {
        return declared;
    }
};

// Hands each connection to the real delegate, and keeps it so a test can reach it afterwards.
struct KeepingDelegate final : xpc::ListenerDelegate {
    HelperListener* inner = nullptr;
    std::mutex mutex;
    std::vector<std::shared_ptr<xpc::Connection>> accepted;
    bool shouldAcceptNewConnection(xpc::Listener& listener, std::shared_ptr<xpc::Connection> connection) override {
        // Kept before the delegate resumes it: once a reply has come, the connection is here.
        std::lock_guard lock(mutex);
        accepted.push_back(connection);
        return inner->shouldAcceptNewConnection(listener, std::move(connection));
    }
};

class HelperListenerTest : public RealThreadsTest {
protected:
    void SetUp() override {
        xpc::setIdentitySource(std::make_shared<DeclaredIdentity>());
        delegate = std::make_unique<HelperListener>(service);
        keeping.inner = delegate.get();
        listener = std::make_unique<xpc::Listener>(HelperConstants::machServiceName);
        listener->setDelegate(&keeping);
        listener->resume();
    }
    void TearDown() override {
        for (auto& c : clients) c->invalidate();
        listener.reset();
        keeping.accepted.clear();
        delegate.reset();
        service.reset();
        xpc::setIdentitySource(nullptr);
        xpc::setLocalCodeIdentity({});
    }

    // A client declaring `identity`, through its remote proxy.
    std::shared_ptr<QuorvaneXPCRemoteProxy> connect(const xpc::CodeIdentity& identity) {
        xpc::setLocalCodeIdentity(identity);
        auto connection = xpc::Connection::connectToMachService(HelperConstants::machServiceName);
        connection->resume();
        clients.push_back(connection);
        return std::make_shared<QuorvaneXPCRemoteProxy>(connection, [](const xpc::ErrorObject&) {});
    }
    static xpc::CodeIdentity signedApp(std::string team = HelperConstants::teamID) {
        return {true, true, HelperConstants::appBundleID, std::move(team)};
    }
    std::size_t lines(const std::string& text) const { return logs->count(log::Level::Default, "service", text); }

    sim::testing::ScopedBootstrap bootstrap;  // a private directory for the service's socket
    log::ScopedCapture logs;
    std::unique_ptr<HelperListener> delegate;
    KeepingDelegate keeping;
    std::unique_ptr<xpc::Listener> listener;
    std::vector<std::shared_ptr<xpc::Connection>> clients;
};

TEST_F(HelperListenerTest, OnlyTheSignedAppGetsThroughAndOnlyTheControllersDepartureFailsSafe) {
    auto controller = connect(signedApp());
    std::promise<OptionalError> applied;
    controller->setTargetRPM(0, 1500, [&](double, OptionalError e) { applied.set_value(std::move(e)); });
    ASSERT_EQ(applied.get_future().wait_for(10s), std::future_status::ready);
    ASSERT_EQ(mac->readKey("F0Md"), 1);
    ASSERT_TRUE(service->controllingClient());

    // Wrong team, wrong identifier, unsigned: nothing is delivered, and each departure is
    // a non-controller's.
    const xpc::CodeIdentity rejected[] = {signedApp("WRONG"), {true, true, "com.example.other", HelperConstants::teamID},
                                          {}};
    for (const auto& identity : rejected) {
        connect(identity)->setManualControl(1, true, [](OptionalError) { ADD_FAILURE() << "a rejected peer was served"; });
    }
    ASSERT_TRUE(eventually([&] { return lines(kIgnoring) == 3; })) << lines(kIgnoring);

    // An admitted client that never sent a fan command leaves.
    auto bystander = connect(signedApp());
    std::promise<std::string> version;
    bystander->helperVersion([&](std::string v) { version.set_value(std::move(v)); });
    auto answered = version.get_future();
    ASSERT_EQ(answered.wait_for(10s), std::future_status::ready);
    EXPECT_EQ(answered.get(), "1.2.2");
    clients.back()->invalidate();
    ASSERT_TRUE(eventually([&] { return lines(kIgnoring) == 4; }));
    EXPECT_EQ(mac->readKey("F0Md"), 1);
    EXPECT_EQ(mac->readKey("F1Md"), 0) << "no rejected command reached the hardware";

    clients.front()->invalidate();
    EXPECT_TRUE(eventually([&] { return lines(kFailingSafe) == 1 && mac->readKey("F0Md") == 0; }));
    EXPECT_FALSE(service->controllingClient());
}

// The handlers hold the service weakly: once everything else has let go of it, a departure
// finds it gone and does nothing.
TEST_F(HelperListenerTest, DepartureAfterTheServiceIsGoneDoesNothing) {
    auto client = connect(signedApp());
    std::promise<std::string> version;
    client->helperVersion([&](std::string v) { version.set_value(std::move(v)); });
    ASSERT_EQ(version.get_future().wait_for(10s), std::future_status::ready);
    std::weak_ptr<HelperService> weak = service;
    {
        std::lock_guard lock(keeping.mutex);
        ASSERT_EQ(keeping.accepted.size(), 1u);
        keeping.accepted.front()->setExportedObject(nullptr);  // the connection's strong reference
    }
    listener->setDelegate(nullptr);
    keeping.inner = nullptr;
    delegate.reset();
    service.reset();
    // The server thread lets go of the exported object just after the reply went out.
    ASSERT_TRUE(eventually([&] { return weak.expired(); })) << "a handler keeps the service alive";
    clients.front()->invalidate();
    listener.reset();  // waits for the server side's handlers
    EXPECT_EQ(lines(kIgnoring) + lines(kFailingSafe), 0u);
}

}  // namespace
}  // namespace quorvane::testing
