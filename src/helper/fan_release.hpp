// Hands fans back to the firmware until a read-back says each one is under automatic control:
// the entries still waiting, how often each was tried, and the back-off between tries. Hardware
// queue only: its retries run on the queue it is given, which must be the queue its owner calls
// it from. ReleaseBackoff is a value type; handBack() talks to whatever bridge it is given.
#pragma once

#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/dispatch/dispatch.hpp"
#include "platform/log/log.hpp"
#include "smc/fan_control_keys.hpp"
#include "smc/smc_kernel_bridge.hpp"

namespace quorvane {

// The pause before each retry: 0.1 s, doubling, at most 2 s — quick for a one-off refusal, one
// exchange every 2 s for a controller that stays unwell.
class ReleaseBackoff {
public:
    static constexpr double first = 0.1;
    static constexpr double cap = 2.0;

    // The pause before the next retry; each call doubles the one after it.
    double next();
    void reset() { delay_ = first; }

private:
    double delay_ = first;
};

// Per entry of one attempt: empty when a read-back (or, where the driver shows no mode, the
// write itself) confirms automatic control, else why not.
using ReleaseOutcome = std::map<long, std::optional<std::string>>;

class FanRelease {
public:
    // The diagnostic switch "Ftst" rides along as this entry: retried like a fan, never counted as one.
    static constexpr long diagnosticSwitch = -1;

    // Hands back exactly the entries given and reads each fan back.
    using Attempt = std::function<ReleaseOutcome(const std::set<long>& entries)>;

    // changed runs after every outcome is taken in, so the owner can follow what is still waiting.
    FanRelease(dispatch::Queue& queue, const log::Logger& log, Attempt attempt, std::function<void()> changed);

    // Takes in an attempt's outcome: confirmed entries leave, the others wait and are retried with
    // back-off. One error line when an entry first fails, one notice when it is finally confirmed.
    void record(const ReleaseOutcome& outcome);
    // A new owner has taken the entry (a command engaged the fan): its release ends without a word.
    void cancel(long entry);

    const std::set<long>& pending() const { return pendingEntries_; }
    // The fans (not the diagnostic switch) still waiting, in order.
    std::vector<long> fansPending() const;
    // done runs once no fan is waiting any more: at once if none is.
    void whenSettled(std::function<void()> done);
    // Attempts so far for an entry still waiting; 0 otherwise.
    int attempts(long entry) const;

    // Writes automatic control for the entries on bridge, then reads each fan back: its mode key
    // "F<n>Md" must read 0, or its bit of "FS! " be clear. A mode the driver cannot show
    // (notReadable) is confirmed by its write. whole: nothing stays engaged, so "FS! " is written 0
    // outright; else only the entries' own bits are cleared. A fan with neither key, or a key the
    // SMC does not know, has nothing to hand back. Every write is attempted, whatever fails before.
    static ReleaseOutcome handBack(SMCKernelBridge& bridge, const FanControlKeys& keys, const std::set<long>& entries,
                                   bool whole);
    // "fan 0" or "fans 0, 1".
    static std::string describeFans(const std::vector<long>& fans);

private:
    struct Entry {
        int attempts = 0;
        bool failureLogged = false;
    };
    void take(long entry, const std::optional<std::string>& failure);
    void scheduleRetry();
    void retry();
    void settle();

    dispatch::Queue& queue_;
    const log::Logger& log_;
    Attempt attempt_;
    std::function<void()> changed_;
    std::map<long, Entry> entries_;
    std::set<long> pendingEntries_;  // the keys of entries_
    ReleaseBackoff backoff_;
    bool retryScheduled_ = false;
    std::vector<std::function<void()>> settledWaiters_;
};

}  // namespace quorvane
