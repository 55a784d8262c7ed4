#include <gtest/gtest.h>

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <sys/un.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>
#include <thread>
#include <vector>

#include "platform/bootstrap/bootstrap.hpp"
#include "platform/fake_io_service.hpp"
#include "platform/iokit/iokit.hpp"
#include "platform/iokit/iokit_frame.hpp"
#include "platform/iokit/socket_io.hpp"

namespace quorvane::iokit {
namespace {

using testing::FakeService;
using testing::openClass;

constexpr const char* kClass = "QuorvaneTestSocketSMC";

// Each test gets its own bootstrap directory, so sockets of other tests never match.
class IOKitSocket : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_NE(::mkdtemp(dir_.data()), nullptr);
        ::setenv("QUORVANE_BOOTSTRAP", dir_.c_str(), 1);
    }
    void TearDown() override {
        registration.reset();
        server.reset();
        ::unsetenv("QUORVANE_BOOTSTRAP");
        std::filesystem::remove_all(dir_);
    }
    void startServer() { server = std::make_unique<SocketServiceServer>(bootstrap::socketPath(kClass), service); }

    std::shared_ptr<FakeService> service = std::make_shared<FakeService>();
    std::unique_ptr<SocketServiceServer> server;
    std::unique_ptr<ScopedServiceRegistration> registration;
    std::string dir_ = "/tmp/quorvane-iokit-XXXXXX";
};

std::vector<std::uint8_t> pattern(std::size_t n, std::uint8_t salt) {
    std::vector<std::uint8_t> v(n);
    for (std::size_t i = 0; i < n; ++i) v[i] = static_cast<std::uint8_t>(i * 7 + salt);
    return v;
}

// Echoes n patterned bytes through c: the call's result, or kIOReturnError when other bytes came back.
kern_return_t echo(io_connect_t c, std::size_t n = 80, std::uint8_t salt = 9) {
    const auto in = pattern(n, salt);
    std::vector<std::uint8_t> out(n);
    std::size_t size = out.size();
    const kern_return_t kr = IOConnectCallStructMethod(c, testing::kEcho, in.data(), in.size(), out.data(), &size);
    return kr == kIOReturnSuccess && out != in ? kIOReturnError : kr;
}

io_service_t matchClass() { return IOServiceGetMatchingService(kIOMainPortDefault, IOServiceMatching(kClass)); }

// For a class nobody registered, only a socket in the bootstrap directory is found; a socket file
// left by a dead server is taken over, one a live server listens on is not.
TEST_F(IOKitSocket, OnlyALiveSocketIsFoundAndOneLeftByADeadServerIsTakenOver) {
    const std::string path = bootstrap::socketPath(kClass);
    EXPECT_EQ(matchClass(), 0u);
    std::ofstream(path) << "not a socket";
    EXPECT_EQ(matchClass(), 0u);
    EXPECT_THROW((SocketServiceServer{path, service}), std::system_error) << "a file that is no socket is never taken";
    EXPECT_TRUE(std::filesystem::is_regular_file(path));
    std::filesystem::remove(path);
    EXPECT_THROW((SocketServiceServer{"/tmp/" + std::string(200, 'x'), service}), std::system_error);  // too long
    const int dead = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr{AF_UNIX, {}};
    std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path.c_str());
    ASSERT_EQ(::bind(dead, reinterpret_cast<const sockaddr*>(&addr), sizeof addr), 0);
    ::close(dead);  // the file stays, nobody listens
    ASSERT_NO_THROW(startServer());
    EXPECT_THROW((SocketServiceServer{path, service}), std::system_error);
    EXPECT_EQ(IOObjectRelease(matchClass()), kIOReturnSuccess);
    const io_connect_t c = openClass(kClass);
    EXPECT_EQ(echo(c), kIOReturnSuccess);
    IOServiceClose(c);
}

// The same IOKit calls against a service registered in this process and one served on a socket.
class IOKitTransport : public IOKitSocket, public ::testing::WithParamInterface<bool> {
protected:
    void SetUp() override {
        IOKitSocket::SetUp();
        if (GetParam()) return startServer();
        registration = std::make_unique<ScopedServiceRegistration>(kClass, service);
    }
};
INSTANTIATE_TEST_SUITE_P(Both, IOKitTransport, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "Socket" : "Registered"; });

TEST_P(IOKitTransport, OpensCarryTheirTypeAreFreshClientsAndBringBackARefusal) {
    const io_service_t svc = matchClass();
    ASSERT_NE(svc, 0u);
    io_connect_t typed = 0;
    ASSERT_EQ(IOServiceOpen(svc, mach_task_self_, 42, &typed), kIOReturnSuccess);
    EXPECT_EQ(IOObjectRelease(svc), kIOReturnSuccess);
    EXPECT_EQ(service->lastType(), 42u);
    std::set<io_connect_t> seen{typed};
    for (int i = 2; i <= 5; ++i) {
        const io_connect_t c = openClass(kClass);
        ASSERT_NE(c, 0u);
        EXPECT_TRUE(seen.insert(c).second) << "handle reused: " << c;
        int which = 0;
        std::size_t size = sizeof which;
        ASSERT_EQ(IOConnectCallStructMethod(c, testing::kWhichOpen, nullptr, 0, &which, &size), kIOReturnSuccess);
        EXPECT_EQ(which, i);
        IOServiceClose(c);
    }
    EXPECT_EQ(service->opens(), 5);
    EXPECT_EQ(IOServiceClose(typed), kIOReturnSuccess);

    service->refuseWith = kIOReturnNotPrivileged;
    kern_return_t kr = kIOReturnSuccess;
    EXPECT_EQ(openClass(kClass, &kr), 0u);
    EXPECT_EQ(kr, kIOReturnNotPrivileged);
}

TEST_P(IOKitTransport, CallsCarryTheBytesOutputSizeAndCodeUntilClosed) {
    const io_connect_t c = openClass(kClass);
    ASSERT_NE(c, 0u);
    for (std::size_t n : {std::size_t{0}, std::size_t{1}, std::size_t{80}, kMaxStructSize}) {
        const auto in = pattern(n, static_cast<std::uint8_t>(n));
        std::vector<std::uint8_t> out(n + 1, 0xEE);
        std::size_t size = n;
        ASSERT_EQ(IOConnectCallStructMethod(c, testing::kEcho, in.data(), in.size(), out.data(), &size),
                  kIOReturnSuccess);
        EXPECT_EQ(size, n);
        EXPECT_TRUE(std::equal(in.begin(), in.end(), out.begin()));
        EXPECT_EQ(out[n], 0xEE) << "wrote past the reported size";
    }
    std::array<std::uint8_t, 80> out{};
    const std::pair<std::uint32_t, kern_return_t> rows[] = {
        {testing::kShort, kIOReturnSuccess}, {testing::kFail, kIOReturnNotPrivileged}, {testing::kThrow, kIOReturnError},
        {testing::kShort, kIOReturnSuccess},  // a throwing client does not end the connection
    };
    for (const auto& [selector, result] : rows) {
        std::size_t size = out.size();
        EXPECT_EQ(IOConnectCallStructMethod(c, selector, nullptr, 0, out.data(), &size), result) << selector;
        if (selector == testing::kShort) {
            EXPECT_TRUE(size == 79 && out[78] == 0xAB && out[79] == 0) << size;
        }
    }

    EXPECT_EQ(IOConnectCallStructMethod(c, testing::kEcho, nullptr, 0, nullptr, nullptr), kIOReturnSuccess)
        << "no output asked for, no size to tell";
    EXPECT_EQ(IOServiceClose(c), kIOReturnSuccess);
    EXPECT_EQ(echo(c), kIOReturnBadArgument);
    EXPECT_EQ(IOServiceClose(c), kIOReturnBadArgument);
}

TEST_F(IOKitSocket, MalformedFrameClosesOnlyThatConnection) {
    startServer();
    const io_connect_t good = openClass(kClass);
    ASSERT_NE(good, 0u);

    const int raw = socket_io::connectUnix(bootstrap::socketPath(kClass));
    ASSERT_GE(raw, 0);
    ASSERT_TRUE(socket_io::sendAll(raw, encodeOpenRequest(OpenRequest{0})));
    std::vector<std::uint8_t> buffer;
    OpenReply reply;
    ASSERT_EQ(socket_io::readFrame(raw, buffer, decodeOpenReply, reply), socket_io::ReadResult::frame);
    ASSERT_EQ(reply.result, kIOReturnSuccess);
    // selector 1, inputSize 0xFFFFFFFF: far past the limit.
    ASSERT_TRUE(socket_io::sendAll(raw, {1, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF}));
    std::uint8_t byte;
    EXPECT_EQ(::recv(raw, &byte, 1, 0), 0) << "server should hang up on a bad frame";
    ::close(raw);
    for (int i = 0; i < 3; ++i) {  // and peers that leave in the middle of an open request
        const int half = socket_io::connectUnix(bootstrap::socketPath(kClass));
        ASSERT_GE(half, 0);
        ASSERT_TRUE(socket_io::sendAll(half, {0, 0}));
        ::close(half);
    }
    EXPECT_EQ(echo(good), kIOReturnSuccess);
    EXPECT_EQ(IOServiceClose(openClass(kClass)), kIOReturnSuccess) << "a fresh open still works";
    IOServiceClose(good);
}

// A client close or a server shutdown wakes a call blocked in the socket while the service
// call behind it is still stuck. Once the server is gone, its socket is too, and opens and calls on
// a connection that was idle fail at once.
TEST_F(IOKitSocket, CloseOrServerShutdownWakesABlockedCallAndLaterCallsFailWithoutHanging) {
    for (bool serverStops : {false, true}) {
        SCOPED_TRACE(serverStops ? "server shutdown" : "client close");
        service = std::make_shared<FakeService>();  // a released service never blocks again
        startServer();
        const io_service_t svc = matchClass();
        const io_connect_t c = openClass(kClass), idle = openClass(kClass);
        ASSERT_TRUE(svc != 0 && c != 0 && idle != 0);
        kern_return_t callResult = kIOReturnSuccess, closeResult = kIOReturnSuccess;
        std::thread caller([&] {
            std::size_t size = 0;
            callResult = IOConnectCallStructMethod(c, testing::kBlock, nullptr, 0, nullptr, &size);
        });
        service->waitUntilBlocked();
        std::thread stopper([&] {
            if (serverStops) return server.reset();
            closeResult = IOServiceClose(c);
        });
        caller.join();
        EXPECT_EQ(callResult, kIOReturnNotResponding);
        service->release();
        stopper.join();
        EXPECT_EQ(closeResult, kIOReturnSuccess);
        if (serverStops) IOServiceClose(c);
        server.reset();
        EXPECT_FALSE(std::filesystem::exists(bootstrap::socketPath(kClass)));
        EXPECT_EQ(matchClass(), 0u);
        io_connect_t again = 0;
        EXPECT_NE(IOServiceOpen(svc, mach_task_self_, 0, &again), kIOReturnSuccess);
        EXPECT_EQ(again, 0u);
        IOObjectRelease(svc);
        EXPECT_EQ(echo(idle), kIOReturnNotResponding);
        IOServiceClose(idle);
    }
}

TEST_F(IOKitSocket, ConcurrentCallsOnOneConnectionEachGetTheirOwnReply) {
    startServer();
    const io_connect_t c = openClass(kClass);
    ASSERT_NE(c, 0u);
    std::vector<std::thread> threads;
    std::atomic<int> mismatches{0};
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 50; ++i) {
                if (echo(c, 80, static_cast<std::uint8_t>(t * 50 + i)) != kIOReturnSuccess) ++mismatches;
            }
        });
    }
    for (auto& th : threads) th.join();
    EXPECT_EQ(mismatches.load(), 0);
    IOServiceClose(c);
}

// A connection that ended gives its descriptor back by the server's next accept, not at its stop.
TEST_F(IOKitSocket, EndedConnectionsGiveBackTheirDescriptors) {
    startServer();
    const auto descriptors = [] { return std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {}); };
    IOServiceClose(openClass(kClass));
    const auto before = descriptors();
    for (int i = 0; i < 20; ++i) {
        const io_connect_t c = openClass(kClass);
        EXPECT_EQ(echo(c), kIOReturnSuccess);
        IOServiceClose(c);
    }
    EXPECT_LE(descriptors(), before + 3);
}

// A connect waiting on a server's full backlog and interrupted by a signal is made again: what it
// returns is connected, never a socket that only looks like one.
TEST_F(IOKitSocket, AConnectInterruptedByASignalIsMadeAgain) {
    struct sigaction quiet {}, saved {};
    quiet.sa_handler = [](int) {};  // no SA_RESTART: the connect sees EINTR
    ASSERT_EQ(::sigaction(SIGUSR1, &quiet, &saved), 0);
    const std::string path = bootstrap::socketPath(kClass);
    const int listener = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    sockaddr_un addr{AF_UNIX, {}};
    std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path.c_str());
    ASSERT_EQ(::bind(listener, reinterpret_cast<const sockaddr*>(&addr), sizeof addr), 0);
    ASSERT_EQ(::listen(listener, 0), 0);
    std::vector<int> queued;  // fill the backlog: the next connect waits
    for (int fd; (fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0)) >= 0;) {
        queued.push_back(fd);
        if (::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) break;
    }
    int connected = -1;
    std::thread connecting([&] { connected = socket_io::connectUnix(path); });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    ::pthread_kill(connecting.native_handle(), SIGUSR1);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    std::vector<int> accepted;  // the queued one, then the connect made again
    for (int i = 0; i < 50 && accepted.size() < 2; ++i) {
        if (const int fd = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC); fd >= 0) accepted.push_back(fd);
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    connecting.join();
    ASSERT_GE(connected, 0) << std::strerror(errno);
    EXPECT_EQ(::send(connected, "x", 1, MSG_NOSIGNAL), 1) << std::strerror(errno);
    for (const int fd : queued) ::close(fd);
    for (const int fd : accepted) ::close(fd);
    ::close(connected);
    ::close(listener);
    ::sigaction(SIGUSR1, &saved, nullptr);
}

// The emergency restore opens a throwaway connection exactly when things have gone wrong, which
// may be when the process has run out of descriptors.
TEST_F(IOKitSocket, OpensSucceedWhileTheProcessIsOutOfDescriptors) {
    // The server lives in another process, as the virtual Mac does, so only this one runs out.
    const pid_t child = ::fork();
    if (child == 0) {
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        SocketServiceServer serving(bootstrap::socketPath(kClass), std::make_shared<FakeService>());
        ::pause();
        ::_exit(0);
    }
    ASSERT_GT(child, 0);
    io_connect_t first = 0;  // sockets are set aside while descriptors are plentiful
    for (int i = 0; i < 2000 && (first = openClass(kClass)) == 0; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    ASSERT_NE(first, 0u) << "the server process never served";
    IOServiceClose(first);

    rlimit saved{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
    const rlimit low{std::min<rlim_t>(saved.rlim_cur, 4096), saved.rlim_max};
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &low), 0);
    std::vector<int> filler;
    for (int fd; (fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0;) filler.push_back(fd);
    const int exhausted = errno;
    for (int wanted : {2, 1, 1}) {  // two at once, then one at a time once those are closed: the reserve refills
        std::vector<io_connect_t> opened;
        for (int i = 0; i < wanted; ++i) opened.push_back(openClass(kClass));
        for (io_connect_t c : opened) {
            EXPECT_EQ(echo(c), kIOReturnSuccess) << "of " << wanted;
            IOServiceClose(c);
        }
    }
    for (int fd : filler) ::close(fd);
    ::setrlimit(RLIMIT_NOFILE, &saved);
    ::kill(child, SIGKILL);
    ::waitpid(child, nullptr, 0);
    EXPECT_EQ(exhausted, EMFILE);
}

}  // namespace
}  // namespace quorvane::iokit
