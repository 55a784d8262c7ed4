#include "platform/xpc/listener.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <system_error>

#include "platform/bootstrap/bootstrap.hpp"
#include "platform/bootstrap/service_manager.hpp"

namespace quorvane::xpc {

namespace {

[[noreturn]] void fail(int error, const std::string& what) {
    throw std::system_error(error, std::generic_category(), "xpc listener: " + what);
}

bool someoneListens(const sockaddr_un& address) {
    int probe = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (probe < 0) return false;
    bool live = ::connect(probe, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    ::close(probe);
    return live;
}

int openSpare() { return ::open("/dev/null", O_RDONLY | O_CLOEXEC); }

void signalEvent(int fd) {
    const std::uint64_t one = 1;
    [[maybe_unused]] ssize_t written = ::write(fd, &one, sizeof one);
}

}  // namespace

// Shared by the listener and the hooks of its connections, which may outlive it.
struct Listener::Budget {
    explicit Budget(int eventFd) : wakeFd(eventFd) {}
    ~Budget() { ::close(wakeFd); }
    Budget(const Budget&) = delete;
    Budget& operator=(const Budget&) = delete;

    // Wakes the accept thread: a connection ended, or the listener is being invalidated.
    const int wakeFd;
    std::mutex mutex;
    std::size_t unadmitted = 0;                     // guarded by mutex
    std::map<uid_t, std::size_t> unadmittedByUser;  // guarded by mutex
};

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
    std::string failed;
    if (const auto e = bootstrap::makeDirectory(&failed)) fail(e.value(), "cannot create " + failed);

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
    int wakeFd = -1;
    if (::listen(fd, SOMAXCONN) != 0 || ::stat(path.c_str(), &mine) != 0 ||
        (wakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) < 0) {
        int error = errno;
        ::close(fd);
        ::unlink(path.c_str());
        fail(error, "cannot listen on " + path);
    }
    budget_ = std::make_shared<Budget>(wakeFd);
    listenFd_ = fd;
    spareFd_ = openSpare();
    socketDevice_ = mine.st_dev;
    socketInode_ = mine.st_ino;
    resumed_ = true;
    acceptThread_ = std::thread([this] { acceptLoop(); });
    // Clients can connect from here on: that is what a service manager waits for.
    bootstrap::notifyServiceManager("READY=1\nSTATUS=" + serviceName_ + " is being served");
}

void Listener::acceptLoop() {
    for (;;) {
        pollfd fds[2] = {{listenFd_, POLLIN, 0}, {budget_->wakeFd, POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            return;
        }
        if (fds[1].revents != 0) {
            std::uint64_t count = 0;
            [[maybe_unused]] ssize_t drained = ::read(budget_->wakeFd, &count, sizeof count);
            {
                std::lock_guard lock(mutex_);
                if (invalidated_) return;
            }
            releaseEndedConnections();
        }
        if (fds[0].revents & (POLLERR | POLLNVAL)) return;
        if (fds[0].revents & POLLIN) acceptOne();
    }
}

void Listener::releaseEndedConnections() {
    std::vector<std::shared_ptr<Connection>> ended;  // released outside the lock
    std::lock_guard lock(mutex_);
    for (auto it = connections_.begin(); it != connections_.end();) {
        if ((*it)->handlersFinished()) {
            ended.push_back(std::move(*it));
            it = connections_.erase(it);
        } else {
            ++it;
        }
    }
}

// Out of descriptors: the spare makes room to take the first waiting connection and close it,
// so the backlog drains instead of accept failing on the same connection forever. Without a
// spare, back off (waking early on invalidate) rather than spin.
void Listener::shedOneConnection() {
    if (spareFd_ < 0) spareFd_ = openSpare();
    if (spareFd_ >= 0) {
        ::close(spareFd_);
        const int excess = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (excess >= 0) ::close(excess);
        spareFd_ = openSpare();
        if (excess >= 0 && spareFd_ >= 0) return;
    }
    pollfd wake{budget_->wakeFd, POLLIN, 0};
    ::poll(&wake, 1, 100);
}

void Listener::acceptOne() {
    const int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) {
        if (errno == EMFILE || errno == ENFILE) {
            shedOneConnection();
        } else if (errno == ENOBUFS || errno == ENOMEM) {
            pollfd wake{budget_->wakeFd, POLLIN, 0};
            ::poll(&wake, 1, 100);
        }
        return;
    }
    ucred cred{};
    socklen_t length = sizeof cred;
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &length) != 0) cred.uid = static_cast<uid_t>(-1);
    {
        std::lock_guard lock(budget_->mutex);
        std::size_t& mine = budget_->unadmittedByUser[cred.uid];
        if (budget_->unadmitted >= kMaxUnadmitted || mine >= kMaxUnadmittedPerUser) {
            if (mine == 0) budget_->unadmittedByUser.erase(cred.uid);
            ::close(fd);
            return;
        }
        ++mine;
        ++budget_->unadmitted;
    }
    auto connection = std::make_shared<Connection>(Connection::Passkey{}, true, fd, serviceName_);
    connection->setListenerHooks(
        [budget = budget_, uid = cred.uid] {
            std::lock_guard lock(budget->mutex);
            --budget->unadmitted;
            auto it = budget->unadmittedByUser.find(uid);
            if (--it->second == 0) budget->unadmittedByUser.erase(it);
        },
        [budget = budget_] { signalEvent(budget->wakeFd); });
    ListenerDelegate* delegate = nullptr;
    {
        std::lock_guard lock(mutex_);
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

void Listener::invalidate() {
    {
        std::lock_guard lock(mutex_);
        if (invalidated_) return;
        invalidated_ = true;
    }
    if (acceptThread_.joinable()) {
        signalEvent(budget_->wakeFd);
        acceptThread_.join();
    }
    if (listenFd_ >= 0) {
        ::close(listenFd_);
        if (spareFd_ >= 0) ::close(spareFd_);
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
