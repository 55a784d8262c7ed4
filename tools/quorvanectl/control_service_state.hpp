// Who holds the fans: one claim for every command that takes them (the control service, `run`,
// `set-rpm`, `manual on`), a small file in the bootstrap directory on which the holder keeps a
// write lock (an open-file-description lock: taking it is atomic, and a crashed holder never
// leaves a stale claim behind). Any user may look; `restore` and `manual off` look before they
// hand fans back. Main thread only.
#pragma once

#include <optional>
#include <string>

namespace quorvane::ctl {

struct FanClaimState {
    long pid = 0;
    std::string holder;     // "quorvane-control", or the command, e.g. "quorvanectl set-rpm"
    std::string following;  // the service's: "Quorvane Standard", or "Quorvane Standard + Gaming"

    bool isControlService() const;
};
using ControlServiceState = FanClaimState;

// Held for as long as its holder holds fans.
class FanClaim {
public:
    static constexpr const char* serviceHolder = "quorvane-control";

    // Throws ClientError (usage) naming the holder when another process holds the claim, or
    // (failed) when the file cannot be made. A user who may not write the bootstrap directory
    // (the daemon decides what such a user may do) cannot take the claim: the constructor then
    // only refuses while another holds it.
    FanClaim(std::string holder, const std::string& following = {});
    ~FanClaim();
    FanClaim(const FanClaim&) = delete;
    FanClaim& operator=(const FanClaim&) = delete;

    void update(const std::string& following);

private:
    std::string holder_;
    int fd_ = -1;
};

// The holder, whoever it is.
std::optional<FanClaimState> fanClaimHolder();
// The holder when it is the control service.
std::optional<ControlServiceState> runningControlService();
// For `restore` and `manual off`: throws ClientError (usage) naming the holder, unless `force`.
void refuseWhileFansAreClaimed(const std::string& command, bool force);

}  // namespace quorvane::ctl
