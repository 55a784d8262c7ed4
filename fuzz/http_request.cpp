// The web face's request heads: any bytes give a request or a 4xx/5xx status, never a crash; a
// request taken has a path starting with '/' and no control characters anywhere.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "http_request.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view head(reinterpret_cast<const char*>(data), size);
    const auto end = quorvane::web::headEnd(head);
    if (end != std::string_view::npos && end > size) std::abort();
    const auto parsed = quorvane::web::parseHttpRequest(head);
    if (const auto* e = std::get_if<quorvane::web::HttpError>(&parsed)) {
        if (e->status < 400 || e->status > 599) std::abort();
        return 0;
    }
    const auto& r = std::get<quorvane::web::HttpRequest>(parsed);
    if (r.path.empty() || r.path.front() != '/') std::abort();
    for (const char c : r.path + r.query) {
        if (static_cast<unsigned char>(c) <= 0x20 || c == 0x7f) std::abort();
    }
    quorvane::web::hostAllowed(r.host, "127.0.0.1", 9784);
    return 0;
}
