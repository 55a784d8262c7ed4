// The virtual Mac's side of the HID socket: one connection at a time, one request line each.
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <system_error>
#include <thread>

#include "platform/hid/hid.hpp"
#include "platform/iokit/socket_io.hpp"

namespace quorvane::hid {

namespace {
constexpr std::size_t kMaxRequestBytes = 64;
constexpr int kRequestTimeoutMilliseconds = 1000;
}  // namespace

struct SocketEventSystemServer::Impl {
    std::string path;
    std::shared_ptr<EventSystem> system;
    int listenFd = -1;
    int wake[2] = {-1, -1};
    std::thread thread;

    void run() {
        for (;;) {
            pollfd fds[2] = {{listenFd, POLLIN, 0}, {wake[0], POLLIN, 0}};
            if (::poll(fds, 2, -1) < 0) {
                if (errno == EINTR) continue;
                return;
            }
            if (fds[1].revents != 0) return;
            const int fd = ::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0) {
                // Out of descriptors: back off rather than spin on the pending peer.
                pollfd w{wake[0], POLLIN, 0};
                if (::poll(&w, 1, 50) > 0) return;
                continue;
            }
            serve(fd);
            ::close(fd);
        }
    }

    // A silent or chatty peer costs at most the request deadline.
    void serve(int fd) {
        std::string line;
        char chunk[kMaxRequestBytes];
        while (line.find('\n') == std::string::npos) {
            pollfd p{fd, POLLIN, 0};
            const int rc = ::poll(&p, 1, kRequestTimeoutMilliseconds);
            if (rc < 0 && errno == EINTR) continue;
            if (rc <= 0) return;
            const ssize_t n = ::recv(fd, chunk, sizeof chunk, MSG_DONTWAIT);
            if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
            if (n <= 0 || line.size() + static_cast<std::size_t>(n) > kMaxRequestBytes) return;
            line.append(chunk, static_cast<std::size_t>(n));
        }
        if (line.substr(0, line.find('\n')) != "services") return;
        std::string reply;
        try {
            reply = encodeServices(system->services()) + "\n";
        } catch (...) {
            return;
        }
        timeval tv{kRequestTimeoutMilliseconds / 1000, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
        iokit::socket_io::sendAll(fd, std::vector<std::uint8_t>(reply.begin(), reply.end()));
    }

    void closeFds() {
        for (int* fd : {&listenFd, &wake[0], &wake[1]}) {
            if (*fd >= 0) ::close(*fd);
            *fd = -1;
        }
    }
};

SocketEventSystemServer::SocketEventSystemServer(std::string path, std::shared_ptr<EventSystem> system)
    : impl_(std::make_unique<Impl>()) {
    impl_->path = std::move(path);
    impl_->system = std::move(system);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (!impl_->system || impl_->path.empty() || impl_->path.size() >= sizeof addr.sun_path)
        throw std::system_error(EINVAL, std::generic_category(), "HID socket \"" + impl_->path + "\"");
    std::memcpy(addr.sun_path, impl_->path.data(), impl_->path.size());
    try {
        if (::pipe2(impl_->wake, O_CLOEXEC) != 0) throw std::system_error(errno, std::generic_category(), "pipe2");
        impl_->listenFd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (impl_->listenFd < 0) throw std::system_error(errno, std::generic_category(), "socket");
        ::unlink(impl_->path.c_str());
        if (::bind(impl_->listenFd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0 ||
            ::listen(impl_->listenFd, 16) != 0)
            throw std::system_error(errno, std::generic_category(), "bind \"" + impl_->path + "\"");
        impl_->thread = std::thread([impl = impl_.get()] { impl->run(); });
    } catch (...) {
        impl_->closeFds();
        throw;
    }
}

SocketEventSystemServer::~SocketEventSystemServer() {
    const char byte = 1;
    while (::write(impl_->wake[1], &byte, 1) < 0 && errno == EINTR) {
    }
    if (impl_->thread.joinable()) impl_->thread.join();
    impl_->closeFds();
    ::unlink(impl_->path.c_str());
}

}  // namespace quorvane::hid
