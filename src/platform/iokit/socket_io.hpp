// Blocking stream-socket helpers shared by the socket user client and SocketServiceServer:
// whole-buffer sends without SIGPIPE, framed reads with a bounded buffer, EINTR retried.
// Stateless; each call works on the caller's fd and buffer (one thread per fd at a time).
#pragma once

#include <sys/socket.h>
#include <sys/types.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/iokit/iokit_frame.hpp"

namespace quorvane::iokit::socket_io {

// False when the peer is gone or the socket was shut down.
bool sendAll(int fd, const std::vector<std::uint8_t>& bytes);

enum class ReadResult { frame, malformed, closed };

// Reads from fd until buffer starts with a whole frame, which is decoded into out and removed
// from buffer (bytes after it stay for the next frame). decode bounds the frame size, so the
// buffer never grows past one frame plus one read.
template <class T, class Decode>
ReadResult readFrame(int fd, std::vector<std::uint8_t>& buffer, Decode decode, T& out) {
    for (;;) {
        auto d = decode(buffer.data(), buffer.size());
        if (d.status == DecodeStatus::complete) {
            out = std::move(d.value);
            buffer.erase(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(d.consumed));
            return ReadResult::frame;
        }
        if (d.status == DecodeStatus::malformed) return ReadResult::malformed;
        std::uint8_t chunk[4096];
        const ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return ReadResult::closed;
        buffer.insert(buffer.end(), chunk, chunk + n);
    }
}

// A connected AF_UNIX stream socket (close-on-exec), or -1 with errno set. When the process is
// out of descriptors it uses one of a few sockets set aside earlier, so that an open that must
// not fail (the emergency restore's throwaway SMC connection) still gets one.
int connectUnix(const std::string& path);
// Tops the set-aside sockets up again; called whenever a socket has been closed.
void replenishReserve();

}  // namespace quorvane::iokit::socket_io
