// One request line, one reply line over a Unix socket in the bootstrap directory: the shape of
// the small platform services the virtual Mac answers (HID event system, sysctl). The server
// serves one connection at a time on its own thread; both sides bound what a peer can send and
// how long it can stall them. Thread-safe.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace quorvane::bootstrap {

// Sends `request` and a newline to the socket at `path`; returns the reply line without its
// newline, or none when nobody listens, the peer stalls past the timeout, or the reply grows
// beyond maxReplyBytes.
std::optional<std::string> askLine(const std::string& path, const std::string& request, std::size_t maxReplyBytes,
                                   int timeoutMilliseconds);

class LineSocketServer {
public:
    // Answers one request line (newline removed); none closes the connection without a reply.
    // Called on the server's thread; an exception it throws also closes the connection.
    using Answer = std::function<std::optional<std::string>(const std::string&)>;

    // Throws std::system_error when the socket cannot be bound.
    LineSocketServer(std::string path, Answer answer, std::size_t maxRequestBytes);
    ~LineSocketServer();
    LineSocketServer(const LineSocketServer&) = delete;
    LineSocketServer& operator=(const LineSocketServer&) = delete;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace quorvane::bootstrap
