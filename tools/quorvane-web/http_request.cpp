#include "http_request.hpp"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <vector>

namespace quorvane::web {

namespace {

bool isToken(char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || std::string_view("!#$%&'*+-.^_`|~").find(c) != std::string_view::npos;
}

bool visible(char c) { return static_cast<unsigned char>(c) > 0x20 && static_cast<unsigned char>(c) < 0x7f; }

std::string_view trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
    return s;
}

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
           });
}

}  // namespace

std::size_t headEnd(std::string_view received) {
    const auto crlf = received.find("\r\n\r\n");
    const auto lf = received.find("\n\n");
    if (crlf == std::string_view::npos && lf == std::string_view::npos) return std::string_view::npos;
    if (lf == std::string_view::npos || (crlf != std::string_view::npos && crlf < lf)) return crlf + 4;
    return lf + 2;
}

std::variant<HttpRequest, HttpError> parseHttpRequest(std::string_view head) {
    if (head.size() > maxHeadBytes) return HttpError{431, "request head too large"};
    std::vector<std::string_view> lines;
    while (!head.empty()) {
        auto nl = head.find('\n');
        if (nl == std::string_view::npos) nl = head.size();
        std::string_view l = head.substr(0, nl);
        if (!l.empty() && l.back() == '\r') l.remove_suffix(1);
        head.remove_prefix(std::min(head.size(), nl + 1));
        if (l.empty()) break;
        lines.push_back(l);
    }
    if (lines.empty()) return HttpError{400, "empty request"};
    if (lines.size() - 1 > maxHeaderFields) return HttpError{431, "too many header fields"};

    const std::string_view requestLine = lines[0];
    const auto sp1 = requestLine.find(' ');
    const auto sp2 = sp1 == std::string_view::npos ? sp1 : requestLine.find(' ', sp1 + 1);
    if (sp2 == std::string_view::npos || requestLine.find(' ', sp2 + 1) != std::string_view::npos)
        return HttpError{400, "malformed request line"};
    const std::string_view method = requestLine.substr(0, sp1);
    const std::string_view target = requestLine.substr(sp1 + 1, sp2 - sp1 - 1);
    const std::string_view version = requestLine.substr(sp2 + 1);
    if (version != "HTTP/1.1" && version != "HTTP/1.0") return HttpError{505, "HTTP/1.0 or HTTP/1.1 only"};
    if (method.empty() || !std::all_of(method.begin(), method.end(), isToken)) return HttpError{400, "malformed method"};
    if (target.size() > maxTargetBytes) return HttpError{414, "request target too long"};
    if (target.empty() || target.front() != '/' || !std::all_of(target.begin(), target.end(), visible))
        return HttpError{400, "malformed request target"};

    HttpRequest request;
    bool haveHost = false;
    for (std::size_t i = 1; i < lines.size(); ++i) {
        const std::string_view field = lines[i];
        const auto colon = field.find(':');
        if (colon == std::string_view::npos || colon == 0) return HttpError{400, "malformed header field"};
        const std::string_view name = field.substr(0, colon);
        if (!std::all_of(name.begin(), name.end(), isToken)) return HttpError{400, "malformed header field name"};
        const std::string_view value = trim(field.substr(colon + 1));
        for (const char c : value) {
            if ((static_cast<unsigned char>(c) < 0x20 && c != '\t') || c == 0x7f) return HttpError{400, "control character in a header field"};
        }
        if (equalsIgnoringCase(name, "Host")) {
            if (haveHost) return HttpError{400, "more than one Host field"};
            haveHost = true;
            request.host = std::string(value);
        } else if (equalsIgnoringCase(name, "Content-Length") || equalsIgnoringCase(name, "Transfer-Encoding")) {
            // Nothing here takes a body; one would be read as the next request.
            if (value != "0") return HttpError{400, "request bodies are not accepted"};
        }
    }
    if (version == "HTTP/1.1" && !haveHost) return HttpError{400, "missing Host field"};
    if (method != "GET" && method != "HEAD") return HttpError{405, "GET and HEAD only"};
    request.method = std::string(method);
    const auto q = target.find('?');
    request.path = std::string(target.substr(0, q));
    if (q != std::string_view::npos) request.query = std::string(target.substr(q + 1));
    return request;
}

bool hostAllowed(std::string_view host, std::string_view listenHost, unsigned port) {
    std::string_view name = host;
    std::string_view portText;
    if (!name.empty() && name.front() == '[') {
        const auto close = name.find(']');
        if (close == std::string_view::npos) return false;
        portText = name.substr(close + 1);
        name = name.substr(0, close + 1);
    } else if (const auto colon = name.rfind(':'); colon != std::string_view::npos) {
        portText = name.substr(colon);
        name = name.substr(0, colon);
    }
    if (!portText.empty()) {
        if (portText.front() != ':' || portText.size() < 2) return false;
        unsigned p = 0;
        const auto digits = portText.substr(1);
        const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), p);
        if (ec != std::errc() || end != digits.data() + digits.size() || p != port) return false;
    }
    if (equalsIgnoringCase(name, "localhost") || name == "127.0.0.1" || name == "[::1]") return true;
    // The configured address, as it would be typed in a browser.
    const bool v6 = listenHost.find(':') != std::string_view::npos;
    const std::string expected = v6 ? "[" + std::string(listenHost) + "]" : std::string(listenHost);
    return !listenHost.empty() && listenHost != "0.0.0.0" && listenHost != "::" && equalsIgnoringCase(name, expected);
}

}  // namespace quorvane::web
