// Whether the control service runs, and what it follows: a small file in the bootstrap directory
// on which the running service holds a write lock (an open-file-description lock, so a crashed
// service never leaves a stale claim behind). Any user may look; commands that take a fan look
// first, so that they and the service never fight over the fans. Main thread only.
#pragma once

#include <optional>
#include <string>

namespace quorvane::ctl {

struct ControlServiceState {
    long pid = 0;
    std::string following;  // "Quorvane Standard", or "Quorvane Standard + Gaming"
};

// Held by the running service for its lifetime.
class ControlServiceClaim {
public:
    // Throws ClientError when another service holds the claim or the file cannot be made.
    explicit ControlServiceClaim(const std::string& following);
    ~ControlServiceClaim();
    ControlServiceClaim(const ControlServiceClaim&) = delete;
    ControlServiceClaim& operator=(const ControlServiceClaim&) = delete;

    void update(const std::string& following);

private:
    int fd_ = -1;
};

std::optional<ControlServiceState> runningControlService();
// For a command about to take a fan: throws ClientError (usage) naming who is in control.
void refuseWhileControlServiceRuns();

}  // namespace quorvane::ctl
