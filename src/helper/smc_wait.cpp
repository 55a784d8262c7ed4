#include "helper/smc_wait.hpp"

#include <algorithm>

namespace quorvane {

std::optional<std::chrono::milliseconds> SMCWait::nextPause(std::chrono::milliseconds waited,
                                                            std::chrono::milliseconds lastPause) {
    if (waited >= budget) return std::nullopt;
    const auto doubled = lastPause <= std::chrono::milliseconds::zero() ? firstPause : std::min(lastPause * 2, longestPause);
    return std::min(std::max(doubled, firstPause), budget - waited);
}

}  // namespace quorvane
