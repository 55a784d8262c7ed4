// The control service's read-only local API: one request line ("/v1/state",
// "/v1/history?window=10m|1h|24h", "/v1/profile", "/v1/simulate?profile=…&mode=…"), one JSON reply
// line, every reply carrying "version": 1 and a failed one "status" (an HTTP code) and "error".
// ControlApi keeps the history and the latest tick; the loop's thread records, the socket's thread
// answers from a copy taken under a short lock. A simulation runs the control loop's own code over
// the recorded hour on the socket's thread, never touching the loop that drives the fans: each
// tick's recorded control temperature and fan speeds, the fans' bounds as read last, the alert
// rule and workload followed now (a candidate naming another sensor still sees the recorded
// temperature: the history keeps no other).
// ControlApi is thread-safe; parseApiRequest is pure.
#pragma once

#include <atomic>
#include <cstddef>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include <nlohmann/json.hpp>

#include "control_history.hpp"
#include "control_loop.hpp"
#include "drive_fans.hpp"
#include "run_report.hpp"
#include "shared/profiles/alert_rule.hpp"
#include "shared/profiles/custom_mode.hpp"
#include "shared/profiles/fan_profile.hpp"

namespace quorvane::ctl {

inline constexpr const char* controlApiSocketName = "quorvane-control.api";
// A request line longer than this is dropped unanswered. A simulation's candidate profile (its
// stored JSON, percent-encoded) is what needs the room: a curve of maxSimulatedPoints points fits.
inline constexpr std::size_t controlApiMaxRequestBytes = 8192;
inline constexpr std::size_t maxSimulatedPoints = 32;

struct ApiRequest {
    enum class Kind { state, history, profile, simulate };
    Kind kind = Kind::state;
    double windowSeconds = 0;  // history only: 600, 3600 or 86400
    std::string window;        // "10m", "1h", "24h"
    // simulate only: the candidate profile (absent: the one followed) and custom mode (absent:
    // the one followed; an empty inner optional: none, from "mode=null").
    std::optional<FanProfile> profile;
    std::optional<std::optional<CustomMode>> mode;
};
struct ApiError {
    int status = 400;
    std::string message;
};

std::variant<ApiRequest, ApiError> parseApiRequest(std::string_view line);

class ControlApi {
public:
    // What the service follows; called at the start and after each reload that took.
    void following(const std::string& name, const ControlLoop& loop);
    // One tick that worked, at `now` (Unix seconds); on the loop's thread. The tick is kept at the
    // loop's own clock (tick.t) moved onto Unix time, so the spacing a simulation replays is the
    // one the loop saw; a jump of more than a second between the two (a sleep, a clock step)
    // moves the anchor.
    void record(const RunTick& tick, double now);
    void tickFailed(DriveOptions::Failure failure);

    // The reply line (no newline) for a request line, as of `now`.
    std::string answer(std::string_view line, double now) const;
    // Whether the state (with every sensor) was asked for within the last sensorsWantedSeconds.
    bool sensorsWanted(double now) const { return now - stateAskedAt_.load() < sensorsWantedSeconds; }
    static constexpr double sensorsWantedSeconds = 60;

private:
    std::string state(double now) const;
    std::string history(const ApiRequest& request, double now) const;
    std::string simulate(const ApiRequest& request, double now) const;

    mutable std::atomic<double> stateAskedAt_{-1e18};
    mutable std::mutex mutex_;
    ControlHistory history_;                // guarded by mutex_
    RunTick latest_;                        // guarded by mutex_
    bool haveTick_ = false;                 // guarded by mutex_
    double latestAt_ = 0;                   // guarded by mutex_
    unsigned long long ticks_ = 0;          // guarded by mutex_
    unsigned long long failedTicks_ = 0;    // guarded by mutex_
    unsigned long long smcErrors_ = 0;      // guarded by mutex_
    unsigned long long daemonErrors_ = 0;   // guarded by mutex_
    std::vector<SensorSample> sensors_;     // the last full read; guarded by mutex_
    std::optional<double> anchor_;          // Unix time minus the loop's clock; guarded by mutex_
    nlohmann::ordered_json profile_;        // guarded by mutex_
    // What is followed, for simulations: the loop's settings (a copy; never the live loop).
    std::optional<ControlLoop> followed_;   // guarded by mutex_
};

}  // namespace quorvane::ctl
