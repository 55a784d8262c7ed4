#include "platform/iokit/socket_io.hpp"

#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <mutex>

namespace quorvane::iokit::socket_io {

namespace {

// Two: the watchdog's emergency restore and an exit-time one may run at the same moment.
constexpr std::size_t kReservedSockets = 2;

struct Reserve {
    std::mutex mutex;
    std::vector<int> sockets;  // guarded by mutex
};

Reserve& reserve() {
    static Reserve* instance = new Reserve();  // outlives static destructors
    return *instance;
}

int newSocket() {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd >= 0 || (errno != EMFILE && errno != ENFILE)) return fd;
    const int saved = errno;
    auto& r = reserve();
    std::lock_guard lock(r.mutex);
    if (r.sockets.empty()) {
        errno = saved;
        return -1;
    }
    const int spare = r.sockets.back();
    r.sockets.pop_back();
    return spare;
}

}  // namespace

void replenishReserve() {
    auto& r = reserve();
    std::lock_guard lock(r.mutex);
    while (r.sockets.size() < kReservedSockets) {
        const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0) return;
        r.sockets.push_back(fd);
    }
}

bool sendAll(int fd, const std::vector<std::uint8_t>& bytes) {
    const std::uint8_t* p = bytes.data();
    std::size_t left = bytes.size();
    while (left > 0) {
        const ssize_t n = ::send(fd, p, left, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        p += n;
        left -= static_cast<std::size_t>(n);
    }
    return true;
}

int connectUnix(const std::string& path) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof addr.sun_path) {
        errno = ENAMETOOLONG;
        return -1;
    }
    std::memcpy(addr.sun_path, path.data(), path.size());
    replenishReserve();
    const int fd = newSocket();
    if (fd < 0) return -1;
    // A signal during the wait for a full backlog ends an AF_UNIX connect with nothing under way
    // (unlike TCP): the socket is still unconnected, so the connect is made again.
    int rc;
    do {
        rc = ::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr);
    } while (rc != 0 && errno == EINTR);
    if (rc == 0) return fd;
    const int saved = errno;
    ::close(fd);
    replenishReserve();
    errno = saved;
    return -1;
}

}  // namespace quorvane::iokit::socket_io
