// The web face's HTTP/1.1 request heads: parsing one complete head (request line and header
// fields, up to the blank line) into the little this server needs, and the Host check that keeps
// other sites' pages (DNS rebinding) away from it. Pure functions; thread-safe.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <variant>

namespace quorvane::web {

// A head longer than this gets 431 and the connection closed.
inline constexpr std::size_t maxHeadBytes = 8192;
inline constexpr std::size_t maxHeaderFields = 64;
// Room for a simulation's candidate curve, percent-encoded, in the query.
inline constexpr std::size_t maxTargetBytes = 7168;

struct HttpRequest {
    std::string method;  // "GET" or "HEAD"
    std::string path;    // the target before any '?'
    std::string query;   // after the '?', without it
    std::string host;    // the Host field as sent
};
struct HttpError {
    int status = 400;
    std::string message;
};

// The position just past the blank line that ends the head, or npos while it is incomplete.
std::size_t headEnd(std::string_view received);

// `head` is everything up to and including the blank line ("\r\n\r\n"; bare "\n" line ends are
// taken too).
std::variant<HttpRequest, HttpError> parseHttpRequest(std::string_view head);

// Whether a request naming `host` may be served by a listener on `listenHost`:`port`: the loopback
// names with that port (or none), or the listening address itself.
bool hostAllowed(std::string_view host, std::string_view listenHost, unsigned port);

}  // namespace quorvane::web
