// The web face's HTTP/1.1 server: one thread, one poll loop, one request per connection. Every
// peer is budgeted: a head of at most maxHeadBytes within the head deadline, the response written
// within the write deadline, at most maxConnections at once (the next get a 503). With no peer it
// sleeps in poll without a timeout. Owned by one thread.
#pragma once

#include <chrono>
#include <cstddef>
#include <optional>
#include <string>

#include "web_routes.hpp"

namespace quorvane::web {

inline constexpr unsigned defaultPort = 9784;

struct ListenAddress {
    std::string host = "127.0.0.1";
    unsigned port = defaultPort;
};
// "ADDR:PORT" with ADDR an IPv4 address, "localhost" or a bracketed IPv6 address; port 0–65535.
std::optional<ListenAddress> parseListenAddress(const std::string& text);

struct ServerLimits {
    std::size_t maxConnections = 64;
    std::chrono::milliseconds headDeadline{5000};
    std::chrono::milliseconds writeDeadline{10000};
};

class WebServer {
public:
    // Binds and listens; throws std::system_error naming the address.
    WebServer(ListenAddress address, AskControl ask, ServerLimits limits = {});
    ~WebServer();
    WebServer(const WebServer&) = delete;
    WebServer& operator=(const WebServer&) = delete;

    // The port bound (the one asked for, or the kernel's pick for port 0).
    unsigned port() const { return port_; }
    // Serves until `stopFd` becomes readable.
    void run(int stopFd);

private:
    ListenAddress address_;
    AskControl ask_;
    ServerLimits limits_;
    int listenFd_ = -1;
    unsigned port_ = 0;
};

}  // namespace quorvane::web
