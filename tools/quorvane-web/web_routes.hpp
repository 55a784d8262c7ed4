// What the web face answers to each request: the dashboard's page and script, /metrics, and
// /api/… relayed to the control service's socket. Pure but for `ask`, which the server gives a
// real socket and tests a stand-in; thread-safe when `ask` is.
#pragma once

#include <functional>
#include <optional>
#include <string>

#include "http_request.hpp"

namespace quorvane::web {

struct Response {
    int status = 200;
    std::string contentType;
    std::string body;
};

// One request line to the control service, its one reply line; none when it does not answer.
using AskControl = std::function<std::optional<std::string>(const std::string&)>;

Response route(const HttpRequest& request, const AskControl& ask);

// The whole response, head and (unless HEAD) body, always closing the connection.
std::string serialize(const Response& response, bool headOnly);
Response errorResponse(int status, const std::string& message);

// The dashboard's static files.
const std::string& dashboardPage();
const std::string& dashboardStyle();
const std::string& dashboardIcon();
const std::string& dashboardScript();

// Debian's Chart.js (libjs-chart.js), which the dashboard draws with: served from the system's
// copy, read at each request (at most 4 MiB), so the library's updates reach the page without a
// rebuild of ours.
inline constexpr const char* chartScriptPath = "/usr/share/javascript/chart.js/chart.min.js";
std::optional<std::string> readStaticFile(const char* path);

}  // namespace quorvane::web
