// Listener and connections over real Unix sockets in a private bootstrap directory: calls,
// current connection, admission, protocol violations and every way a connection ends.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/bootstrap/bootstrap.hpp"
#include "platform/xpc/code_signing_requirement.hpp"
#include "platform/xpc/connection.hpp"
#include "platform/xpc/identity_source.hpp"
#include "platform/xpc/listener.hpp"

namespace quorvane::xpc {
namespace {

using namespace std::chrono_literals;

const std::string kService = "com.quorvane.test.xpc";
const std::string kRequirement =
    "anchor apple generic and identifier \"com.quorvane.app\" and certificate leaf[subject.OU] = \"K7Q2M5ZR1T\"";
const CodeIdentity kTheApp{true, true, "com.quorvane.app", "K7Q2M5ZR1T"};
constexpr auto kCallTimeout = 10s;

// Real sockets and threads: wait generously for something that must happen.
template <class Predicate>
bool eventually(Predicate predicate) {
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    while (!predicate()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

Interface testInterface() {
    return Interface({
        {"add:to:reply:", {ValueKind::int64, ValueKind::int64}, {ValueKind::int64}},
        {"whoAmIWithReply:", {}, {ValueKind::int64}},
        {"holdWithReply:", {}, {ValueKind::errorOrNil}},
        {"replyTwiceWithReply:", {}, {ValueKind::string}},
        {"wrongShapeWithReply:", {}, {ValueKind::int64}},
        {"failWithReply:", {}, {ValueKind::float64, ValueKind::errorOrNil}},
    });
}

class TestObject final : public ExportedObject {
public:
    void invoke(const std::string& selector, const std::vector<Value>& arguments, ReplyBlock reply) override {
        ++invocations;
        auto current = Connection::current();
        {
            std::lock_guard lock(mutex);
            if (current && Connection::currentIdentity() == current->identity()) {
                seenIdentities.push_back(current->identity());
            }
        }
        if (selector == "add:to:reply:") {
            reply({std::get<std::int64_t>(arguments[0]) + std::get<std::int64_t>(arguments[1])});
        } else if (selector == "whoAmIWithReply:") {
            reply({static_cast<std::int64_t>(Connection::currentIdentity().value_or(0))});
        } else if (selector == "holdWithReply:") {
            std::lock_guard lock(mutex);
            held.push_back(std::move(reply));
        } else if (selector == "replyTwiceWithReply:") {
            ReplyBlock copy = reply;
            reply({std::string("first")});
            copy({std::string("second")});
        } else if (selector == "wrongShapeWithReply:") {
            reply({std::string("not a number")});
        } else if (selector == "failWithReply:") {
            reply({0.0, ErrorObject{"com.quorvane.SMCService", 1003, {{kLocalizedDescriptionKey, "boom"}}}});
        }
        ++completed;
    }

    std::vector<ReplyBlock> takeHeld() {
        std::lock_guard lock(mutex);
        return std::move(held);
    }

    std::atomic<int> invocations{0};
    std::atomic<int> completed{0};
    std::mutex mutex;
    std::vector<std::uint64_t> seenIdentities;  // guarded by mutex
    std::vector<ReplyBlock> held;               // guarded by mutex
};

// Records what happened to each server-side connection.
struct ServerSide {
    std::uint64_t identity = 0;
    std::atomic<int> invalidations{0};
    std::atomic<int> interruptions{0};
    std::mutex mutex;
    std::vector<std::string> events;  // guarded by mutex
};

class TestDelegate final : public ListenerDelegate {
public:
    explicit TestDelegate(std::shared_ptr<TestObject> object) : object_(std::move(object)) {}

    bool shouldAcceptNewConnection(Listener&, std::shared_ptr<Connection> connection) override {
        auto side = std::make_shared<ServerSide>();
        side->identity = connection->identity();
        {
            std::lock_guard lock(mutex_);
            sides_.push_back(side);
        }
        if (requireApp) connection->setCodeSigningRequirement(kRequirement);
        connection->setExportedInterface(testInterface());
        connection->setExportedObject(object_);
        std::weak_ptr<ServerSide> weak = side;
        connection->setInvalidationHandler([weak] {
            if (auto s = weak.lock()) {
                std::lock_guard lock(s->mutex);
                s->events.push_back("invalidated");
                ++s->invalidations;
            }
        });
        connection->setInterruptionHandler([weak] {
            if (auto s = weak.lock()) {
                std::lock_guard lock(s->mutex);
                s->events.push_back("interrupted");
                ++s->interruptions;
            }
        });
        if (!accept) return false;
        connection->resume();
        return true;
    }

    std::vector<std::shared_ptr<ServerSide>> sides() {
        std::lock_guard lock(mutex_);
        return sides_;
    }
    std::size_t count() { return sides().size(); }
    std::shared_ptr<ServerSide> side(std::size_t i) { return sides().at(i); }

    std::atomic<bool> requireApp{true};
    std::atomic<bool> accept{true};

private:
    std::shared_ptr<TestObject> object_;
    std::mutex mutex_;
    std::vector<std::shared_ptr<ServerSide>> sides_;  // guarded by mutex_
};

struct ClientEnd {
    std::shared_ptr<Connection> connection;
    std::atomic<int> invalidations{0};
    std::atomic<int> interruptions{0};
};

class InjectedIdentity final : public IdentitySource {
public:
    explicit InjectedIdentity(CodeIdentity identity) : identity_(std::move(identity)) {}
    CodeIdentity identityOf(const PeerCredentials&, const CodeIdentity&) override { return identity_; }

private:
    const CodeIdentity identity_;
};

class XpcConnection : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/qv-xpc-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        root_ = pattern;
        // A directory the listener must create itself.
        ::setenv("QUORVANE_BOOTSTRAP", (root_ + "/bootstrap").c_str(), 1);
        setIdentitySource(std::make_shared<InjectedIdentity>(kTheApp));
        listener_ = std::make_unique<Listener>(kService);
        listener_->setDelegate(&delegate_);
        listener_->resume();
    }

    void TearDown() override {
        for (auto& client : clients_) client->connection->invalidate();
        for (auto& client : clients_) {
            EXPECT_TRUE(eventually([&] { return client->invalidations.load() > 0; }));
        }
        clients_.clear();
        listener_.reset();
        setIdentitySource(nullptr);
        setLocalCodeIdentity(CodeIdentity{});
        std::filesystem::remove_all(root_);
    }

    ClientEnd& connect() {
        auto client = std::make_unique<ClientEnd>();
        client->connection = Connection::connectToMachService(kService);
        ClientEnd* raw = client.get();
        client->connection->setInvalidationHandler([raw] { ++raw->invalidations; });
        client->connection->setInterruptionHandler([raw] { ++raw->interruptions; });
        client->connection->resume();
        clients_.push_back(std::move(client));
        return *raw;
    }

    static sockaddr_un serviceAddress() {
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::string path = bootstrap::socketPath(kService);
        std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
        return address;
    }
    // A socket speaking raw bytes, for peers that misbehave.
    int rawSocket() {
        int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const sockaddr_un address = serviceAddress();
        EXPECT_EQ(::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
        return fd;
    }
    static std::vector<std::uint8_t> framed(const Frame& frame) {
        auto payload = encodeFrame(frame).value();
        std::vector<std::uint8_t> bytes(kFrameHeaderSize);
        writeFrameHeader(payload.size(), std::span<std::uint8_t, kFrameHeaderSize>(bytes.data(), kFrameHeaderSize));
        bytes.insert(bytes.end(), payload.begin(), payload.end());
        return bytes;
    }
    static void sendFrame(int fd, const Frame& frame) {
        const auto bytes = framed(frame);
        ASSERT_EQ(::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL), static_cast<ssize_t>(bytes.size()));
    }

    std::optional<std::int64_t> add(ClientEnd& client, std::int64_t a, std::int64_t b) {
        auto reply = client.connection->callSync("add:to:reply:", {a, b}, kCallTimeout);
        if (!reply || reply->size() != 1) return std::nullopt;
        return std::get<std::int64_t>(reply->at(0));
    }

    std::string root_;
    std::shared_ptr<TestObject> object_ = std::make_shared<TestObject>();
    TestDelegate delegate_{object_};
    std::unique_ptr<Listener> listener_;
    std::vector<std::unique_ptr<ClientEnd>> clients_;
};

TEST_F(XpcConnection, CallRoundTripsThroughTheExportedObject) {
    auto& client = connect();
    EXPECT_EQ(add(client, 40, 2), 42);
    EXPECT_EQ(add(client, -5, 3), -2);
    auto failed = client.connection->callSync("failWithReply:", {}, kCallTimeout);
    ASSERT_TRUE(failed.has_value());
    ASSERT_EQ(failed->size(), 2u);
    const auto& error = std::get<ErrorObject>(failed->at(1));
    EXPECT_EQ(error.domain, "com.quorvane.SMCService");
    EXPECT_EQ(error.code, 1003);
    EXPECT_EQ(error.userInfo.at(kLocalizedDescriptionKey), "boom");
}

TEST_F(XpcConnection, CurrentConnectionIsTheDeliveringOneAndDistinctPerConnection) {
    auto& first = connect();
    auto& second = connect();
    auto a = first.connection->callSync("whoAmIWithReply:", {}, kCallTimeout);
    auto b = second.connection->callSync("whoAmIWithReply:", {}, kCallTimeout);
    auto again = first.connection->callSync("whoAmIWithReply:", {}, kCallTimeout);
    ASSERT_TRUE(a && b && again);
    EXPECT_NE(a->at(0), b->at(0));
    EXPECT_EQ(a->at(0), again->at(0));
    ASSERT_EQ(delegate_.count(), 2u);
    EXPECT_EQ(std::get<std::int64_t>(a->at(0)), static_cast<std::int64_t>(delegate_.side(0)->identity));
    EXPECT_EQ(std::get<std::int64_t>(b->at(0)), static_cast<std::int64_t>(delegate_.side(1)->identity));
    {
        std::lock_guard lock(object_->mutex);
        EXPECT_EQ(object_->seenIdentities.size(), 3u);  // current() was set inside every invoke
    }
    EXPECT_EQ(Connection::current(), nullptr);
    EXPECT_FALSE(Connection::currentIdentity().has_value());
}

TEST_F(XpcConnection, InvocationsOutsideTheInterfaceCloseOnlyThatConnection) {
    const std::vector<std::pair<std::string, std::vector<Value>>> invalid = {
        {"rm:rf:", {std::int64_t{1}}},                   // unknown selector
        {"add:to:reply:", {std::int64_t{1}, 2.0}},       // wrong argument type
        {"add:to:reply:", {std::int64_t{1}}},            // wrong argument count
    };
    auto& good = connect();
    for (const auto& [selector, arguments] : invalid) {
        auto& bad = connect();
        EXPECT_FALSE(bad.connection->callSync(selector, arguments, kCallTimeout).has_value()) << selector;
        EXPECT_TRUE(eventually([&] { return bad.invalidations.load() == 1; }));
        EXPECT_EQ(add(good, 1, 2), 3);
    }
    EXPECT_EQ(object_->invocations.load(), 3);  // only the good ones
}

TEST_F(XpcConnection, RejectedOrRefusedPeerIsNeverInvokedAndItsInvalidationHandlerRuns) {
    for (const CodeIdentity& identity : {CodeIdentity{}, CodeIdentity{true, true, "com.quorvane.app", "OTHERTEAM1"},
                                         CodeIdentity{true, false, "com.quorvane.app", "K7Q2M5ZR1T"}}) {
        setIdentitySource(std::make_shared<InjectedIdentity>(identity));
        auto& client = connect();
        EXPECT_FALSE(add(client, 1, 1).has_value());
        EXPECT_TRUE(eventually([&] { return client.invalidations.load() == 1; }));
    }
    setIdentitySource(std::make_shared<InjectedIdentity>(kTheApp));
    delegate_.accept = false;  // the right peer, refused by the delegate
    auto& refused = connect();
    EXPECT_FALSE(add(refused, 1, 1).has_value());
    EXPECT_TRUE(eventually([&] { return refused.invalidations.load() == 1; }));
    ASSERT_EQ(delegate_.count(), 4u);
    for (const auto& side : delegate_.sides()) {
        EXPECT_TRUE(eventually([&] { return side->invalidations.load() == 1; }));
    }
    EXPECT_EQ(object_->invocations.load(), 0);

    delegate_.accept = true;
    EXPECT_EQ(add(connect(), 1, 1), 2);
}

TEST_F(XpcConnection, ProductionSourceBelievesADeclarationFromTheDirectoryGroup) {
    setIdentitySource(nullptr);
    // This process owns the bootstrap directory it created, so its declaration counts.
    auto& unsignedClient = connect();
    EXPECT_FALSE(add(unsignedClient, 1, 1).has_value());
    setLocalCodeIdentity(kTheApp);
    EXPECT_EQ(add(connect(), 1, 1), 2);
    setLocalCodeIdentity(CodeIdentity{true, true, "com.quorvane.app", "WRONGTEAM0"});
    EXPECT_FALSE(add(connect(), 1, 1).has_value());
    EXPECT_EQ(object_->invocations.load(), 1);
}

// However a peer leaves, the server side is invalidated exactly once; only an abnormal end (a reset,
// or gone in the middle of a frame) interrupts it first.
TEST_F(XpcConnection, PeerLeavingInvalidatesOnceAndInterruptsOnlyWhenAbnormal) {
    auto& client = connect();
    ASSERT_EQ(add(client, 1, 1), 2);
    client.connection->invalidate();
    client.connection->invalidate();
    EXPECT_TRUE(eventually([&] { return delegate_.side(0)->invalidations.load() == 1; }));
    for (bool midFrame : {false, true}) {
        SCOPED_TRACE(midFrame ? "in the middle of a frame" : "with a reply unread (reset)");
        const int completedBefore = object_->completed.load();
        int fd = rawSocket();
        sendFrame(fd, HelloFrame{kFrameProtocolVersion, kTheApp});
        if (midFrame) {
            const std::uint8_t partial[] = {100, 0, 0, 0, 2, 1};
            ASSERT_EQ(::send(fd, partial, sizeof partial, MSG_NOSIGNAL), static_cast<ssize_t>(sizeof partial));
        } else {
            // Closing with the reply unread resets the connection, as a killed client does.
            sendFrame(fd, InvokeFrame{1, "add:to:reply:", {std::int64_t{1}, std::int64_t{2}}});
            ASSERT_TRUE(eventually([&] { return object_->completed.load() == completedBefore + 1; }));
        }
        const std::size_t index = midFrame ? 2 : 1;  // wait until the delegate has seen the hello
        ASSERT_TRUE(eventually([&] { return delegate_.count() > index; }));
        ::close(fd);
        ASSERT_TRUE(eventually([&] { return delegate_.side(index)->invalidations.load() == 1; }));
    }
    EXPECT_TRUE(eventually([&] { return client.invalidations.load() == 1; }));
    listener_.reset();  // joins every connection thread: no late second call can hide
    const std::vector<std::string> abnormal{"interrupted", "invalidated"};
    const std::vector<std::vector<std::string>> expected{{"invalidated"}, abnormal, abnormal};
    ASSERT_EQ(delegate_.count(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) {
        auto side = delegate_.side(i);
        std::lock_guard lock(side->mutex);
        EXPECT_EQ(side->events, expected[i]) << "connection " << i;
    }
    EXPECT_EQ(client.invalidations.load(), 1);
    EXPECT_EQ(client.interruptions.load(), 0);
}

TEST_F(XpcConnection, RepliesAfterTheClientLeftAreDropped) {
    auto& client = connect();
    std::atomic<int> errors{0};
    client.connection->remoteCall("holdWithReply:", {}, [](std::vector<Value>) { FAIL() << "no reply expected"; },
                                  [&](ErrorObject) { ++errors; });
    ASSERT_TRUE(eventually([&] { return object_->completed.load() == 1; }));
    client.connection->invalidate();
    EXPECT_TRUE(eventually([&] { return errors.load() == 1; }));
    EXPECT_TRUE(eventually([&] { return delegate_.side(0)->invalidations.load() == 1; }));
    auto held = object_->takeHeld();
    ASSERT_EQ(held.size(), 1u);
    held[0]({std::monostate{}});  // connection ended, object still alive
    listener_.reset();
    held[0]({std::monostate{}});  // connection object gone
    std::thread([reply = held[0]] { reply({std::monostate{}}); }).join();
    EXPECT_EQ(errors.load(), 1);
}

// A reply block sends once, and only a reply of the declared shape: a second call would be a reply
// nobody asked for, a wrong shape would reach the client as garbage.
TEST_F(XpcConnection, ReplyBlocksSendOnlyTheirFirstCallAndOnlyTheDeclaredShape) {
    auto& client = connect();
    auto reply = client.connection->callSync("replyTwiceWithReply:", {}, kCallTimeout);
    ASSERT_TRUE(reply.has_value());
    EXPECT_EQ(std::get<std::string>(reply->at(0)), "first");
    EXPECT_EQ(add(client, 1, 2), 3);
    EXPECT_EQ(client.invalidations.load(), 0);

    std::atomic<int> replies{0};
    std::atomic<int> errors{0};
    client.connection->remoteCall("wrongShapeWithReply:", {}, [&](std::vector<Value>) { ++replies; },
                                  [&](ErrorObject) { ++errors; });
    EXPECT_TRUE(eventually([&] { return errors.load() == 1; }));
    EXPECT_EQ(replies.load(), 0);
}

TEST_F(XpcConnection, MalformedStreamsCloseOnlyThatConnectionWithoutAnInterruption) {
    const auto invokeFirst = framed(InvokeFrame{1, "add:to:reply:", {std::int64_t{1}, std::int64_t{2}}});
    std::vector<std::uint8_t> oversize = framed(HelloFrame{kFrameProtocolVersion, kTheApp});
    oversize.resize(oversize.size() + kFrameHeaderSize);
    writeFrameHeader(kMaxFramePayload + 1,
                     std::span<std::uint8_t, kFrameHeaderSize>(oversize.data() + oversize.size() - 4, kFrameHeaderSize));
    const std::vector<std::vector<std::uint8_t>> streams = {
        {5, 0, 0, 0, 9, 9, 9, 9, 9},  // unknown frame type
        {1, 0, 0, 0, 3},              // a reply with no serial
        invokeFirst,                  // an invoke before the hello
        oversize,                     // a header announcing more than a frame may hold
    };
    auto& good = connect();
    for (const auto& bytes : streams) {
        int fd = rawSocket();
        ASSERT_EQ(::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL), static_cast<ssize_t>(bytes.size()));
        std::uint8_t byte = 0;
        EXPECT_EQ(::recv(fd, &byte, 1, 0), 0);  // the server hung up
        ::close(fd);
        auto side = delegate_.side(delegate_.count() - 1);
        EXPECT_TRUE(eventually([&] { return side->invalidations.load() == 1; }));
        EXPECT_EQ(side->interruptions.load(), 0);
    }
    EXPECT_EQ(object_->invocations.load(), 0);
    EXPECT_EQ(add(good, 1, 2), 3);
}

// Calls fail: a pending one when the server goes away, a new one on an ended connection (at once,
// inline) and on a missing service.
TEST_F(XpcConnection, CallsFailWhenTheServerGoesAwayOnAnEndedConnectionAndOnAMissingService) {
    auto& client = connect();
    std::mutex mutex;
    std::vector<ErrorObject> errors;
    client.connection->remoteCall("holdWithReply:", {}, [](std::vector<Value>) { FAIL() << "no reply expected"; },
                                  [&](ErrorObject error) {
                                      std::lock_guard lock(mutex);
                                      errors.push_back(std::move(error));
                                  });
    ASSERT_TRUE(eventually([&] { return object_->completed.load() == 1; }));
    listener_.reset();
    EXPECT_TRUE(eventually([&] { return client.invalidations.load() == 1; }));
    std::lock_guard lock(mutex);
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0].domain, kCocoaErrorDomain);
    EXPECT_EQ(errors[0].code, kConnectionInvalid);
    EXPECT_TRUE(errors[0].userInfo.count(kLocalizedDescriptionKey));
    client.connection->remoteCall("add:to:reply:", {std::int64_t{1}, std::int64_t{1}}, [](std::vector<Value>) {},
                                  [&](ErrorObject error) { errors.push_back(std::move(error)); });
    EXPECT_EQ(errors.size(), 2u) << "fails at once, inline";

    auto connection = Connection::connectToMachService("com.quorvane.nobody");
    std::atomic<int> invalidations{0};
    connection->setInvalidationHandler([&] { ++invalidations; });
    connection->resume();
    EXPECT_FALSE(connection->callSync("add:to:reply:", {std::int64_t{1}, std::int64_t{1}}, kCallTimeout).has_value());
    EXPECT_TRUE(eventually([&] { return invalidations.load() == 1; }));
}

TEST_F(XpcConnection, ListenerReplacesAStaleSocketButNotALiveOne) {
    EXPECT_THROW(Listener(kService).resume(), std::system_error);
    EXPECT_EQ(add(connect(), 1, 1), 2);
    listener_.reset();
    // Leave a socket file behind that nobody listens on.
    int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    const sockaddr_un address = serviceAddress();
    ASSERT_EQ(::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
    ::close(fd);
    listener_ = std::make_unique<Listener>(kService);
    listener_->setDelegate(&delegate_);
    listener_->resume();
    EXPECT_EQ(add(connect(), 1, 2), 3);
}

// --- Budgets ------------------------------------------------------------------------------------

int openDescriptors() {
    int n = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) ++n;
    return n;
}

TEST_F(XpcConnection, UnadmittedPeersAreCappedPerUserAndDroppedAtTheirFirstFrameDeadline) {
    const int held = static_cast<int>(Listener::kMaxUnadmittedPerUser);
    std::vector<int> silent;
    for (int i = 0; i < held + 4; ++i) silent.push_back(rawSocket());
    const auto start = std::chrono::steady_clock::now();
    std::vector<double> closedAfter;
    for (int fd : silent) {
        std::uint8_t byte = 0;
        EXPECT_EQ(::recv(fd, &byte, 1, 0), 0);
        closedAfter.push_back(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
        ::close(fd);
    }
    const double deadline = std::chrono::duration<double>(Connection::kFirstFrameDeadline).count();
    EXPECT_GE(closedAfter[held - 1], deadline * 0.9) << "the admitted-to-wait ones get their full deadline";
    EXPECT_EQ(delegate_.count(), static_cast<std::size_t>(held)) << "the others were never handed to the delegate";
    EXPECT_EQ(add(connect(), 1, 2), 3);
}

// Ended connections must not wait for the next successful accept to give back their
// descriptors: when the process is out of them, that accept never comes.
TEST_F(XpcConnection, EndedConnectionsGiveBackTheirDescriptorsWithoutAnotherAccept) {
    const int baseline = openDescriptors();
    for (int i = 0; i < 20; ++i) {
        auto connection = Connection::connectToMachService(kService);
        connection->resume();
        ASSERT_TRUE(connection->callSync("add:to:reply:", {std::int64_t{1}, std::int64_t{1}}, kCallTimeout));
        connection->invalidate();
    }
    EXPECT_TRUE(eventually([&] { return openDescriptors() <= baseline; })) << openDescriptors() << " > " << baseline;
}

TEST(ScopedCurrentConnection, SetsAndRestoresTheIdentityOnThisThreadOnly) {
    EXPECT_FALSE(Connection::currentIdentity().has_value());
    {
        ScopedCurrentConnection outer(7);
        EXPECT_EQ(Connection::currentIdentity(), 7u);
        EXPECT_EQ(Connection::current(), nullptr);
        {
            ScopedCurrentConnection inner(8);
            EXPECT_EQ(Connection::currentIdentity(), 8u);
            std::thread([] { EXPECT_FALSE(Connection::currentIdentity().has_value()); }).join();
        }
        EXPECT_EQ(Connection::currentIdentity(), 7u);
    }
    EXPECT_FALSE(Connection::currentIdentity().has_value());
}

}  // namespace
}  // namespace quorvane::xpc
