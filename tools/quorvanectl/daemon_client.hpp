// The application's side of the daemon connection: connects to the Mach service, declares the
// application's identity, sends heartbeats on their own schedule from the moment the connection
// opens, and makes each call wait at most its contract timeout. Thread-safe: calls may come from
// any thread, concurrently with the heartbeats. Failures are thrown as ClientError.
#pragma once

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "client_error.hpp"
#include "platform/xpc/connection.hpp"
#include "shared/smc/helper_constants.hpp"

namespace quorvane::ctl {

class DaemonClient {
public:
    struct Options {
        bool heartbeats = true;
        double heartbeatInterval = HelperConstants::heartbeatInterval;
        // Runs (on another thread) once the connection is known to be gone.
        std::function<void()> onConnectionLost;
        // A heartbeat that failed (on the heartbeat thread); without it, a line on stderr.
        std::function<void(const std::string&)> onHeartbeatFailure;
    };

    explicit DaemonClient(Options options);
    ~DaemonClient();
    DaemonClient(const DaemonClient&) = delete;
    DaemonClient& operator=(const DaemonClient&) = delete;

    std::string helperVersion();
    // The RPM the daemon applied.
    double setTargetRPM(long fan, double rpm);
    void setManualControl(long fan, bool enabled);
    void restoreAutomaticControl();

    // Why the connection ended, once it has; otherwise empty.
    std::optional<std::string> connectionLost() const;
    // The socket this client connects to.
    static std::string socketPath();

private:
    template <class Result, class Send>
    Result call(const char* what, double timeout, Send send);
    [[noreturn]] void throwConnectionError(const char* what);
    void heartbeatLoop();

    // Shared with the connection's invalidation handler, which may run after this object is gone.
    struct State {
        std::mutex mutex;
        std::condition_variable stopCondition;
        bool stopping = false;                 // guarded by mutex
        std::optional<std::string> lostReason;  // guarded by mutex
        bool everAnswered = false;             // guarded by mutex
        std::function<void()> onConnectionLost;

        void markLost(std::string why);
    };

    const Options options_;
    const std::shared_ptr<State> state_;
    std::shared_ptr<xpc::Connection> connection_;
    std::thread heartbeats_;
};

}  // namespace quorvane::ctl
