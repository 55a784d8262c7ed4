// Waiting for an SMC that is not there yet at launch (the driver's module still loading, the
// virtual Mac still starting): how long to wait before each new look, and when to give up so a
// machine that will never have one ends in one failed state instead of a restart loop. Pure.
#pragma once

#include <chrono>
#include <optional>

namespace quorvane {

struct SMCWait {
    static constexpr std::chrono::milliseconds firstPause{250};
    static constexpr std::chrono::milliseconds longestPause{4000};
    // Under the service manager's start timeout (90 s by default), so the failure is ours to word.
    static constexpr std::chrono::milliseconds budget{60000};
    // The exit status of a launch that found no SMC within the budget (EX_UNAVAILABLE); the unit
    // does not restart on it.
    static constexpr int noSMCStatus = 69;

    // The pause before the next look once `waited` has passed, doubling from firstPause up to
    // longestPause and ending exactly at the budget; nullopt once the budget is spent.
    static std::optional<std::chrono::milliseconds> nextPause(std::chrono::milliseconds waited,
                                                              std::chrono::milliseconds lastPause);
};

}  // namespace quorvane
