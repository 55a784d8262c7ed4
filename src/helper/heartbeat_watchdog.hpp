// The fail-safe decision: records heartbeats and manual engagement on the suspending clock and
// says when silence has lasted longer than the timeout while manual control is engaged.
// Value type, not shared: the service guards its one instance with watchdogLock.
#pragma once

#include <optional>

#include "platform/clock/clock.hpp"

namespace quorvane {

class HeartbeatWatchdog {
public:
    explicit HeartbeatWatchdog(double timeout) : timeout(timeout) {}

    double timeout;  // seconds

    const std::optional<clock::Instant>& lastBeat() const { return lastBeat_; }
    bool manualControlEngaged() const { return manualControlEngaged_; }

    void recordBeat(clock::Instant at) { lastBeat_ = at; }
    // Engaging starts a fresh timeout period; disengaging leaves the last beat alone.
    void manualEngaged(bool engaged, clock::Instant at) {
        manualControlEngaged_ = engaged;
        if (engaged) lastBeat_ = at;
    }
    // A silence of exactly the timeout is not yet a failure.
    bool shouldFailSafe(clock::Instant now) const {
        if (!manualControlEngaged_) return false;
        if (!lastBeat_) return true;
        return now - *lastBeat_ > clock::seconds(timeout);
    }

private:
    std::optional<clock::Instant> lastBeat_;
    bool manualControlEngaged_ = false;
};

}  // namespace quorvane
