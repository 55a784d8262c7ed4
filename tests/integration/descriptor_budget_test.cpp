// The daemon's budgets against peers that misbehave, with real processes: a peer that stops
// reading its replies, and floods of silent, abandoned and admitted connections under a lowered
// descriptor limit. Other clients must be served throughout, the emergency restore must still
// open its own SMC connection, and descriptors and threads must come back to their baseline.
#include <linux/sockios.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "integration/daemon_harness.hpp"
#include "integration/process_probe.hpp"
#include "platform/xpc/connection.hpp"
#include "platform/xpc/listener.hpp"
#include "shared/smc/helper_constants.hpp"
#include "shared/smc/quorvane_xpc_protocol.hpp"

namespace quorvane::integration {
namespace {

using namespace std::chrono_literals;
using xpc::Value;
namespace Selector = QuorvaneXPCSelector;

const xpc::CodeIdentity kTheApp{true, true, "com.quorvane.app", "K7Q2M5ZR1T"};

// Speaks frames by hand, so it can stop reading, stay silent or vanish in the middle of a frame.
class RawPeer {
public:
    explicit RawPeer(const fs::path& path) : fd_(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
        if (fd_ >= 0) ::connect(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address);
    }
    ~RawPeer() {
        if (fd_ >= 0) ::close(fd_);
    }
    RawPeer(const RawPeer&) = delete;
    RawPeer& operator=(const RawPeer&) = delete;

    static std::vector<std::uint8_t> frame(const xpc::Frame& f) {
        auto payload = xpc::encodeFrame(f).value();
        std::vector<std::uint8_t> bytes(xpc::kFrameHeaderSize);
        xpc::writeFrameHeader(payload.size(), std::span<std::uint8_t, xpc::kFrameHeaderSize>(bytes.data(), 4));
        bytes.insert(bytes.end(), payload.begin(), payload.end());
        return bytes;
    }
    // False once the daemon has closed its end.
    bool send(const std::vector<std::uint8_t>& bytes) {
        for (std::size_t sent = 0; sent < bytes.size();) {
            const ssize_t n = ::send(fd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
            if (n <= 0) return false;
            sent += static_cast<std::size_t>(n);
        }
        return true;
    }
    bool hello() { return send(frame(xpc::HelloFrame{xpc::kFrameProtocolVersion, kTheApp})); }
    bool invoke(std::uint64_t serial, const char* selector, std::vector<Value> arguments = {}) {
        return send(frame(xpc::InvokeFrame{serial, selector, std::move(arguments)}));
    }
    // Bytes sent that the daemon has not read yet.
    int unreadByDaemon() const {
        int queued = 0;
        return ::ioctl(fd_, SIOCOUTQ, &queued) == 0 ? queued : -1;
    }

    // Reads replies until the daemon closes the connection or `timeout` passes without data.
    std::vector<xpc::ReplyFrame> readReplies(std::chrono::milliseconds timeout, bool* closed = nullptr) {
        timeval tv{static_cast<time_t>(timeout.count() / 1000), static_cast<suseconds_t>(timeout.count() % 1000 * 1000)};
        ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        std::vector<xpc::ReplyFrame> replies;
        xpc::FrameReader reader;
        for (;;) {
            std::span<const std::uint8_t> payload;
            while (reader.next(payload) == xpc::FrameReader::Status::frame) {
                auto decoded = xpc::decodeFrame(payload);
                if (decoded && std::holds_alternative<xpc::ReplyFrame>(*decoded)) {
                    replies.push_back(std::get<xpc::ReplyFrame>(std::move(*decoded)));
                }
            }
            auto space = reader.space();
            const ssize_t n = ::recv(fd_, space.data(), space.size(), 0);
            if (n <= 0) {
                if (closed) *closed = n == 0 || errno == ECONNRESET;
                return replies;
            }
            reader.commit(static_cast<std::size_t>(n));
        }
    }

private:
    int fd_;
};

class DescriptorBudgetTest : public ::testing::Test {
protected:
    void SetUp() override {
        for (const char* name : {kDaemonName, kVirtualMacName}) {
            ASSERT_TRUE(fs::exists(Harness::binary(name))) << "build " << name << " next to " << binaryDirectory();
        }
        ::setenv("QUORVANE_BOOTSTRAP", h.bootstrap().c_str(), 1);
        xpc::setLocalCodeIdentity(kTheApp);
        mac = h.startVirtualMac("intel-desktop");
        ASSERT_TRUE(mac.started()) << readFile(h.root() / "virtual-mac.log");
    }

    void TearDown() override {
        for (auto& c : clients) c->invalidate();
        daemon.kill();
        mac.kill();
        xpc::setLocalCodeIdentity(xpc::CodeIdentity{});
        const std::string log = daemonLog();
        EXPECT_EQ(log.find("Sanitizer"), std::string::npos) << log;
        EXPECT_EQ(log.find("runtime error:"), std::string::npos) << log;
    }

    // Starts the daemon with at most `descriptors` open files (0: unchanged).
    void startDaemon(rlim_t descriptors = 0) {
        daemon = h.spawnDaemon(h.root() / "daemon.log");
        if (descriptors > 0) {
            ASSERT_TRUE(setDescriptorLimit(daemon.pid(), descriptors));
        }
        ASSERT_TRUE(h.waitForDaemon(daemon)) << daemonLog();
    }

    std::string daemonLog() const { return readFile(h.root() / "daemon.log"); }

    std::shared_ptr<xpc::Connection> connect() {
        auto connection = xpc::Connection::connectToMachService(HelperConstants::machServiceName);
        connection->resume();
        clients.push_back(connection);
        return connection;
    }

    // One call and how long its reply took; nullopt when none came within 10 s.
    static std::optional<std::vector<Value>> call(xpc::Connection& c, const char* selector, std::vector<Value> args,
                                                  std::vector<double>* latencies = nullptr) {
        const auto start = SteadyClock::now();
        auto reply = c.callSync(selector, std::move(args), 10s);
        if (latencies) latencies->push_back(std::chrono::duration<double, std::milli>(SteadyClock::now() - start).count());
        return reply;
    }

    // Descriptors and threads of the idle daemon, once a first client has come and gone.
    void recordBaseline() {
        auto warmUp = connect();
        ASSERT_TRUE(call(*warmUp, Selector::heartbeat, {}));
        warmUp->invalidate();
        std::this_thread::sleep_for(300ms);
        baseFds = openDescriptors(daemon.pid());
        baseThreads = threads(daemon.pid());
        ASSERT_GT(baseFds, 0);
    }

    void expectBackToBaseline() {
        const bool back = Harness::waitUntil(10.0, [&] {
            return openDescriptors(daemon.pid()) <= baseFds && threads(daemon.pid()) <= baseThreads;
        });
        EXPECT_TRUE(back) << "descriptors " << openDescriptors(daemon.pid()) << " (baseline " << baseFds << "), threads "
                          << threads(daemon.pid()) << " (baseline " << baseThreads << ")";
    }

    // Admitted connections that then say nothing more, opened a few at a time (a burst would mostly
    // meet the cap on connections still waiting to be admitted) until the daemon is out of
    // descriptors.
    std::vector<std::unique_ptr<RawPeer>> exhaustDescriptors(rlim_t limit) {
        std::vector<std::unique_ptr<RawPeer>> peers;
        Harness::waitUntil(20.0, [&] {
            for (int i = 0; i < 4 && peers.size() < 600; ++i) {
                peers.push_back(std::make_unique<RawPeer>(h.xpcSocket()));
                peers.back()->hello();
            }
            return openDescriptors(daemon.pid()) >= static_cast<int>(limit) - 1;
        }, 20ms);
        return peers;
    }

    static std::string summary(std::vector<double> ms) {
        std::sort(ms.begin(), ms.end());
        char text[96];
        std::snprintf(text, sizeof text, "median %.2f ms, max %.2f ms over %zu calls", ms[ms.size() / 2], ms.back(),
                      ms.size());
        return text;
    }

    Harness h;
    Child mac;
    Child daemon;
    std::vector<std::shared_ptr<xpc::Connection>> clients;
    int baseFds = 0;
    int baseThreads = 0;
};

// --- A peer that stops reading ------------------------------------------------------------------

TEST_F(DescriptorBudgetTest, PeerThatStopsReadingHoldsUpNobodyAndLosesItsConnectionOnlyOnOverflow) {
    startDaemon();
    auto client = connect();
    std::vector<double> before;
    for (int i = 0; i < 20; ++i) ASSERT_TRUE(call(*client, Selector::heartbeat, {}, &before));

    // The stalled peer takes a fan, then sends heartbeats whose replies it never reads: far more
    // than its socket holds, far less than its outbox does.
    RawPeer stalled(h.xpcSocket());
    ASSERT_TRUE(stalled.hello());
    ASSERT_TRUE(stalled.invoke(1, Selector::setTargetRPM, {std::int64_t{0}, 2500.0}));
    constexpr int kBeats = 4000;
    std::vector<std::uint8_t> flood;
    for (int i = 0; i < kBeats; ++i) {
        auto f = RawPeer::frame(xpc::InvokeFrame{static_cast<std::uint64_t>(i + 2), Selector::heartbeat, {}});
        flood.insert(flood.end(), f.begin(), f.end());
    }
    ASSERT_TRUE(stalled.send(flood));
    ASSERT_TRUE(Harness::waitUntil(10.0, [&] { return stalled.unreadByDaemon() == 0; }));

    // Meanwhile every other client is answered as usual, a restore included.
    std::vector<double> during;
    for (int i = 0; i < 20; ++i) ASSERT_TRUE(call(*client, Selector::heartbeat, {}, &during));
    auto applied = call(*client, Selector::setTargetRPM, {std::int64_t{1}, 1500.0}, &during);
    ASSERT_TRUE(applied);
    EXPECT_EQ(std::get<double>(applied->at(0)), 1500.0);
    ASSERT_TRUE(call(*client, Selector::restoreAutomaticControl, {}, &during));
    EXPECT_TRUE(Harness::allAutomatic(h.state())) << h.state().dump();
    EXPECT_LT(*std::max_element(during.begin(), during.end()), 1000.0) << "a stalled peer held up the hardware queue";
    std::printf("stalled-peer test: before %s; during %s\n", summary(before).c_str(), summary(during).c_str());

    // Nothing was lost: once the peer reads, it gets every reply, in order.
    auto replies = stalled.readReplies(2s);
    ASSERT_EQ(replies.size(), static_cast<std::size_t>(kBeats + 1));
    for (std::size_t i = 0; i < replies.size(); ++i) ASSERT_EQ(replies[i].serial, i + 1);
    EXPECT_EQ(replies[0].values.at(0), Value(2500.0));

    // Overflowing the outbox ends that connection, whose departure then fails safe.
    ASSERT_TRUE(stalled.invoke(kBeats + 2, Selector::setTargetRPM, {std::int64_t{0}, 2500.0}));
    ASSERT_TRUE(Harness::waitUntil(10.0, [&] { return h.readKey("F0Md") == 1.0; }));
    for (int round = 0; round < 10 && stalled.send(flood); ++round) {
    }
    EXPECT_TRUE(Harness::waitUntil(10.0, [&] { return Harness::allAutomatic(h.state()); })) << h.state().dump();
    bool closed = false;
    replies = stalled.readReplies(5s, &closed);
    EXPECT_TRUE(closed);
    EXPECT_LT(replies.size(), 10u * kBeats);
    EXPECT_TRUE(call(*client, Selector::heartbeat, {}));
}

// --- Out of descriptors -------------------------------------------------------------------------

TEST_F(DescriptorBudgetTest, FloodsOfConnectionsNeverLockOutClientsOrTheEmergencyRestore) {
    constexpr rlim_t kLimit = 64;
    startDaemon(kLimit);
    recordBaseline();

    // Another local user opens hundreds of connections and says nothing; this user abandons
    // hundreds more, some in the middle of a frame.
    fs::permissions(h.root(), fs::perms::owner_all | fs::perms::group_exec | fs::perms::others_exec);
    fs::permissions(h.bootstrap(), fs::perms::owner_all | fs::perms::group_exec | fs::perms::others_exec);
    const std::string path = h.xpcSocket().string();
    const pid_t silent = ::fork();
    if (silent == 0) {
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (::setgid(65534) != 0 || ::setuid(65534) != 0) ::_exit(1);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
        for (int i = 0; i < 300; ++i) {
            const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
            ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address);
        }
        ::pause();
        ::_exit(0);
    }
    Child silentUser(silent);
    for (int i = 0; i < 300; ++i) {
        RawPeer abandoned(h.xpcSocket());
        if (i % 10 == 0) abandoned.send({0x40, 0x00});
    }
    // A connection of this user may find its share still taken by the abandoned ones for a moment;
    // like any client, it tries again.
    std::shared_ptr<xpc::Connection> client;
    EXPECT_TRUE(Harness::waitUntil(10.0, [&] {
        client = connect();
        return call(*client, Selector::heartbeat, {}).has_value();
    }, 100ms)) << "a client is served during the flood";
    EXPECT_LE(openDescriptors(daemon.pid()), baseFds + 2 * static_cast<int>(xpc::Listener::kMaxUnadmittedPerUser) + 4);
    silentUser.kill();
    client->invalidate();
    expectBackToBaseline();

    // Admitted connections up to the limit and beyond, then all gone: everything is released
    // although accept has been failing, and the next client is served.
    {
        auto peers = exhaustDescriptors(kLimit);
        EXPECT_GE(openDescriptors(daemon.pid()), static_cast<int>(kLimit) - 1);
    }
    expectBackToBaseline();
    client = connect();
    EXPECT_TRUE(call(*client, Selector::heartbeat, {})) << "served after the descriptors came back";

    // A fan under manual control, the daemon out of descriptors and its SMC connection hung:
    // the watchdog's emergency restore still opens its throwaway connection.
    auto applied = call(*client, Selector::setTargetRPM, {std::int64_t{0}, 2500.0});
    ASSERT_TRUE(applied);
    {
        auto peers = exhaustDescriptors(kLimit);
        ASSERT_GE(openDescriptors(daemon.pid()), static_cast<int>(kLimit) - 1);
        ASSERT_TRUE(h.ctl({"hang", "on"}).succeeded());
        const bool restored = Harness::waitUntil(30.0, [&] { return Harness::allAutomatic(h.state()); }, 20ms);
        const std::string log = daemonLog();
        EXPECT_TRUE(h.ctl({"hang", "off"}).succeeded());
        EXPECT_TRUE(restored) << h.state().dump() << "\n" << log;
        EXPECT_NE(log.find("EMERGENCY restore: completed"), std::string::npos) << log;
        EXPECT_EQ(log.find("failed to open a second AppleSMC connection"), std::string::npos) << log;
    }
    client->invalidate();
    expectBackToBaseline();
    EXPECT_TRUE(daemon.running());
}

}  // namespace
}  // namespace quorvane::integration
