// Listener and connections over real Unix sockets in a private bootstrap directory: calls,
// current connection, admission, protocol violations and every way a connection ends.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "platform/bootstrap/bootstrap.hpp"
#include "platform/xpc/connection.hpp"
#include "platform/xpc/identity_source.hpp"
#include "platform/xpc/listener.hpp"

namespace quorvane::xpc {
namespace {

using namespace std::chrono_literals;
using Strings = std::vector<std::string>;
using Values = std::vector<Value>;

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

// What happened to one end of a connection or to one call, in order.
struct Events {
    void add(std::string event) { std::lock_guard lock(mutex); list.push_back(std::move(event)); }
    Strings seen() { std::lock_guard lock(mutex); return list; }
    bool becomes(const Strings& expected) { return eventually([&] { return seen() == expected; }); }
    bool endsOnce() { return eventually([&] { return std::ranges::count(seen(), std::string("invalidated")) == 1; }); }

    std::uint64_t identity = 0;  // of a server-side connection
    std::mutex mutex;
    Strings list;  // guarded by mutex
};

std::shared_ptr<Events> watch(Connection& connection) {
    auto events = std::make_shared<Events>();
    std::weak_ptr weak = events;
    connection.setInvalidationHandler([weak] { if (auto e = weak.lock()) e->add("invalidated"); });
    connection.setInterruptionHandler([weak] { if (auto e = weak.lock()) e->add("interrupted"); });
    return events;
}

// What record() writes for the error of a call on an ended connection.
const std::string kInvalidError = std::string(kCocoaErrorDomain) + " " + std::to_string(kConnectionInvalid);

// The listener's delegate, which admits connections unless told to refuse them, and the object
// they export.
class TestService final : public ListenerDelegate, public ExportedObject,
                          public std::enable_shared_from_this<TestService> {
public:
    bool shouldAcceptNewConnection(Listener&, std::shared_ptr<Connection> connection) override {
        auto side = watch(*connection);
        side->identity = connection->identity();
        {
            std::lock_guard lock(mutex);
            sides_.push_back(side);
        }
        connection->setCodeSigningRequirement(kRequirement);
        connection->setExportedInterface(Interface({
            {"add:to:reply:", {ValueKind::int64, ValueKind::int64}, {ValueKind::int64}},
            {"whoAmIWithReply:", {}, {ValueKind::int64}},
            {"holdWithReply:", {}, {ValueKind::errorOrNil}},
            {"replyTwiceWithReply:", {}, {ValueKind::string}},
            {"wrongShapeWithReply:", {}, {ValueKind::int64}},
            {"failWithReply:", {}, {ValueKind::float64, ValueKind::errorOrNil}},
        }));
        connection->setExportedObject(shared_from_this());
        const bool accepted = accept;
        if (accepted) connection->resume();
        return accepted;
    }

    void invoke(const std::string& selector, const std::vector<Value>& arguments, ReplyBlock reply) override {
        ++invocations;
        auto current = Connection::current();
        if (current && Connection::currentIdentity() == current->identity()) ++sawCurrent;
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
    std::vector<std::shared_ptr<Events>> sides() {
        std::lock_guard lock(mutex);
        return sides_;
    }

    std::atomic<bool> accept{true};
    std::atomic<int> invocations{0};
    std::atomic<int> completed{0};
    std::atomic<int> sawCurrent{0};  // invocations that saw their own connection as current
    std::mutex mutex;
    std::vector<ReplyBlock> held;                 // guarded by mutex
    std::vector<std::shared_ptr<Events>> sides_;  // server sides in accept order; guarded by mutex
};

struct Client {
    std::shared_ptr<Connection> connection;
    std::shared_ptr<Events> events;
};

std::optional<std::int64_t> call(const Client& client, const std::string& selector, std::vector<Value> arguments = {}) {
    auto reply = client.connection->callSync(selector, std::move(arguments), kCallTimeout);
    if (!reply || reply->size() != 1) return std::nullopt;
    return std::get<std::int64_t>(reply->at(0));
}
std::optional<std::int64_t> add(const Client& client, std::int64_t a, std::int64_t b) {
    return call(client, "add:to:reply:", {a, b});
}

// Starts a call whose reply and errors are recorded instead of awaited.
std::shared_ptr<Events> record(const Client& client, const std::string& selector, std::vector<Value> arguments = {}) {
    auto events = std::make_shared<Events>();
    client.connection->remoteCall(
        selector, std::move(arguments), [events](std::vector<Value>) { events->add("reply"); },
        [events](ErrorObject e) {
            events->add(e.userInfo.count(kLocalizedDescriptionKey) ? e.domain + " " + std::to_string(e.code) : "bare");
        });
    return events;
}

struct InjectedIdentity final : IdentitySource {
    explicit InjectedIdentity(CodeIdentity identity) : identity(std::move(identity)) {}
    CodeIdentity identityOf(const PeerCredentials&, const CodeIdentity&) override { return identity; }
    const CodeIdentity identity;
};

class XpcConnection : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_NE(::mkdtemp(root_.data()), nullptr);
        // A directory the listener must create itself.
        ::setenv("QUORVANE_BOOTSTRAP", (root_ + "/bootstrap").c_str(), 1);
        setIdentitySource(std::make_shared<InjectedIdentity>(kTheApp));
        startListener();
    }

    void TearDown() override {
        for (auto& client : clients_) client.connection->invalidate();
        for (auto& client : clients_) EXPECT_TRUE(client.events->endsOnce());
        clients_.clear();
        listener_.reset();
        setIdentitySource(nullptr);
        setLocalCodeIdentity(CodeIdentity{});
        std::filesystem::remove_all(root_);
    }

    void startListener() {
        listener_ = std::make_unique<Listener>(kService);
        listener_->setDelegate(service_.get());
        listener_->resume();
    }

    Client connect(const std::string& service = kService) {
        Client client{Connection::connectToMachService(service), nullptr};
        client.events = watch(*client.connection);
        client.connection->resume();
        clients_.push_back(client);
        return client;
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
    static void sendBytes(int fd, const std::vector<std::uint8_t>& bytes) {
        ASSERT_EQ(::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL), static_cast<ssize_t>(bytes.size()));
    }

    std::string root_ = "/tmp/qv-xpc-XXXXXX";
    std::shared_ptr<TestService> service_ = std::make_shared<TestService>();
    std::unique_ptr<Listener> listener_;
    std::vector<Client> clients_;
};

// Replies and errors cross intact. A reply block sends once, and only a reply of the declared
// shape: a second call would be a reply nobody asked for, a wrong shape would reach the client as
// garbage.
TEST_F(XpcConnection, CallsRoundTripAndReplyBlocksSendOnlyTheirFirstCallOfTheDeclaredShape) {
    const Client client = connect();
    EXPECT_EQ(add(client, 40, 2), 42);
    EXPECT_EQ(add(client, -5, 3), -2);
    EXPECT_EQ(client.connection->callSync("failWithReply:", {}, kCallTimeout),
              (Values{0.0, ErrorObject{"com.quorvane.SMCService", 1003, {{kLocalizedDescriptionKey, "boom"}}}}));
    EXPECT_EQ(client.connection->callSync("replyTwiceWithReply:", {}, kCallTimeout), Values{std::string("first")});
    EXPECT_EQ(add(client, 1, 2), 3);
    EXPECT_EQ(client.events->seen(), Strings{});
    auto wrongShape = record(client, "wrongShapeWithReply:");
    EXPECT_TRUE(eventually([&] { return wrongShape->seen().size() == 1; }));
    EXPECT_NE(wrongShape->seen().at(0), "reply");
}

// The current connection is the one delivering, distinct per connection; a scope sets and restores
// the current identity on its own thread only.
TEST_F(XpcConnection, CurrentConnectionIsTheDeliveringOneAndBelongsToItsThread) {
    const Client first = connect(), second = connect();
    const auto a = call(first, "whoAmIWithReply:"), b = call(second, "whoAmIWithReply:");
    EXPECT_EQ(call(first, "whoAmIWithReply:"), a);
    EXPECT_NE(a, b);
    ASSERT_EQ(service_->sides().size(), 2u);
    EXPECT_EQ(a, static_cast<std::int64_t>(service_->sides().at(0)->identity));
    EXPECT_EQ(b, static_cast<std::int64_t>(service_->sides().at(1)->identity));
    EXPECT_EQ(service_->sawCurrent.load(), 3);  // current() was set inside every invoke
    EXPECT_EQ(Connection::current(), nullptr);
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

// A peer the requirement rejects or the delegate refuses is never invoked, and both ends are
// invalidated. The production source believes whatever a peer in the bootstrap directory's group
// declares; this process is one, as it created the directory.
TEST_F(XpcConnection, OnlyAdmittedPeersAreInvokedAndTheOthersAreInvalidated) {
    const auto injected = [](CodeIdentity identity) { return std::make_shared<InjectedIdentity>(identity); };
    // identity source (null: the production one), identity this process declares, delegate accepts, admitted
    const std::vector<std::tuple<std::shared_ptr<IdentitySource>, CodeIdentity, bool, bool>> rows = {
        {injected(CodeIdentity{}), kTheApp, true, false},
        {injected({true, true, "com.quorvane.app", "OTHERTEAM1"}), kTheApp, true, false},
        {injected({true, false, "com.quorvane.app", "K7Q2M5ZR1T"}), kTheApp, true, false},
        {injected(kTheApp), kTheApp, false, false},
        {injected(kTheApp), CodeIdentity{}, true, true},  // the source's word counts, not the declaration
        {nullptr, CodeIdentity{}, true, false},
        {nullptr, kTheApp, true, true},
        {nullptr, {true, true, "com.quorvane.app", "WRONGTEAM0"}, true, false},
    };
    for (std::size_t i = 0; i < rows.size(); ++i) {
        const auto& [source, declared, accept, admitted] = rows[i];
        setIdentitySource(source);
        setLocalCodeIdentity(declared);
        service_->accept = accept;
        const Client client = connect();
        EXPECT_EQ(add(client, 1, 1), admitted ? std::optional<std::int64_t>(2) : std::nullopt) << "row " << i;
        EXPECT_TRUE(admitted || (client.events->endsOnce() && service_->sides().at(i)->endsOnce())) << "row " << i;
    }
    EXPECT_EQ(service_->sides().size(), rows.size());
    EXPECT_EQ(service_->invocations.load(), 2);
}

// However a peer leaves, the server side is invalidated exactly once; only an abnormal end (a reset,
// or gone in the middle of a frame) interrupts it first.
TEST_F(XpcConnection, PeerLeavingInvalidatesOnceAndInterruptsOnlyWhenAbnormal) {
    const Client client = connect();
    ASSERT_EQ(add(client, 1, 1), 2);
    client.connection->invalidate();
    client.connection->invalidate();
    EXPECT_TRUE(service_->sides().at(0)->endsOnce());
    for (bool midFrame : {false, true}) {
        SCOPED_TRACE(midFrame ? "in the middle of a frame" : "with a reply unread (reset)");
        int fd = rawSocket();
        sendBytes(fd, framed(HelloFrame{kFrameProtocolVersion, kTheApp}));
        if (midFrame) {
            sendBytes(fd, {100, 0, 0, 0, 2, 1});
        } else {
            // Closing with the reply unread resets the connection, as a killed client does.
            sendBytes(fd, framed(InvokeFrame{1, "add:to:reply:", {std::int64_t{1}, std::int64_t{2}}}));
            ASSERT_TRUE(eventually([&] { return service_->completed.load() == 2; }));
        }
        const std::size_t index = midFrame ? 2 : 1;  // wait until the delegate has seen the hello
        ASSERT_TRUE(eventually([&] { return service_->sides().size() > index; }));
        ::close(fd);
        ASSERT_TRUE(service_->sides().at(index)->endsOnce());
    }
    EXPECT_TRUE(client.events->endsOnce());
    listener_.reset();  // joins every connection thread: no late second call can hide
    const Strings abnormal{"interrupted", "invalidated"};
    const std::vector<Strings> expected{{"invalidated"}, abnormal, abnormal};
    ASSERT_EQ(service_->sides().size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) EXPECT_EQ(service_->sides()[i]->seen(), expected[i]) << i;
    EXPECT_EQ(client.events->seen(), Strings{"invalidated"});
}

TEST_F(XpcConnection, RepliesAfterTheClientLeftAreDropped) {
    const Client client = connect();
    auto outcome = record(client, "holdWithReply:");
    ASSERT_TRUE(eventually([&] { return service_->completed.load() == 1; }));
    client.connection->invalidate();
    EXPECT_TRUE(outcome->becomes({kInvalidError}));
    EXPECT_TRUE(service_->sides().at(0)->endsOnce());
    auto held = service_->takeHeld();
    ASSERT_EQ(held.size(), 1u);
    held[0]({std::monostate{}});  // connection ended, object still alive
    listener_.reset();
    held[0]({std::monostate{}});  // connection object gone
    std::thread([reply = held[0]] { reply({std::monostate{}}); }).join();
    EXPECT_EQ(outcome->seen(), Strings{kInvalidError});
}

// Invocations outside the interface and malformed streams close only their own connection; a
// malformed stream is no interruption.
TEST_F(XpcConnection, ProtocolViolationsCloseOnlyThatConnection) {
    const std::vector<std::pair<std::string, std::vector<Value>>> invalid = {
        {"rm:rf:", {std::int64_t{1}}},                   // unknown selector
        {"add:to:reply:", {std::int64_t{1}, 2.0}},       // wrong argument type
        {"add:to:reply:", {std::int64_t{1}}},            // wrong argument count
    };
    const Client good = connect();
    for (const auto& [selector, arguments] : invalid) {
        const Client bad = connect();
        EXPECT_FALSE(bad.connection->callSync(selector, arguments, kCallTimeout).has_value()) << selector;
        EXPECT_TRUE(bad.events->endsOnce());
        EXPECT_EQ(add(good, 1, 2), 3);
    }
    std::vector<std::uint8_t> oversize = framed(HelloFrame{kFrameProtocolVersion, kTheApp});
    oversize.resize(oversize.size() + kFrameHeaderSize);
    writeFrameHeader(kMaxFramePayload + 1, std::span<std::uint8_t, kFrameHeaderSize>(oversize.end() - 4, 4));
    const std::vector<std::vector<std::uint8_t>> streams = {
        {5, 0, 0, 0, 9, 9, 9, 9, 9},  // unknown frame type
        {1, 0, 0, 0, 3},              // a reply with no serial
        framed(InvokeFrame{1, "add:to:reply:", {std::int64_t{1}, std::int64_t{2}}}),  // an invoke before the hello
        oversize,  // a header announcing more than a frame may hold
    };
    for (const auto& bytes : streams) {
        int fd = rawSocket();
        sendBytes(fd, bytes);
        std::uint8_t byte = 0;
        EXPECT_EQ(::recv(fd, &byte, 1, 0), 0);  // the server hung up
        ::close(fd);
        EXPECT_TRUE(service_->sides().back()->becomes({"invalidated"}));
    }
    EXPECT_EQ(service_->invocations.load(), 3);  // only the good ones
    EXPECT_EQ(add(good, 1, 2), 3);
}

// Calls fail: a pending one when the server goes away, a new one on an ended connection (at once,
// inline) and on a missing service.
TEST_F(XpcConnection, CallsFailWhenTheServerGoesAwayOnAnEndedConnectionAndOnAMissingService) {
    const Client client = connect();
    auto held = record(client, "holdWithReply:");
    ASSERT_TRUE(eventually([&] { return service_->completed.load() == 1; }));
    listener_.reset();
    EXPECT_TRUE(client.events->endsOnce());
    EXPECT_EQ(held->seen(), Strings{kInvalidError});
    EXPECT_EQ(record(client, "add:to:reply:", {std::int64_t{1}, std::int64_t{1}})->seen(), Strings{kInvalidError})
        << "fails at once, inline";

    const Client nobody = connect("com.quorvane.nobody");
    EXPECT_FALSE(add(nobody, 1, 1).has_value());
    EXPECT_TRUE(nobody.events->endsOnce());
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
    startListener();
    EXPECT_EQ(add(connect(), 1, 2), 3);
}

// --- Budgets ------------------------------------------------------------------------------------

std::ptrdiff_t openDescriptors() { return std::ranges::distance(std::filesystem::directory_iterator("/proc/self/fd")); }

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
    EXPECT_EQ(service_->sides().size(), Listener::kMaxUnadmittedPerUser) << "the rest never reached the delegate";
    EXPECT_EQ(add(connect(), 1, 2), 3);
}

// Ended connections must not wait for the next successful accept to give back their
// descriptors: when the process is out of them, that accept never comes.
TEST_F(XpcConnection, EndedConnectionsGiveBackTheirDescriptorsWithoutAnotherAccept) {
    const auto baseline = openDescriptors();
    for (int i = 0; i < 20; ++i) {
        auto connection = Connection::connectToMachService(kService);
        connection->resume();
        ASSERT_TRUE(connection->callSync("add:to:reply:", {std::int64_t{1}, std::int64_t{1}}, kCallTimeout));
        connection->invalidate();
    }
    EXPECT_TRUE(eventually([&] { return openDescriptors() <= baseline; })) << openDescriptors() << " > " << baseline;
}

}  // namespace
}  // namespace quorvane::xpc
