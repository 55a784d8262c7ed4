#include "web_server.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstring>
#include <system_error>
#include <vector>

namespace quorvane::web {

namespace {

using Clock = std::chrono::steady_clock;

struct Connection {
    int fd = -1;
    std::string in;
    std::string out;
    std::size_t sent = 0;
    bool writing = false;
    Clock::time_point deadline;
};

}  // namespace

std::optional<ListenAddress> parseListenAddress(const std::string& text) {
    const auto colon = text.rfind(':');
    if (colon == std::string::npos || colon == 0 || colon + 1 >= text.size()) return std::nullopt;
    std::string host = text.substr(0, colon);
    const std::string portText = text.substr(colon + 1);
    unsigned port = 0;
    const auto [end, ec] = std::from_chars(portText.data(), portText.data() + portText.size(), port);
    if (ec != std::errc() || end != portText.data() + portText.size() || port > 65535) return std::nullopt;
    if (host == "localhost") host = "127.0.0.1";
    if (host.front() == '[') {
        if (host.back() != ']') return std::nullopt;
        host = host.substr(1, host.size() - 2);
        in6_addr a6{};
        if (::inet_pton(AF_INET6, host.c_str(), &a6) != 1) return std::nullopt;
    } else {
        in_addr a4{};
        if (::inet_pton(AF_INET, host.c_str(), &a4) != 1) return std::nullopt;
    }
    return ListenAddress{host, port};
}

WebServer::WebServer(ListenAddress address, AskControl ask, ServerLimits limits)
    : address_(std::move(address)), ask_(std::move(ask)), limits_(limits) {
    const bool v6 = address_.host.find(':') != std::string::npos;
    sockaddr_storage storage{};
    socklen_t length = 0;
    if (v6) {
        auto* a = reinterpret_cast<sockaddr_in6*>(&storage);
        a->sin6_family = AF_INET6;
        a->sin6_port = htons(static_cast<std::uint16_t>(address_.port));
        ::inet_pton(AF_INET6, address_.host.c_str(), &a->sin6_addr);
        length = sizeof *a;
    } else {
        auto* a = reinterpret_cast<sockaddr_in*>(&storage);
        a->sin_family = AF_INET;
        a->sin_port = htons(static_cast<std::uint16_t>(address_.port));
        ::inet_pton(AF_INET, address_.host.c_str(), &a->sin_addr);
        length = sizeof *a;
    }
    const std::string name = (v6 ? "[" + address_.host + "]" : address_.host) + ":" + std::to_string(address_.port);
    listenFd_ = ::socket(v6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (listenFd_ < 0) throw std::system_error(errno, std::generic_category(), "socket for " + name);
    const int one = 1;
    ::setsockopt(listenFd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (::bind(listenFd_, reinterpret_cast<const sockaddr*>(&storage), length) != 0 || ::listen(listenFd_, 64) != 0) {
        const int e = errno;
        ::close(listenFd_);
        throw std::system_error(e, std::generic_category(), "cannot listen on " + name);
    }
    sockaddr_storage bound{};
    socklen_t boundLength = sizeof bound;
    ::getsockname(listenFd_, reinterpret_cast<sockaddr*>(&bound), &boundLength);
    port_ = ntohs(v6 ? reinterpret_cast<sockaddr_in6*>(&bound)->sin6_port : reinterpret_cast<sockaddr_in*>(&bound)->sin_port);
}

WebServer::~WebServer() {
    if (listenFd_ >= 0) ::close(listenFd_);
}

void WebServer::run(int stopFd) {
    std::vector<Connection> connections;
    std::vector<pollfd> fds;
    auto respond = [&](Connection& c, const Response& r, bool headOnly) {
        c.out = serialize(r, headOnly);
        c.sent = 0;
        c.writing = true;
        c.deadline = Clock::now() + limits_.writeDeadline;
    };
    // Out of descriptors: the pending peer would keep the listener readable, so it rests a while.
    std::optional<Clock::time_point> acceptPausedUntil;
    for (;;) {
        fds.clear();
        const auto now = Clock::now();
        if (acceptPausedUntil && now >= *acceptPausedUntil) acceptPausedUntil.reset();
        fds.push_back({stopFd, POLLIN, 0});
        fds.push_back({acceptPausedUntil ? -1 : listenFd_, POLLIN, 0});
        int timeout = acceptPausedUntil ? 100 : -1;  // no peer: nothing to wake for
        for (const auto& c : connections) {
            fds.push_back({c.fd, static_cast<short>(c.writing ? POLLOUT : POLLIN), 0});
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(c.deadline - now).count();
            const int ms = left < 0 ? 0 : static_cast<int>(std::min<long long>(left, 60000));
            timeout = timeout < 0 ? ms : std::min(timeout, ms);
        }
        if (::poll(fds.data(), fds.size(), timeout) < 0) {
            if (errno == EINTR) continue;
            throw std::system_error(errno, std::generic_category(), "poll");
        }
        if (fds[0].revents != 0) break;
        const auto after = Clock::now();
        for (std::size_t i = 0; i < connections.size(); ++i) {
            Connection& c = connections[i];
            const short revents = fds[i + 2].revents;
            bool done = false;
            if (!c.writing && (revents & (POLLIN | POLLHUP | POLLERR))) {
                char buffer[4096];
                const ssize_t n = ::recv(c.fd, buffer, sizeof buffer, MSG_DONTWAIT);
                if (n > 0) {
                    c.in.append(buffer, static_cast<std::size_t>(n));
                    const std::size_t end = headEnd(c.in);
                    if (end != std::string::npos) {
                        const auto parsed = parseHttpRequest(std::string_view(c.in).substr(0, end));
                        if (const auto* e = std::get_if<HttpError>(&parsed)) {
                            respond(c, errorResponse(e->status, e->message), false);
                        } else {
                            const auto& request = std::get<HttpRequest>(parsed);
                            const bool headOnly = request.method == "HEAD";
                            if (!hostAllowed(request.host, address_.host, port_)) {
                                respond(c, errorResponse(403, "this server answers only to its own address"), headOnly);
                            } else {
                                try {
                                    respond(c, route(request, ask_), headOnly);
                                } catch (const std::exception& ex) {
                                    respond(c, errorResponse(500, ex.what()), headOnly);
                                }
                            }
                        }
                    } else if (c.in.size() > maxHeadBytes) {
                        respond(c, errorResponse(431, "request head too large"), false);
                    }
                } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
                    done = true;
                }
            } else if (c.writing && (revents & (POLLOUT | POLLHUP | POLLERR))) {
                const ssize_t n = ::send(c.fd, c.out.data() + c.sent, c.out.size() - c.sent, MSG_DONTWAIT | MSG_NOSIGNAL);
                if (n > 0) c.sent += static_cast<std::size_t>(n);
                if ((n < 0 && errno != EAGAIN && errno != EINTR) || c.sent == c.out.size()) done = true;
            }
            if (!done && after >= c.deadline) {
                // A slow reader of the response is cut off; a slow sender of the head is told so.
                if (!c.writing) {
                    const std::string timeoutText = serialize(errorResponse(408, "request head not received in time"), false);
                    [[maybe_unused]] const ssize_t ignored = ::send(c.fd, timeoutText.data(), timeoutText.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
                }
                done = true;
            }
            if (done) {
                if (c.writing) ::shutdown(c.fd, SHUT_WR);
                ::close(c.fd);
                c.fd = -1;
            }
        }
        std::erase_if(connections, [](const Connection& c) { return c.fd < 0; });
        if (fds[1].revents & POLLIN) {
            for (;;) {
                const int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
                if (fd < 0) {
                    if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM)
                        acceptPausedUntil = Clock::now() + std::chrono::milliseconds(100);
                    break;
                }
                if (connections.size() >= limits_.maxConnections) {
                    const std::string busy = serialize(errorResponse(503, "too many connections"), false);
                    [[maybe_unused]] const ssize_t ignored = ::send(fd, busy.data(), busy.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
                    ::close(fd);
                    continue;
                }
                Connection c;
                c.fd = fd;
                c.deadline = Clock::now() + limits_.headDeadline;
                connections.push_back(std::move(c));
            }
        }
    }
    for (auto& c : connections) ::close(c.fd);
}

}  // namespace quorvane::web
