// The control service's read-only local API: one request line ("/v1/state",
// "/v1/history?window=10m|1h|24h", "/v1/profile"), one JSON reply line, every reply carrying
// "version": 1 and a failed one "status" (an HTTP code) and "error". ControlApi keeps the history
// and the latest tick; the loop's thread records, the socket's thread answers from a copy taken
// under a short lock. ControlApi is thread-safe; parseApiRequest is pure.
#pragma once

#include <cstddef>
#include <mutex>
#include <string>
#include <string_view>
#include <variant>

#include <nlohmann/json.hpp>

#include "control_history.hpp"
#include "run_report.hpp"
#include "shared/profiles/alert_rule.hpp"
#include "shared/profiles/fan_profile.hpp"

namespace quorvane::ctl {

inline constexpr const char* controlApiSocketName = "quorvane-control.api";
// A request line longer than this is dropped unanswered.
inline constexpr std::size_t controlApiMaxRequestBytes = 256;

struct ApiRequest {
    enum class Kind { state, history, profile };
    Kind kind = Kind::state;
    double windowSeconds = 0;  // history only: 600, 3600 or 86400
    std::string window;        // "10m", "1h", "24h"
};
struct ApiError {
    int status = 400;
    std::string message;
};

std::variant<ApiRequest, ApiError> parseApiRequest(std::string_view line);

class ControlApi {
public:
    // What the service follows; called at the start and after each reload that took.
    void following(const std::string& name, const FanProfile& profile, const AlertRule& alert);
    // One tick that worked, at `now` (Unix seconds); on the loop's thread.
    void record(const RunTick& tick, double now);
    void tickFailed();

    // The reply line (no newline) for a request line, as of `now`.
    std::string answer(std::string_view line, double now) const;

private:
    std::string state(double now) const;
    std::string history(const ApiRequest& request, double now) const;

    mutable std::mutex mutex_;
    ControlHistory history_;                // guarded by mutex_
    RunTick latest_;                        // guarded by mutex_
    bool haveTick_ = false;                 // guarded by mutex_
    double latestAt_ = 0;                   // guarded by mutex_
    unsigned long long ticks_ = 0;          // guarded by mutex_
    unsigned long long failedTicks_ = 0;    // guarded by mutex_
    nlohmann::ordered_json profile_;        // guarded by mutex_
};

}  // namespace quorvane::ctl
