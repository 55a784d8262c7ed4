#include "daemon_client.hpp"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <utility>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "platform/bootstrap/bootstrap.hpp"
#include "protocol/quorvane_xpc_interface.hpp"
#include "shared/smc/smc_data_codec.hpp"

namespace quorvane::ctl {

namespace {

using SteadyClock = std::chrono::steady_clock;

// One call's outcome, shared with the reply and error blocks, which may run after the caller
// stopped waiting.
template <class Result>
struct PendingCall {
    std::mutex mutex;
    std::condition_variable condition;
    std::optional<Result> value;             // guarded by mutex
    std::optional<xpc::ErrorObject> failure;  // guarded by mutex

    void finish(std::optional<Result> v, std::optional<xpc::ErrorObject> f) {
        {
            std::lock_guard lock(mutex);
            if (value || failure) return;
            value = std::move(v);
            failure = std::move(f);
        }
        condition.notify_all();
    }
};

std::string seconds(double s) { return shortestDecimal(s) + " s"; }

// The daemon said no: its message and code.
[[noreturn]] void throwServiceError(const ServiceError& error) {
    throw ClientError("daemon error " + std::to_string(error.code) + ": " + error.localizedDescription());
}

// Whether anything accepts connections at path; errno text when not.
// Why a connection to path is refused now (strerror, and the errno in *error), or nullopt when it
// is accepted.
std::optional<std::string> probeRefusal(const std::string& path, int* errorNumber = nullptr) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (errorNumber) *errorNumber = fd < 0 ? errno : 0;
    if (fd < 0) return std::string(std::strerror(errno));
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path) {
        ::close(fd);
        return std::string("path too long");
    }
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    const bool ok = ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    const int error = errno;
    ::close(fd);
    if (ok) return std::nullopt;
    if (errorNumber) *errorNumber = error;
    return std::string(std::strerror(error));
}

}  // namespace

DaemonClient::DaemonClient(Options options) : options_(std::move(options)), state_(std::make_shared<State>()) {
    state_->onConnectionLost = options_.onConnectionLost;
    connection_ = xpc::Connection::connectToMachService(HelperConstants::machServiceName);
    connection_->setInvalidationHandler([state = state_] { state->markLost("the connection ended"); });
    connection_->resume();
    if (options_.heartbeats) heartbeats_ = std::thread([this] { heartbeatLoop(); });
}

DaemonClient::~DaemonClient() {
    {
        std::lock_guard lock(state_->mutex);
        state_->stopping = true;
    }
    state_->stopCondition.notify_all();
    // Invalidating first fails a heartbeat in flight at once instead of after its timeout.
    connection_->invalidate();
    if (heartbeats_.joinable()) heartbeats_.join();
}

std::string DaemonClient::socketPath() { return bootstrap::socketPath(HelperConstants::machServiceName); }

std::optional<std::string> DaemonClient::connectionLost() const {
    std::lock_guard lock(state_->mutex);
    return state_->lostReason;
}

void DaemonClient::State::markLost(std::string why) {
    bool notify = false;
    {
        std::lock_guard lock(mutex);
        if (!lostReason) lostReason = std::move(why);
        notify = !stopping;
    }
    stopCondition.notify_all();
    if (notify && onConnectionLost) onConnectionLost();
}

template <class Result, class Send>
Result DaemonClient::call(const char* what, double timeout, Send send) {
    auto pending = std::make_shared<PendingCall<Result>>();
    QuorvaneXPCRemoteProxy proxy(connection_, [pending](const xpc::ErrorObject& e) { pending->finish(std::nullopt, e); });
    send(proxy, [pending](Result r) { pending->finish(std::move(r), std::nullopt); });

    std::unique_lock lock(pending->mutex);
    const bool done = pending->condition.wait_for(lock, std::chrono::duration<double>(timeout),
                                                  [&] { return pending->value || pending->failure; });
    if (done && pending->value) {
        Result result = std::move(*pending->value);
        lock.unlock();
        std::lock_guard state(state_->mutex);
        state_->everAnswered = true;
        return result;
    }
    lock.unlock();
    if (done || connectionLost()) throwConnectionError(what);
    throw ClientError(std::string("no reply from the daemon to ") + what + " within " + seconds(timeout));
}

void DaemonClient::throwConnectionError(const char* what) {
    bool answered;
    {
        std::lock_guard lock(state_->mutex);
        answered = state_->everAnswered;
    }
    const std::string path = socketPath();
    if (answered) throw ClientError(std::string("lost the connection to the daemon at ") + path + " during " + what);
    int refusedWith = 0;
    if (auto refusal = probeRefusal(path, &refusedWith)) {
        if (refusedWith == EACCES || refusedWith == EPERM) throw ClientError(permissionDeniedText());
        throw ClientError("cannot reach the daemon: nothing accepts connections at " + path + " (" + *refusal +
                          "); is com.quorvane.SMCService running?");
    }
    throw ClientError("the daemon at " + path + " closed the connection without answering " + what +
                      " (this client was not admitted)");
}

std::string DaemonClient::helperVersion() {
    return call<std::string>("the version request", HelperConstants::xpcCallTimeout,
                             [](QuorvaneXPCProtocol& p, auto done) { p.helperVersion(done); });
}

double DaemonClient::setTargetRPM(long fan, double rpm) {
    using Reply = std::pair<double, OptionalError>;
    const Reply reply = call<Reply>("set-rpm", HelperConstants::engageCallTimeout, [&](QuorvaneXPCProtocol& p, auto done) {
        p.setTargetRPM(fan, rpm, [done](double applied, OptionalError e) { done(Reply{applied, std::move(e)}); });
    });
    if (reply.second) throwServiceError(*reply.second);
    return reply.first;
}

void DaemonClient::setManualControl(long fan, bool enabled) {
    const double timeout = enabled ? HelperConstants::engageCallTimeout : HelperConstants::xpcCallTimeout;
    const auto error = call<OptionalError>("manual", timeout, [&](QuorvaneXPCProtocol& p, auto done) {
        p.setManualControl(fan, enabled, done);
    });
    if (error) throwServiceError(*error);
}

void DaemonClient::restoreAutomaticControl() {
    const auto error = call<OptionalError>("restore", HelperConstants::xpcCallTimeout,
                                           [](QuorvaneXPCProtocol& p, auto done) { p.restoreAutomaticControl(done); });
    if (error) throwServiceError(*error);
}

void DaemonClient::heartbeatLoop() {
    // The first beat goes out as the connection opens: the daemon's watchdog may start counting
    // before the reply to a slow first command arrives.
    auto next = SteadyClock::now();
    const auto interval = std::chrono::duration_cast<SteadyClock::duration>(
        std::chrono::duration<double>(options_.heartbeatInterval));
    for (;;) {
        {
            std::unique_lock lock(state_->mutex);
            if (state_->stopCondition.wait_until(lock, next, [&] { return state_->stopping || state_->lostReason; })) {
                return;
            }
        }
        try {
            call<double>("a heartbeat", HelperConstants::heartbeatCallTimeout,
                         [](QuorvaneXPCProtocol& p, auto done) { p.heartbeat(done); });
        } catch (const ClientError& e) {
            {
                std::lock_guard lock(state_->mutex);
                if (state_->stopping || state_->lostReason) return;
            }
            if (options_.onHeartbeatFailure) {
                options_.onHeartbeatFailure(e.what());
            } else {
                std::fprintf(stderr, "quorvanectl: %s\n", e.what());
            }
        }
        next += interval;
        // A beat that waited out its timeout must not make the next ones bunch up.
        if (const auto now = SteadyClock::now(); next < now) next = now;
    }
}

}  // namespace quorvane::ctl
