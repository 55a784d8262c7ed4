#include "platform/xpc/listener.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <system_error>

#include "platform/bootstrap/bootstrap.hpp"

namespace quorvane::xpc {

namespace {

[[noreturn]] void fail(int error, const std::string& what) {
    throw std::system_error(error, std::generic_category(), "xpc listener: " + what);
}

void makeDirectories(const std::string& path) {
    for (std::size_t slash = 1; slash != std::string::npos;) {
        slash = path.find('/', slash + 1);
        std::string prefix = path.substr(0, slash);
        if (prefix.empty()) continue;
        if (::mkdir(prefix.c_str(), 0755) != 0 && errno != EEXIST) fail(errno, "cannot create " + prefix);
    }
}

bool someoneListens(const sockaddr_un& address) {
    int probe = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (probe < 0) return false;
    bool live = ::connect(probe, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    ::close(probe);
    return live;
}

}  // namespace

Listener::Listener(std::string machServiceName) : serviceName_(std::move(machServiceName)) {}

Listener::~Listener() { invalidate(); }

void Listener::setDelegate(ListenerDelegate* delegate) {
    std::lock_guard lock(mutex_);
    delegate_ = delegate;
}

void Listener::resume() {
    std::lock_guard lock(mutex_);
    if (resumed_ || invalidated_) return;

    const std::string directory = bootstrap::directory();
    const std::string path = bootstrap::socketPath(serviceName_);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (serviceName_.empty() || serviceName_.find('/') != std::string::npos) fail(EINVAL, "bad service name");
    if (path.size() >= sizeof address.sun_path) fail(ENAMETOOLONG, "socket path too long: " + path);
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    makeDirectories(directory);

    struct stat existing {};
    if (::lstat(path.c_str(), &existing) == 0) {
        if (!S_ISSOCK(existing.st_mode)) fail(EEXIST, path + " exists and is not a socket");
        if (someoneListens(address)) fail(EADDRINUSE, serviceName_ + " is already being served");
        ::unlink(path.c_str());  // left behind by a listener that is gone
    }

    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) fail(errno, "socket");
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        int error = errno;
        ::close(fd);
        fail(error, "cannot bind " + path);
    }
    // Anyone may connect; admission decides who is served.
    ::chmod(path.c_str(), 0666);
    struct stat mine {};
    int pipeFds[2];
    if (::listen(fd, SOMAXCONN) != 0 || ::stat(path.c_str(), &mine) != 0 || ::pipe2(pipeFds, O_CLOEXEC) != 0) {
        int error = errno;
        ::close(fd);
        ::unlink(path.c_str());
        fail(error, "cannot listen on " + path);
    }
    listenFd_ = fd;
    wakeRead_ = pipeFds[0];
    wakeWrite_ = pipeFds[1];
    socketDevice_ = mine.st_dev;
    socketInode_ = mine.st_ino;
    resumed_ = true;
    acceptThread_ = std::thread([this] { acceptLoop(); });
}

void Listener::acceptLoop() {
    for (;;) {
        pollfd fds[2] = {{listenFd_, POLLIN, 0}, {wakeRead_, POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            return;
        }
        if (fds[1].revents != 0) return;
        if (fds[0].revents & (POLLERR | POLLNVAL)) return;
        if (!(fds[0].revents & POLLIN)) continue;

        int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
                // Out of descriptors: back off instead of spinning; wake early on invalidate.
                pollfd wake{wakeRead_, POLLIN, 0};
                ::poll(&wake, 1, 100);
            }
            continue;
        }
        auto connection = std::make_shared<Connection>(Connection::Passkey{}, true, fd, serviceName_);
        std::vector<std::shared_ptr<Connection>> ended;  // released outside the lock
        ListenerDelegate* delegate = nullptr;
        {
            std::lock_guard lock(mutex_);
            for (auto it = connections_.begin(); it != connections_.end();) {
                if ((*it)->hasEnded()) {
                    ended.push_back(std::move(*it));
                    it = connections_.erase(it);
                } else {
                    ++it;
                }
            }
            connections_.push_back(connection);
            delegate = delegate_;
        }
        bool accepted = false;
        if (delegate) {
            try {
                accepted = delegate->shouldAcceptNewConnection(*this, connection);
            } catch (...) {
                accepted = false;
            }
        }
        if (!accepted) connection->invalidate();
    }
}

void Listener::invalidate() {
    {
        std::lock_guard lock(mutex_);
        if (invalidated_) return;
        invalidated_ = true;
    }
    if (acceptThread_.joinable()) {
        const char byte = 1;
        while (::write(wakeWrite_, &byte, 1) < 0 && errno == EINTR) {
        }
        acceptThread_.join();
    }
    if (listenFd_ >= 0) {
        ::close(listenFd_);
        ::close(wakeRead_);
        ::close(wakeWrite_);
        // Remove the socket only if it is still ours, not a successor's.
        const std::string path = bootstrap::socketPath(serviceName_);
        struct stat current {};
        if (::lstat(path.c_str(), &current) == 0 && current.st_dev == socketDevice_ &&
            current.st_ino == socketInode_) {
            ::unlink(path.c_str());
        }
    }
    std::vector<std::shared_ptr<Connection>> connections;
    {
        std::lock_guard lock(mutex_);
        connections.swap(connections_);
    }
    for (const auto& connection : connections) connection->invalidate();
    for (const auto& connection : connections) connection->waitUntilEnded();
}

}  // namespace quorvane::xpc
