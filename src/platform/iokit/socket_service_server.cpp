#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <list>
#include <mutex>
#include <stdexcept>
#include <system_error>
#include <thread>

#include "platform/iokit/iokit.hpp"
#include "platform/iokit/iokit_frame.hpp"
#include "platform/iokit/socket_io.hpp"

namespace quorvane::iokit {

namespace {

[[noreturn]] void throwErrno(int err, const std::string& what) {
    throw std::system_error(err, std::generic_category(), what);
}

// Answers one connection: the open, then each call in order, until the peer leaves, sends a bad
// frame or the server shuts the socket down.
void serveConnection(int fd, const std::shared_ptr<Service>& service) {
    std::vector<std::uint8_t> buffer;
    OpenRequest open;
    if (socket_io::readFrame(fd, buffer, decodeOpenRequest, open) != socket_io::ReadResult::frame) return;
    std::shared_ptr<UserClient> client;
    kern_return_t kr;
    try {
        kr = service->open(open.type, client);
    } catch (...) {
        kr = kIOReturnError;
    }
    if (kr == kIOReturnSuccess && !client) kr = kIOReturnError;
    if (!socket_io::sendAll(fd, encodeOpenReply(OpenReply{kr})) || kr != kIOReturnSuccess) return;

    std::vector<std::uint8_t> output;
    for (;;) {
        CallRequest request;
        if (socket_io::readFrame(fd, buffer, decodeCallRequest, request) != socket_io::ReadResult::frame) return;
        output.assign(request.outputCapacity, 0);
        std::size_t size = request.outputCapacity;
        CallReply reply;
        try {
            reply.result = client->callStructMethod(request.selector, request.input.data(), request.input.size(),
                                                    output.data(), &size);
        } catch (...) {
            reply.result = kIOReturnError;
            size = 0;
        }
        if (size > output.size()) size = output.size();
        reply.output.assign(output.begin(), output.begin() + static_cast<std::ptrdiff_t>(size));
        if (!socket_io::sendAll(fd, encodeCallReply(reply))) return;
    }
}

}  // namespace

struct SocketServiceServer::Impl {
    struct Connection {
        int fd = -1;
        std::thread thread;
        bool finished = false;  // guarded by Impl::mutex
    };

    std::string path;
    std::shared_ptr<Service> service;
    int listenFd = -1;
    int wakeRead = -1;
    int wakeWrite = -1;
    std::thread acceptThread;

    std::mutex mutex;
    bool stopping = false;              // guarded by mutex
    std::list<Connection> connections;  // guarded by mutex

    void acceptLoop() {
        for (;;) {
            pollfd fds[2] = {{listenFd, POLLIN, 0}, {wakeRead, POLLIN, 0}};
            const int rc = ::poll(fds, 2, -1);
            if (rc < 0) {
                if (errno == EINTR) continue;
                return;
            }
            if (fds[1].revents != 0) return;
            if ((fds[0].revents & POLLIN) == 0) continue;
            const int fd = ::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0) {
                if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
                    // Out of descriptors: the pending peer would wake poll at once, so back off
                    // (still woken by stop) instead of spinning.
                    pollfd wake{wakeRead, POLLIN, 0};
                    if (::poll(&wake, 1, 100) > 0) return;
                }
                continue;  // otherwise the peer left before we took it
            }
            reapFinished();
            std::lock_guard lock(mutex);
            if (stopping) {
                ::close(fd);
                return;
            }
            auto& conn = connections.emplace_back();
            conn.fd = fd;
            try {
                conn.thread = std::thread([this, &conn] { runConnection(conn); });
            } catch (...) {
                ::close(fd);
                connections.pop_back();
            }
        }
    }

    void runConnection(Connection& conn) {
        serveConnection(conn.fd, service);
        // The peer sees the hang-up now; the fd itself is closed when this thread is joined.
        ::shutdown(conn.fd, SHUT_RDWR);
        std::lock_guard lock(mutex);
        conn.finished = true;
    }

    // Joins connections whose thread has ended; each fd is closed only here or in stop(), never
    // while another thread might still shut it down.
    void reapFinished() {
        std::list<Connection> done;
        {
            std::lock_guard lock(mutex);
            for (auto it = connections.begin(); it != connections.end();) {
                auto next = std::next(it);
                if (it->finished) done.splice(done.end(), connections, it);
                it = next;
            }
        }
        for (auto& c : done) {
            c.thread.join();
            ::close(c.fd);
        }
    }

    void stop() {
        {
            std::lock_guard lock(mutex);
            stopping = true;
        }
        const char byte = 1;
        while (::write(wakeWrite, &byte, 1) < 0 && errno == EINTR) {
        }
        if (acceptThread.joinable()) acceptThread.join();
        std::list<Connection> all;
        {
            std::lock_guard lock(mutex);
            for (auto& c : connections) ::shutdown(c.fd, SHUT_RDWR);
            all.splice(all.end(), connections);
        }
        // A thread inside a blocked Service call ends when the Service lets it go.
        for (auto& c : all) {
            if (c.thread.joinable()) c.thread.join();
            ::close(c.fd);
        }
        closeFds();
        ::unlink(path.c_str());
    }

    void closeFds() {
        for (int* fd : {&listenFd, &wakeRead, &wakeWrite}) {
            if (*fd >= 0) ::close(*fd);
            *fd = -1;
        }
    }
};

namespace {

// A socket file that nobody accepts on is left over from a server that died: take it over.
bool isStaleSocket(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0 || !S_ISSOCK(st.st_mode)) return false;
    const int fd = socket_io::connectUnix(path);
    if (fd >= 0) {
        ::close(fd);
        return false;
    }
    return errno == ECONNREFUSED;
}

}  // namespace

SocketServiceServer::SocketServiceServer(std::string path, std::shared_ptr<Service> service)
    : impl_(std::make_unique<Impl>()) {
    if (!service) throw std::invalid_argument("SocketServiceServer: null service");
    impl_->path = std::move(path);
    impl_->service = std::move(service);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (impl_->path.empty() || impl_->path.size() >= sizeof addr.sun_path) {
        throwErrno(ENAMETOOLONG, "socket path \"" + impl_->path + "\"");
    }
    std::memcpy(addr.sun_path, impl_->path.data(), impl_->path.size());

    bool bound = false;
    try {
        int pipeFds[2];
        if (::pipe2(pipeFds, O_CLOEXEC) != 0) throwErrno(errno, "pipe2");
        impl_->wakeRead = pipeFds[0];
        impl_->wakeWrite = pipeFds[1];
        impl_->listenFd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (impl_->listenFd < 0) throwErrno(errno, "socket");
        auto bindOnce = [&] { return ::bind(impl_->listenFd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr); };
        if (bindOnce() != 0) {
            const int err = errno;
            if (err != EADDRINUSE || !isStaleSocket(impl_->path)) throwErrno(err, "bind \"" + impl_->path + "\"");
            ::unlink(impl_->path.c_str());
            if (bindOnce() != 0) throwErrno(errno, "bind \"" + impl_->path + "\"");
        }
        bound = true;
        if (::listen(impl_->listenFd, 64) != 0) throwErrno(errno, "listen \"" + impl_->path + "\"");
        impl_->acceptThread = std::thread([impl = impl_.get()] { impl->acceptLoop(); });
    } catch (...) {
        impl_->closeFds();
        if (bound) ::unlink(impl_->path.c_str());
        throw;
    }
}

SocketServiceServer::~SocketServiceServer() { impl_->stop(); }

}  // namespace quorvane::iokit
