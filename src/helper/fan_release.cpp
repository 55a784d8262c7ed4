#include "helper/fan_release.hpp"

#include <algorithm>
#include <utility>

#include "shared/smc/fan_key.hpp"
#include "shared/smc/shortest_decimal.hpp"

namespace quorvane {

double ReleaseBackoff::next() {
    const double delay = delay_;
    delay_ = std::min(delay_ * 2, cap);
    return delay;
}

FanRelease::FanRelease(dispatch::Queue& queue, const log::Logger& log, Attempt attempt, std::function<void()> changed)
    : queue_(queue), log_(log), attempt_(std::move(attempt)), changed_(std::move(changed)) {}

void FanRelease::record(const ReleaseOutcome& outcome) {
    // Fans first, in order, then the diagnostic switch: the order the keys are written in.
    for (const auto& [entry, failure] : outcome) {
        if (entry >= 0) take(entry, failure);
    }
    if (auto it = outcome.find(diagnosticSwitch); it != outcome.end()) take(diagnosticSwitch, it->second);
    if (pendingEntries_.empty()) {
        backoff_.reset();
    } else {
        scheduleRetry();
    }
    if (changed_) changed_();
    settle();
}

void FanRelease::take(long entry, const std::optional<std::string>& failure) {
    auto it = entries_.find(entry);
    if (!failure) {
        if (it == entries_.end()) return;
        const int attempts = it->second.attempts + 1;
        if (it->second.failureLogged) {
            if (entry == diagnosticSwitch) {
                log_.notice("%{public}s reset after %d attempts", FanKey::forceTest, attempts);
            } else {
                log_.notice("fan %ld back under automatic control after %d attempts", entry, attempts);
            }
        }
        entries_.erase(it);
        pendingEntries_.erase(entry);
        return;
    }
    Entry& e = entries_[entry];
    pendingEntries_.insert(entry);
    ++e.attempts;
    // One line per hand-back that goes wrong, however long the retries then take.
    if (std::exchange(e.failureLogged, true)) return;
    if (entry == diagnosticSwitch) {
        log_.error("%{public}s reset failed: %{public}s — retrying", FanKey::forceTest, *failure);
    } else {
        log_.error("restore fan %ld failed: %{public}s — retrying", entry, *failure);
    }
}

void FanRelease::cancel(long entry) {
    if (!entries_.erase(entry)) return;
    pendingEntries_.erase(entry);
    if (pendingEntries_.empty()) backoff_.reset();
    settle();
}

std::vector<long> FanRelease::fansPending() const {
    std::vector<long> fans;
    for (long entry : pendingEntries_) {
        if (entry >= 0) fans.push_back(entry);
    }
    return fans;
}

int FanRelease::attempts(long entry) const {
    auto it = entries_.find(entry);
    return it == entries_.end() ? 0 : it->second.attempts;
}

void FanRelease::whenSettled(std::function<void()> done) {
    settledWaiters_.push_back(std::move(done));
    settle();
}

void FanRelease::settle() {
    if (!fansPending().empty() || settledWaiters_.empty()) return;
    for (const auto& done : std::exchange(settledWaiters_, {})) done();
}

void FanRelease::scheduleRetry() {
    // One retry in flight at a time: a new road's own attempt does not add a second series.
    if (std::exchange(retryScheduled_, true)) return;
    queue_.asyncAfter(clock::seconds(backoff_.next()), [this] { retry(); });
}

void FanRelease::retry() {
    retryScheduled_ = false;
    if (pendingEntries_.empty()) return;
    record(attempt_(pendingEntries_));
}

ReleaseOutcome FanRelease::handBack(SMCKernelBridge& bridge, const FanControlKeys& keys,
                                    const std::set<long>& entries, bool whole) {
    ReleaseOutcome outcome;
    auto confirmedUnlessRead = [](const SMCError& e) {
        // A driver that shows no mode (macsmc-hwmon answers 0x85), or a key the SMC does not
        // know: the write's success is all there is to go by.
        return e.kind() == SMCError::Kind::notReadable || e.kind() == SMCError::Kind::keyNotFound;
    };
    std::vector<long> byMode, byMask;
    for (long fan : entries) {
        if (fan < 0) continue;
        if (keys.hasModeKey(fan)) {
            byMode.push_back(fan);
        } else if (keys.forceBitmask && fan < 16) {
            byMask.push_back(fan);
        } else {
            outcome[fan] = std::nullopt;  // no way to hold it, so nothing to hand back
        }
    }

    // A write that failed still gets its read-back: a fan that is automatic already is handed back.
    std::map<long, std::string> modeFailures;
    std::vector<long> modeRead;
    for (long fan : byMode) {
        try {
            bridge.write(FanKey::mode(fan), 0.0);
            modeRead.push_back(fan);
        } catch (const SMCError& e) {
            if (e.kind() != SMCError::Kind::keyNotFound) {
                modeFailures[fan] = e.description();
                modeRead.push_back(fan);
            } else if (keys.forceBitmask && fan < 16) {
                byMask.push_back(fan);
            } else {
                outcome[fan] = std::nullopt;
            }
        }
    }

    std::optional<std::string> maskFailure;
    try {
        if (whole && keys.forceBitmask) {
            bridge.write(FanKey::forceBitmask, 0.0);
        } else if (!byMask.empty()) {
            // Someone else's fan may be held by the same mask: clear only these bits.
            const double mask = bridge.read(FanKey::forceBitmask);
            unsigned bits = 0;
            for (long fan : byMask) {
                if (!FanControlKeys::forceBit(mask, fan)) {
                    throw SMCError::codec("decode " + std::string(FanKey::forceBitmask) + ": " + shortestDecimal(mask) +
                                          " is no 16-bit fan mask");
                }
                bits |= 1u << fan;
            }
            bridge.write(FanKey::forceBitmask, static_cast<double>(static_cast<unsigned>(mask) & ~bits));
        }
    } catch (const SMCError& e) {
        maskFailure = e.description();
    }

    if (entries.count(diagnosticSwitch)) {
        try {
            bridge.write(FanKey::forceTest, 0.0);
            outcome[diagnosticSwitch] = std::nullopt;
        } catch (const SMCError& e) {
            // A Mac without the switch has nothing to reset; one that reads it off is reset.
            outcome[diagnosticSwitch] = std::nullopt;
            if (e.kind() != SMCError::Kind::keyNotFound) {
                try {
                    if (bridge.read(FanKey::forceTest) != 0.0) outcome[diagnosticSwitch] = e.description();
                } catch (const SMCError&) {
                    outcome[diagnosticSwitch] = e.description();
                }
            }
        }
    }

    // Read-backs, once every write has been attempted.
    // A failed write's own error says more than what the read-back then shows.
    for (long fan : modeRead) {
        auto failed = modeFailures.find(fan);
        try {
            const double mode = bridge.read(FanKey::mode(fan));
            if (mode == 0.0) {
                outcome[fan] = std::nullopt;
            } else {
                outcome[fan] = failed != modeFailures.end() ? failed->second
                                                            : FanKey::mode(fan) + " still reads " + shortestDecimal(mode);
            }
        } catch (const SMCError& e) {
            if (failed != modeFailures.end()) {
                outcome[fan] = failed->second;
            } else {
                outcome[fan] = confirmedUnlessRead(e) ? std::nullopt : std::optional<std::string>(e.description());
            }
        }
    }
    if (!byMask.empty()) {
        try {
            const double mask = bridge.read(FanKey::forceBitmask);
            for (long fan : byMask) {
                const auto bit = FanControlKeys::forceBit(mask, fan);
                if (bit && !*bit) {
                    outcome[fan] = std::nullopt;
                } else if (maskFailure) {
                    outcome[fan] = *maskFailure;
                } else if (!bit) {
                    outcome[fan] = "\"" + std::string(FanKey::forceBitmask) + "\" reads " + shortestDecimal(mask) +
                                   ", no 16-bit fan mask";
                } else {
                    outcome[fan] = "\"" + std::string(FanKey::forceBitmask) + "\" bit " + std::to_string(fan) +
                                   " still set";
                }
            }
        } catch (const SMCError& e) {
            for (long fan : byMask) {
                if (maskFailure) {
                    outcome[fan] = *maskFailure;
                } else {
                    outcome[fan] = confirmedUnlessRead(e) ? std::nullopt : std::optional<std::string>(e.description());
                }
            }
        }
    }
    return outcome;
}

std::string FanRelease::describeFans(const std::vector<long>& fans) {
    std::string text = fans.size() == 1 ? "fan " : "fans ";
    for (std::size_t i = 0; i < fans.size(); ++i) text += (i ? ", " : "") + std::to_string(fans[i]);
    return text;
}

}  // namespace quorvane
