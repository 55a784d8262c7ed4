#include "sim/control_socket.hpp"

#include <cerrno>
#include <cstring>
#include <system_error>

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "sim/control_protocol.hpp"

namespace quorvane::sim {

namespace {

constexpr int kServerTimeoutMs = 2000;   // a silent peer holds the control socket no longer
constexpr int kClientTimeoutMs = 10000;

sockaddr_un addressOf(const std::string& path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof address.sun_path)
        throw std::system_error(ENAMETOOLONG, std::generic_category(), "control socket path \"" + path + "\"");
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    return address;
}

void setTimeouts(int fd, int ms) {
    timeval tv{ms / 1000, (ms % 1000) * 1000};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
}

bool sendAll(int fd, const std::string& text) {
    std::size_t sent = 0;
    while (sent < text.size()) {
        const ssize_t n = ::send(fd, text.data() + sent, text.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        sent += static_cast<std::size_t>(n);
    }
    return true;
}

// Reads up to a newline; false when the peer is silent, closes early or sends too much.
bool receiveLine(int fd, std::string& line, std::size_t limit) {
    line.clear();
    char c = 0;
    while (true) {
        const ssize_t n = ::recv(fd, &c, 1, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return !line.empty() && n == 0;  // a final line without newline is accepted
        if (c == '\n') return true;
        if (line.size() >= limit) return false;
        line.push_back(c);
    }
}

}  // namespace

ControlServer::ControlServer(std::string path, std::shared_ptr<SMCKeyModel> model)
    : path_(std::move(path)), model_(std::move(model)) {
    const sockaddr_un address = addressOf(path_);
    listener_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listener_ < 0) throw std::system_error(errno, std::generic_category(), "control socket");
    ::unlink(path_.c_str());
    if (::bind(listener_, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listener_, 16) != 0 || ::pipe2(wake_, O_CLOEXEC) != 0) {
        const int e = errno;
        ::close(listener_);
        if (wake_[0] >= 0) ::close(wake_[0]);
        if (wake_[1] >= 0) ::close(wake_[1]);
        throw std::system_error(e, std::generic_category(), "control socket " + path_);
    }
    thread_ = std::thread([this] { run(); });
}

ControlServer::~ControlServer() {
    const char stop = 1;
    (void)!::write(wake_[1], &stop, 1);
    thread_.join();
    ::close(listener_);
    ::close(wake_[0]);
    ::close(wake_[1]);
    ::unlink(path_.c_str());
}

void ControlServer::run() {
    while (true) {
        pollfd fds[2] = {{listener_, POLLIN, 0}, {wake_[0], POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            return;
        }
        if (fds[1].revents != 0) return;
        if ((fds[0].revents & POLLIN) == 0) continue;
        const int connection = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        if (connection < 0) continue;
        serve(connection);
        ::close(connection);
    }
}

void ControlServer::serve(int connection) {
    setTimeouts(connection, kServerTimeoutMs);
    std::string line;
    std::string reply;
    if (receiveLine(connection, line, kMaxControlLine)) {
        reply = handleControlRequest(*model_, line);
    } else {
        reply = line.size() >= kMaxControlLine ? "error request too long" : "error incomplete request";
    }
    sendAll(connection, reply + "\n");
}

std::string sendControlRequest(const std::string& path, const std::string& request) {
    sockaddr_un address{};
    try {
        address = addressOf(path);
    } catch (const std::system_error& e) {
        throw ControlUnavailable(e.what());
    }
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) throw ControlUnavailable(std::string("socket: ") + std::strerror(errno));
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        const int e = errno;
        ::close(fd);
        throw ControlUnavailable("no virtual Mac is running (cannot connect to " + path + ": " + std::strerror(e) + ")");
    }
    setTimeouts(fd, kClientTimeoutMs);
    std::string reply;
    const bool ok = sendAll(fd, request + "\n") && receiveLine(fd, reply, 1 << 20);
    ::close(fd);
    if (!ok) throw ControlUnavailable("the virtual Mac at " + path + " did not answer");
    return reply;
}

}  // namespace quorvane::sim
