#include "platform/bootstrap/line_socket.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <system_error>
#include <thread>

#include "platform/iokit/socket_io.hpp"

namespace quorvane::bootstrap {

namespace {

constexpr int kRequestTimeoutMilliseconds = 1000;

class FdGuard {
public:
    explicit FdGuard(int fd) : fd_(fd) {}
    ~FdGuard() {
        if (fd_ >= 0) ::close(fd_);
    }
    int get() const { return fd_; }

private:
    int fd_;
};

bool sendText(int fd, const std::string& text) {
    return iokit::socket_io::sendAll(fd, std::vector<std::uint8_t>(text.begin(), text.end()));
}

}  // namespace

std::optional<std::string> askLine(const std::string& path, const std::string& request, std::size_t maxReplyBytes,
                                   int timeoutMilliseconds) {
    FdGuard fd(iokit::socket_io::connectUnix(path));
    if (fd.get() < 0) return std::nullopt;
    timeval tv{timeoutMilliseconds / 1000, (timeoutMilliseconds % 1000) * 1000};
    ::setsockopt(fd.get(), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    if (!sendText(fd.get(), request + "\n")) return std::nullopt;
    std::string reply;
    char chunk[4096];
    while (reply.find('\n') == std::string::npos) {
        const ssize_t n = ::recv(fd.get(), chunk, sizeof chunk, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0 || reply.size() + static_cast<std::size_t>(n) > maxReplyBytes) return std::nullopt;
        reply.append(chunk, static_cast<std::size_t>(n));
    }
    reply.resize(reply.find('\n'));
    return reply;
}

struct LineSocketServer::Impl {
    std::string path;
    Answer answer;
    std::size_t maxRequestBytes = 0;
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
        std::string chunk(maxRequestBytes, '\0');
        while (line.find('\n') == std::string::npos) {
            pollfd p{fd, POLLIN, 0};
            const int rc = ::poll(&p, 1, kRequestTimeoutMilliseconds);
            if (rc < 0 && errno == EINTR) continue;
            if (rc <= 0) return;
            const ssize_t n = ::recv(fd, chunk.data(), chunk.size(), MSG_DONTWAIT);
            if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
            if (n <= 0 || line.size() + static_cast<std::size_t>(n) > maxRequestBytes) return;
            line.append(chunk.data(), static_cast<std::size_t>(n));
        }
        std::optional<std::string> reply;
        try {
            reply = answer(line.substr(0, line.find('\n')));
        } catch (...) {
            return;
        }
        if (!reply) return;
        timeval tv{kRequestTimeoutMilliseconds / 1000, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
        sendText(fd, *reply + "\n");
    }

    void closeFds() {
        for (int* fd : {&listenFd, &wake[0], &wake[1]}) {
            if (*fd >= 0) ::close(*fd);
            *fd = -1;
        }
    }
};

LineSocketServer::LineSocketServer(std::string path, Answer answer, std::size_t maxRequestBytes)
    : impl_(std::make_unique<Impl>()) {
    impl_->path = std::move(path);
    impl_->answer = std::move(answer);
    impl_->maxRequestBytes = maxRequestBytes;
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (!impl_->answer || maxRequestBytes == 0 || impl_->path.empty() || impl_->path.size() >= sizeof addr.sun_path)
        throw std::system_error(EINVAL, std::generic_category(), "socket \"" + impl_->path + "\"");
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

LineSocketServer::~LineSocketServer() {
    const char byte = 1;
    while (::write(impl_->wake[1], &byte, 1) < 0 && errno == EINTR) {
    }
    if (impl_->thread.joinable()) impl_->thread.join();
    impl_->closeFds();
    ::unlink(impl_->path.c_str());
}

}  // namespace quorvane::bootstrap
