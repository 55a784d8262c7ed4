// quorvane-web [--listen ADDR:PORT]: the web face. Serves the dashboard, /metrics for Prometheus
// and /api/… (relayed read-only to the control service's socket in the bootstrap directory) on
// 127.0.0.1:9784 unless told another address. It reaches neither the daemon nor the SMC.
// SIGINT or SIGTERM ends it.
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cstring>
#include <iostream>
#include <string>

#include "platform/bootstrap/bootstrap.hpp"
#include "platform/bootstrap/line_socket.hpp"
#include "web_server.hpp"

namespace {

constexpr const char* kSocketName = "quorvane-control.api";
// The largest reply (a day of per-minute history for four fans) is well under this.
constexpr std::size_t kMaxReplyBytes = 8 * 1024 * 1024;
constexpr int kAskTimeoutMilliseconds = 2000;

void usage(std::ostream& out) {
    out << "usage: quorvane-web [--listen ADDR:PORT]\n"
           "  Serves the dashboard, /metrics and /api/ on ADDR:PORT (default 127.0.0.1:9784).\n";
}

}  // namespace

int main(int argc, char** argv) {
    quorvane::web::ListenAddress address;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            usage(std::cout);
            return 0;
        }
        if (arg == "--listen" && i + 1 < argc) {
            const auto parsed = quorvane::web::parseListenAddress(argv[++i]);
            if (!parsed) {
                std::cerr << "quorvane-web: --listen takes ADDR:PORT (e.g. 127.0.0.1:9784 or [::1]:9784), not \"" << argv[i]
                          << "\"" << std::endl;
                return 2;
            }
            address = *parsed;
            continue;
        }
        std::cerr << "quorvane-web: unknown argument \"" << arg << "\"\n";
        usage(std::cerr);
        return 2;
    }
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    ::sigprocmask(SIG_BLOCK, &stopSignals, nullptr);
    ::signal(SIGPIPE, SIG_IGN);
    const int stopFd = ::signalfd(-1, &stopSignals, SFD_CLOEXEC);
    if (stopFd < 0) {
        std::cerr << "quorvane-web: signalfd: " << std::strerror(errno) << std::endl;
        return 1;
    }
    const std::string socket = quorvane::bootstrap::socketPath(kSocketName);
    try {
        quorvane::web::WebServer server(address, [&socket](const std::string& line) {
            return quorvane::bootstrap::askLine(socket, line, kMaxReplyBytes, kAskTimeoutMilliseconds);
        });
        const bool v6 = address.host.find(':') != std::string::npos;
        std::cerr << "quorvane-web: serving http://" << (v6 ? "[" + address.host + "]" : address.host) << ":" << server.port()
                  << "/ from the control service at " << socket << std::endl;
        server.run(stopFd);
    } catch (const std::exception& e) {
        std::cerr << "quorvane-web: " << e.what() << std::endl;
        return 1;
    }
    ::close(stopFd);
    return 0;
}
