#include "web_routes.hpp"

#include <fstream>

#include <nlohmann/json.hpp>

#include "metrics.hpp"

namespace quorvane::web {

namespace {

const char* reason(int status) {
    switch (status) {
        case 200: return "OK";
        case 400: return "Bad Request";
        case 403: return "Forbidden";
        case 404: return "Not Found";
        case 405: return "Method Not Allowed";
        case 408: return "Request Timeout";
        case 414: return "URI Too Long";
        case 431: return "Request Header Fields Too Large";
        case 502: return "Bad Gateway";
        case 503: return "Service Unavailable";
        case 505: return "HTTP Version Not Supported";
        default: return status < 500 ? "Bad Request" : "Internal Server Error";
    }
}

}  // namespace

std::optional<std::string> readStaticFile(const char* path) {
    constexpr std::size_t cap = 4 << 20;
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    std::string text(cap + 1, '\0');
    in.read(text.data(), static_cast<std::streamsize>(text.size()));
    const auto n = static_cast<std::size_t>(in.gcount());
    if (n > cap) return std::nullopt;
    text.resize(n);
    return text;
}

Response errorResponse(int status, const std::string& message) {
    return Response{status, "application/json",
                    nlohmann::ordered_json{{"version", 1}, {"status", status}, {"error", message}}.dump(-1, ' ', false,
                                                                                                 nlohmann::json::error_handler_t::replace) +
                        "\n"};
}

Response route(const HttpRequest& request, const AskControl& ask) {
    if (request.path == "/" || request.path == "/index.html") return Response{200, "text/html; charset=utf-8", dashboardPage()};
    if (request.path == "/dashboard.js") return Response{200, "text/javascript; charset=utf-8", dashboardScript()};
    if (request.path == "/dashboard.css") return Response{200, "text/css; charset=utf-8", dashboardStyle()};
    if (request.path == "/favicon.svg" || request.path == "/favicon.ico") return Response{200, "image/svg+xml", dashboardIcon()};
    if (request.path == "/chart.js") {
        auto script = readStaticFile(chartScriptPath);
        if (!script) return errorResponse(404, std::string("Chart.js is not installed (") + chartScriptPath + ", Debian package libjs-chart.js)");
        return Response{200, "text/javascript; charset=utf-8", std::move(*script)};
    }
    if (request.path == "/metrics") {
        std::optional<nlohmann::json> state;
        if (const auto reply = ask("/v1/state")) {
            auto parsed = nlohmann::json::parse(*reply, nullptr, false);
            if (!parsed.is_discarded()) state = std::move(parsed);
        }
        return Response{200, "text/plain; version=0.0.4; charset=utf-8", metricsText(state)};
    }
    constexpr std::string_view api = "/api/";
    if (request.path.compare(0, api.size(), api) == 0) {
        // The control service judges the rest: it answers every request line it does not take
        // with its own status.
        const std::string line = request.path.substr(api.size() - 1) + (request.query.empty() ? "" : "?" + request.query);
        const auto reply = ask(line);
        if (!reply) return errorResponse(503, "the control service does not answer");
        const auto parsed = nlohmann::json::parse(*reply, nullptr, false);
        if (parsed.is_discarded() || !parsed.is_object()) return errorResponse(502, "the control service answered something other than JSON");
        int status = 200;
        if (const auto it = parsed.find("status"); it != parsed.end() && it->is_number_integer()) {
            const int s = it->get<int>();
            if (s >= 400 && s <= 599) status = s;
        }
        return Response{status, "application/json", *reply + "\n"};
    }
    return errorResponse(404, "no such page");
}

std::string serialize(const Response& response, bool headOnly) {
    std::string out = "HTTP/1.1 " + std::to_string(response.status) + " " + reason(response.status) + "\r\n";
    out += "Content-Type: " + response.contentType + "\r\n";
    out += "Content-Length: " + std::to_string(response.body.size()) + "\r\n";
    out += "Cache-Control: no-store\r\n";
    out += "X-Content-Type-Options: nosniff\r\n";
    out += "Content-Security-Policy: default-src 'self'; frame-ancestors 'none'\r\n";
    out += "Connection: close\r\n\r\n";
    if (!headOnly) out += response.body;
    return out;
}

}  // namespace quorvane::web
