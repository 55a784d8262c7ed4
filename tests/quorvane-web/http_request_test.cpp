// The web face's request heads: what is taken, what each malformed head is answered with, and
// which Host names may reach it.
#include <gtest/gtest.h>

#include "http_request.hpp"
#include "web_server.hpp"

namespace quorvane::web {
namespace {

struct HeadRow {
    std::string head;
    int status;  // 0: taken
    std::string path = {};
    std::string query = {};
};

TEST(HttpRequestHeads, TakesGetAndHeadAndAnswersEveryMalformedHeadWithItsStatus) {
    const std::vector<HeadRow> rows = {
        {"GET / HTTP/1.1\r\nHost: 127.0.0.1:9784\r\n\r\n", 0, "/"},
        {"HEAD /metrics HTTP/1.1\r\nhost: localhost\r\n\r\n", 0, "/metrics"},
        {"GET /api/v1/history?window=1h HTTP/1.1\nHost: x\n\n", 0, "/api/v1/history", "window=1h"},
        {"GET / HTTP/1.0\r\n\r\n", 0, "/"},
        {"GET / HTTP/1.1\r\n\r\n", 400},
        {"GET / HTTP/1.1\r\nHost: a\r\nHost: b\r\n\r\n", 400},
        {"POST / HTTP/1.1\r\nHost: a\r\n\r\n", 405},
        {"GET / HTTP/2\r\nHost: a\r\n\r\n", 505},
        {"GET  / HTTP/1.1\r\nHost: a\r\n\r\n", 400},
        {"GET http://evil/ HTTP/1.1\r\nHost: a\r\n\r\n", 400},
        {"GET /\x01 HTTP/1.1\r\nHost: a\r\n\r\n", 400},
        {"GET / HTTP/1.1\r\nNo colon\r\n\r\n", 400},
        {"GET / HTTP/1.1\r\n: empty\r\n\r\n", 400},
        {"GET / HTTP/1.1\r\nHost: a\r\nContent-Length: 5\r\n\r\n", 400},
        {"GET / HTTP/1.1\r\nHost: a\r\nTransfer-Encoding: chunked\r\n\r\n", 400},
        {"GET / HTTP/1.1\r\nHost: a\x7f\r\n\r\n", 400},
        {"GET /" + std::string(7200, 'a') + " HTTP/1.1\r\nHost: a\r\n\r\n", 414},
        {"GET / HTTP/1.1\r\n" + [] { std::string s; for (int i = 0; i < 70; ++i) s += "X" + std::to_string(i) + ": 1\r\n"; return s; }() + "\r\n", 431},
        {"GET / HTTP/1.1\r\nHost: a\r\nX: " + std::string(maxHeadBytes, 'x') + "\r\n\r\n", 431},
        {"\r\n\r\n", 400},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.head.substr(0, 60));
        const auto parsed = parseHttpRequest(row.head);
        if (row.status == 0) {
            ASSERT_TRUE(std::holds_alternative<HttpRequest>(parsed)) << std::get<HttpError>(parsed).message;
            EXPECT_EQ(std::get<HttpRequest>(parsed).path, row.path);
            EXPECT_EQ(std::get<HttpRequest>(parsed).query, row.query);
        } else {
            ASSERT_TRUE(std::holds_alternative<HttpError>(parsed));
            EXPECT_EQ(std::get<HttpError>(parsed).status, row.status);
        }
    }
}

TEST(HttpRequestHeads, FindsTheEndOfAHeadOnlyOnceItIsComplete) {
    EXPECT_EQ(headEnd("GET / HTTP/1.1\r\nHost: a\r\n"), std::string::npos);
    EXPECT_EQ(headEnd("GET / HTTP/1.1\r\n\r\nrest"), 18u);
    EXPECT_EQ(headEnd("GET / HTTP/1.0\n\n"), 16u);
}

struct HostRow {
    std::string host;
    std::string listen;
    bool allowed;
};

TEST(HttpHostCheck, OnlyLoopbackNamesOrTheListeningAddressWithItsPort) {
    const std::vector<HostRow> rows = {
        {"127.0.0.1:9784", "127.0.0.1", true},
        {"localhost:9784", "127.0.0.1", true},
        {"LOCALHOST", "127.0.0.1", true},
        {"[::1]:9784", "::1", true},
        {"127.0.0.1:9785", "127.0.0.1", false},
        {"127.0.0.1:", "127.0.0.1", false},
        {"127.0.0.1:97x4", "127.0.0.1", false},
        {"evil.example:9784", "127.0.0.1", false},
        {"localhost.evil.example", "127.0.0.1", false},
        {"", "127.0.0.1", false},
        {"[::1", "::1", false},
        {"192.168.1.5:9784", "192.168.1.5", true},
        {"[fd00::5]:9784", "fd00::5", true},
        {"0.0.0.0:9784", "0.0.0.0", false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.host);
        EXPECT_EQ(hostAllowed(row.host, row.listen, 9784), row.allowed);
    }
}

struct ListenRow {
    std::string text;
    bool valid;
    std::string host = {};
    unsigned port = 0;
};

TEST(ListenAddresses, TakeAnAddressAndAPort) {
    const std::vector<ListenRow> rows = {
        {"127.0.0.1:9784", true, "127.0.0.1", 9784}, {"localhost:80", true, "127.0.0.1", 80},
        {"[::1]:0", true, "::1", 0},                 {"0.0.0.0:9784", true, "0.0.0.0", 9784},
        {"127.0.0.1", false},                        {"127.0.0.1:65536", false},
        {":9784", false},                            {"example.com:80", false},
        {"[::1:80", false},                          {"127.0.0.1:-1", false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.text);
        const auto parsed = parseListenAddress(row.text);
        ASSERT_EQ(parsed.has_value(), row.valid);
        if (!parsed) continue;
        EXPECT_EQ(parsed->host, row.host);
        EXPECT_EQ(parsed->port, row.port);
    }
}

}  // namespace
}  // namespace quorvane::web
