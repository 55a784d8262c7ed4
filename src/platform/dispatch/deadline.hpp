// Deadline arithmetic shared by both dispatch backends: "now + delay" that never overflows and
// never lies in the past of now. Pure functions, no state.
#pragma once

#include <limits>

#include "platform/clock/clock.hpp"

namespace quorvane::dispatch::detail {

// now + delay, with negative delays treated as zero and results beyond the representable range
// saturating at the latest instant (a "forever" timeout stays forever instead of wrapping).
inline clock::Instant deadlineAfter(clock::Instant now, clock::Duration delay) {
    if (delay <= clock::Duration::zero()) return now;
    const auto latest = clock::Duration::max();
    if (now.sinceOrigin > latest - delay) return clock::Instant{latest};
    return now + delay;
}

// The first instant of the series start, start + interval, start + 2 * interval, ... that lies
// after `after`. Used by repeating timers to skip, not burst, the fires they missed while their
// queue was busy (libdispatch coalesces such fires the same way). interval must be positive.
inline clock::Instant nextFireAfter(clock::Instant start, clock::Duration interval,
                                    clock::Instant after) {
    if (start > after) return start;
    const auto missed = (after - start) / interval + 1;
    if (missed > (clock::Duration::max() - start.sinceOrigin) / interval) {
        return clock::Instant{clock::Duration::max()};
    }
    return start + missed * interval;
}

}  // namespace quorvane::dispatch::detail
