#include "helper/helper_service.hpp"

#include <algorithm>
#include <cassert>
#include <cmath>
#include <utility>

#include "platform/xpc/connection.hpp"
#include "shared/smc/fan_key.hpp"
#include "shared/smc/helper_constants.hpp"
#include "shared/smc/write_policy.hpp"

namespace quorvane {

const log::Logger& serviceLog() {
    // Never destroyed: the exit hook logs after static destructors have started to run.
    static const auto* logger = new log::Logger(HelperConstants::daemonLabel, "service");
    return *logger;
}

namespace {
std::string fanOutOfRange(std::int64_t fan) { return "fan index " + std::to_string(fan) + " out of range"; }
// What a fan command hears once the process has begun to end.
const std::string kExiting = "the helper is exiting";
std::string canceledByRestore() {
    return makeServiceError(ServiceErrorCode::engageCanceled, "manual-mode engage canceled by restore").rendering();
}
}  // namespace

HelperService::HelperService(std::shared_ptr<SMCKernelBridge> bridge, double unlockTimeout, double retryInterval,
                             double heartbeatTimeout, dispatch::Backend& backend)
    : backend_(backend),
      queue_(backend.makeQueue("com.quorvane.SMCService.hw")),
      watchdogQueue_(backend.makeQueue("com.quorvane.SMCService.watchdog")),
      bridge_(std::move(bridge)),
      fanReader_(bridge_),
      watchdog_(heartbeatTimeout),
      fanRelease_(*queue_, serviceLog(), [this](const std::set<long>& entries) { return retryRelease(entries); },
                  [this] { followRelease(); }),
      unlockTimeout_(unlockTimeout),
      retryInterval_(retryInterval),
      clock_(backend.continuousClock()),
      startInstant_(clock_.now()),
      suspendingClock_(backend.suspendingClock()) {
    // Made parked: it fires only while a fan is engaged (see armWatchdog).
    watchdogTimer_ = backend_.makeTimer(watchdogQueue_);
    // The service owns the timer and cancels it before it goes away, so the handler holds it
    // by pointer rather than keeping it alive forever.
    watchdogTimer_->setEventHandler([this] { watchdogTick(); });
    watchdogTimer_->resume();
}

HelperService::~HelperService() {
    // Jobs capture this service by pointer. A tick in flight holds its timer, and the timer its
    // queue, so dropping our references would not wait for it: cancel the timer, then let the
    // watchdog queue run dry before dropping both queues (which discards their pending jobs and
    // waits for a running one) and before any field goes away.
    watchdogTimer_->cancel();
    if (!watchdogQueue_->isCurrent()) {
        auto drained = backend_.makeSemaphore(0);
        watchdogQueue_->async([drained] { drained->signal(); });
        drained->wait(clock::Duration::max());
    }
    watchdogTimer_.reset();
    watchdogQueue_.reset();
    queue_.reset();
}

// MARK: - Shared conventions

void HelperService::recordCaller() {
    if (auto id = xpc::Connection::currentIdentity()) {
        std::lock_guard lock(watchdogLock_);
        controllingClient_ = *id;
    }
}

bool HelperService::terminating() const {
    std::lock_guard lock(watchdogLock_);
    return terminating_;
}

EngageResult HelperService::unlessRestoredSince(std::int64_t epoch, const EngageResult& result) const {
    if (result.failure || emergencyRestoreEpoch() == epoch) return result;
    return EngageResult::failed(canceledByRestore());
}

void HelperService::beginTermination() {
    std::lock_guard lock(watchdogLock_);
    terminating_ = true;
}

long HelperService::resolvedFanCount() {
    {
        std::lock_guard lock(watchdogLock_);
        if (cachedFanCount_) return *cachedFanCount_;
    }
    const long count = fanReader_.fanCount();
    if (count > 0) {
        std::lock_guard lock(watchdogLock_);
        cachedFanCount_ = count;
    }
    return count;
}

FanControlKeys HelperService::resolvedControlKeys(long fanCount) {
    {
        std::lock_guard lock(watchdogLock_);
        if (controlKeys_) return *controlKeys_;
    }
    const FanControlKeys keys = FanControlKeys::find(*bridge_, fanCount);
    if (keys.settled && fanCount > 0) {
        std::lock_guard lock(watchdogLock_);
        controlKeys_ = keys;
    }
    return keys;
}

void HelperService::heartbeat(std::function<void(double)> reply) {
    queue_->async([this, reply = std::move(reply)] {
        const auto now = suspendingClock_.now();
        {
            std::lock_guard lock(watchdogLock_);
            watchdog_.recordBeat(now);
        }
        reply(clock::toSeconds(clock_.now() - startInstant_));
    });
}

void HelperService::helperVersion(std::function<void(std::string)> reply) { reply(helperBuildVersion); }

// MARK: - Restore

std::optional<std::string> HelperService::performRestore() {
    ++engageGeneration_;
    if (!engageWaiters_.empty()) {
        auto waiters = std::exchange(engageWaiters_, {});
        const auto canceled = EngageResult::failed(canceledByRestore());
        // Answered after the current job, so a restore's own reply goes out first.
        queue_->async([waiters = std::move(waiters), canceled] {
            for (const auto& [fan, list] : waiters) {
                for (const auto& waiter : list) waiter(canceled);
            }
        });
    }
    const long n = resolvedFanCount();
    std::set<long> entries{FanRelease::diagnosticSwitch};
    for (long i = 0; i < n; ++i) entries.insert(i);
    // Nothing stays engaged after a restore, so every fan's keys are written outright.
    const ReleaseOutcome outcome = FanRelease::handBack(*bridge_, resolvedControlKeys(n), entries, true);
    std::optional<std::string> first;
    for (long i = 0; i < n && !first; ++i) first = outcome.at(i);
    if (!first) first = outcome.at(FanRelease::diagnosticSwitch);
    manualFans_.clear();
    lastTargets_.clear();
    resetChecks_.clear();
    diagnosticUnlocked_ = false;
    // Logs what failed, schedules the retries and brings the watchdog in line (followRelease).
    fanRelease_.record(outcome);
    return first;
}

ReleaseOutcome HelperService::retryRelease(const std::set<long>& entries) {
    const long n = resolvedFanCount();
    const bool held = !manualFans_.empty() || !engageWaiters_.empty();
    return FanRelease::handBack(*bridge_, resolvedControlKeys(n), entries, !held);
}

void HelperService::followRelease() {
    const auto fans = fanRelease_.fansPending();
    const bool held = !manualFans_.empty() || !engageWaiters_.empty();
    const auto now = suspendingClock_.now();
    bool engage = false;
    {
        std::lock_guard lock(watchdogLock_);
        fansAwaitingRelease_ = fans;
        if (held) {
            releaseOnly_ = false;
        } else if (!fans.empty()) {
            releaseOnly_ = true;
            engage = !watchdog_.manualControlEngaged();
        } else {
            releaseOnly_ = false;
            watchdog_.manualEngaged(false, now);
        }
    }
    // A fan not yet confirmed counts as engaged: the timer ticks, and silence retries it.
    if (engage) engageWatchdog();
}

void HelperService::engageWatchdog() {
    const auto now = suspendingClock_.now();
    bool arm;
    {
        std::lock_guard lock(watchdogLock_);
        watchdog_.manualEngaged(true, now);
        arm = watchdogStarted_ && !std::exchange(watchdogArmed_, true);
    }
    if (arm) scheduleWatchdogTicks();
}

void HelperService::restoreAutomaticControl(std::function<void(OptionalError)> reply) {
    queue_->async([this, reply = std::move(reply)] {
        if (auto e = performRestore()) {
            reply(makeServiceError(ServiceErrorCode::hardwareFailed, "restore failed: " + *e));
        } else {
            reply(std::nullopt);
        }
    });
}

// MARK: - Manual control

void HelperService::setManualControl(std::int64_t fan, bool enabled, std::function<void(OptionalError)> reply) {
    recordCaller();
    const std::int64_t epoch = emergencyRestoreEpoch();
    queue_->async([this, fan, enabled, epoch, reply = std::move(reply)] {
        if (enabled && terminating()) {
            reply(makeServiceError(ServiceErrorCode::hardwareFailed, "engage manual failed: " + kExiting));
            return;
        }
        if (!enabled) {
            if (auto e = performRestore()) {
                reply(makeServiceError(ServiceErrorCode::hardwareFailed, "disengage failed: " + *e));
            } else {
                reply(std::nullopt);
            }
            return;
        }
        if (fan < 0 || fan >= resolvedFanCount()) {
            reply(makeServiceError(ServiceErrorCode::fanOutOfRange, fanOutOfRange(fan)));
            return;
        }
        engageManual(static_cast<long>(fan),
                     [this, epoch, reply](const EngageResult& result) { finishManualEngage(result, epoch, reply); });
    });
}

void HelperService::finishManualEngage(const EngageResult& engaged, std::int64_t epoch,
                                       const std::function<void(OptionalError)>& reply) {
    // The mode write may have hung while the watchdog handed every fan back.
    const auto result = unlessRestoredSince(epoch, engaged);
    if (!result.failure) {
        reply(std::nullopt);
        return;
    }
    performRestore();
    reply(makeServiceError(ServiceErrorCode::hardwareFailed, "engage manual failed: " + *result.failure));
}

void HelperService::engageManual(long fan, EngageCompletion completion) {
    assert(queue_->isCurrent());
    // The command is the fan's new owner: a hand-back still being retried for it ends here.
    fanRelease_.cancel(fan);
    if (!diagnosticUnlocked_) {
        try {
            bridge_->write(FanKey::forceTest, 1.0);
            serviceLog().notice("Ftst diagnostic mode engaged (M3/M4 unlock)");
            diagnosticUnlocked_ = true;
            fanRelease_.cancel(FanRelease::diagnosticSwitch);
        } catch (const SMCError& e) {
            if (e.kind() != SMCError::Kind::keyNotFound) {
                completion(EngageResult::failed(e.description()));
                return;
            }
            serviceLog().notice("Ftst absent on this Mac — proceeding without diagnostic unlock");
            diagnosticUnlocked_ = true;
        }
    }
    engageWatchdog();
    {
        const auto waiting = fanRelease_.fansPending();
        std::lock_guard lock(watchdogLock_);
        releaseOnly_ = false;
        fansAwaitingRelease_ = waiting;
    }
    if (manualFans_.count(fan)) {
        // Suspend, another program or the firmware itself may have handed the fan back since:
        // a success now must mean the fan is manual, so each command checks and re-engages.
        if (stillManual(fan)) {
            completion(EngageResult::success());
            return;
        }
        serviceLog().notice("fan %ld was back under automatic control (reset by sleep or firmware) — re-engaging",
                            fan);
        manualFans_.erase(fan);
        // The reset takes the diagnostic unlock with it.
        diagnosticUnlocked_ = false;
        if (auto last = lastTargets_.find(fan); last != lastTargets_.end()) {
            // Mode alone would leave the fan at whatever target the reset left: give it its own.
            completion = [this, fan, rpm = last->second, completion = std::move(completion)](const EngageResult& r) {
                if (!r.failure) {
                    try {
                        bridge_->write(FanKey::target(fan), rpm);
                    } catch (const SMCError& e) {
                        completion(EngageResult::failed(e.description()));
                        return;
                    }
                }
                completion(r);
            };
        }
        engageManual(fan, std::move(completion));
        return;
    }
    if (auto it = engageWaiters_.find(fan); it != engageWaiters_.end()) {
        it->second.push_back(std::move(completion));
        return;
    }
    engageWaiters_[fan].push_back(std::move(completion));
    const std::int64_t generation = engageGeneration_;
    std::int64_t epoch;
    {
        std::lock_guard lock(watchdogLock_);
        epoch = emergencyRestoreEpoch_;
    }
    const auto deadline = backend_.dispatchNow() + clock::seconds(unlockTimeout_);
    attemptEngage(fan, generation, epoch, deadline);
}

void HelperService::attemptEngage(long fan, std::int64_t generation, std::int64_t epoch, clock::Instant deadline) {
    // A restore since the sequence began has taken its waiters and answers them itself.
    if (engageGeneration_ != generation) return;
    std::int64_t currentEpoch;
    {
        std::lock_guard lock(watchdogLock_);
        currentEpoch = emergencyRestoreEpoch_;
    }
    // An emergency restore took the fans back behind this queue's back: nobody else will answer
    // these waiters, so they hear of the cancellation now (and fail safe).
    if (currentEpoch != epoch) {
        resolveEngageWaiters(fan, EngageResult::failed(canceledByRestore()));
        return;
    }
    try {
        writeManual(fan);
    } catch (const SMCError& e) {
        // A key this Mac does not have never appears: no point in asking for the whole window.
        if (e.kind() != SMCError::Kind::keyNotFound && backend_.dispatchNow() < deadline) {
            queue_->asyncAfter(clock::seconds(retryInterval_), [this, fan, generation, epoch, deadline] {
                attemptEngage(fan, generation, epoch, deadline);
            });
        } else {
            resolveEngageWaiters(fan, EngageResult::failed(e.description()));
        }
        return;
    }
    manualFans_.insert(fan);
    // A sleep from now on is a reset, also where the mode cannot be read.
    resetChecks_[fan] = resetCheckNow();
    resolveEngageWaiters(fan, EngageResult::success());
}

void HelperService::writeManual(long fan) {
    const FanControlKeys keys = resolvedControlKeys(resolvedFanCount());
    // With neither key the mode write fails as keyNotFound, naming the key the fan lacks.
    if (keys.hasModeKey(fan) || !keys.forceBitmask) {
        bridge_->write(FanKey::mode(fan), 1.0);
    } else {
        FanControlKeys::setForceBit(*bridge_, fan);
    }
}

void HelperService::resolveEngageWaiters(long fan, const EngageResult& result) {
    std::vector<EngageCompletion> waiters;
    if (auto it = engageWaiters_.find(fan); it != engageWaiters_.end()) {
        waiters = std::move(it->second);
        engageWaiters_.erase(it);
    }
    // A waiter that fails safe restores every fan; from then on the success no longer holds, so
    // the waiters after it hear of the cancellation instead of being told the fan is manual.
    const std::int64_t generation = engageGeneration_;
    for (const auto& waiter : waiters) {
        if (!result.failure && engageGeneration_ != generation) {
            waiter(EngageResult::failed(canceledByRestore()));
        } else {
            waiter(result);
        }
    }
}

std::size_t HelperService::engageWaiterCount() const {
    std::size_t n = 0;
    for (const auto& [fan, list] : engageWaiters_) n += list.size();
    return n;
}

// MARK: - Target speed

HelperService::ResetCheck HelperService::resetCheckNow() const {
    const auto now = suspendingClock_.now();
    return {now, clock_.now() - now};
}

bool HelperService::stillManual(long fan) {
    // A suspend shows as the continuous clock running ahead of the suspending one; any other
    // reset is found by reading, at most once a second per fan, so a burst of commands stays one
    // exchange each.
    const ResetCheck check = resetCheckNow();
    bool slept = false;
    if (auto it = resetChecks_.find(fan); it != resetChecks_.end()) {
        // (The two clocks are read a moment apart: only a jump of a good fraction of a second is a sleep.)
        slept = check.slept - it->second.slept >= clock::seconds(resetCheckInterval / 2);
        if (!slept && check.at - it->second.at < clock::seconds(resetCheckInterval)) return true;
    }
    resetChecks_[fan] = check;
    // A driver that cannot show the mode (macsmc-hwmon answers 0x85) says nothing of a reset: the
    // daemon's own record stands, and only the sleep the clocks saw takes it back.
    auto unreadable = [](const SMCError& e) { return e.kind() == SMCError::Kind::notReadable; };
    try {
        return bridge_->read(FanKey::mode(fan)) == 1.0;
    } catch (const SMCError& e) {
        if (unreadable(e)) return !slept;
        if (e.kind() != SMCError::Kind::keyNotFound) return false;
    }
    try {
        return FanControlKeys::forceBit(bridge_->read(FanKey::forceBitmask), fan).value_or(false);
    } catch (const SMCError& e) {
        if (unreadable(e)) return !slept;
        return e.kind() == SMCError::Kind::keyNotFound;
    }
}

FanBounds HelperService::hardwareBounds(long fan) {
    if (auto it = boundsCache_.find(fan); it != boundsCache_.end()) return it->second;
    const double min = bridge_->read(FanKey::minimum(fan));
    const double max = bridge_->read(FanKey::maximum(fan));
    const FanBounds bounds{min, max};
    if (max > 0 && min < max) boundsCache_[fan] = bounds;
    return bounds;
}

void HelperService::failSafe(const std::string& error, const std::function<void(double, OptionalError)>& reply) {
    serviceLog().error("setTargetRPM failed: %{public}s; failing safe", error);
    performRestore();
    reply(0.0, makeServiceError(ServiceErrorCode::hardwareFailed, "hardware write failed: " + error));
}

void HelperService::setTargetRPM(std::int64_t fan, double rpm, std::function<void(double, OptionalError)> reply) {
    recordCaller();
    const std::int64_t epoch = emergencyRestoreEpoch();
    queue_->async([this, fan, rpm, epoch, reply = std::move(reply)] {
        if (terminating()) {
            reply(0.0, makeServiceError(ServiceErrorCode::hardwareFailed, "hardware write failed: " + kExiting));
            return;
        }
        if (fan < 0 || fan >= resolvedFanCount()) {
            reply(0.0, makeServiceError(ServiceErrorCode::fanOutOfRange, fanOutOfRange(fan)));
            return;
        }
        const long index = static_cast<long>(fan);
        FanBounds bounds;
        try {
            bounds = hardwareBounds(index);
        } catch (const SMCError& e) {
            failSafe(e.description(), reply);
            return;
        }
        const auto verdict = WritePolicy::vet(rpm, bounds.min, bounds.max);
        if (const auto* rejected = std::get_if<WritePolicy::Reject>(&verdict)) {
            reply(0.0, makeServiceError(ServiceErrorCode::rejected, "rejected: " + rejected->reason));
            return;
        }
        const double value = std::get<WritePolicy::Apply>(verdict).value;
        engageManual(index, [this, index, value, epoch, reply](const EngageResult& result) {
            finishTargetWrite(result, index, value, epoch, reply);
        });
    });
}

void HelperService::finishTargetWrite(const EngageResult& engaged, long fan, double rpm, std::int64_t epoch,
                                      const std::function<void(double, OptionalError)>& reply) {
    if (engaged.failure) {
        failSafe(*engaged.failure, reply);
        return;
    }
    try {
        bridge_->write(FanKey::target(fan), rpm);
    } catch (const SMCError& e) {
        failSafe(e.description(), reply);
        return;
    }
    // This write, or the command's wait in the queue, may have outlasted an emergency restore that
    // handed every fan back: no success for those.
    if (const auto result = unlessRestoredSince(epoch, engaged); result.failure) {
        failSafe(*result.failure, reply);
        return;
    }
    lastTargets_[fan] = rpm;
    reply(rpm, std::nullopt);
}

// MARK: - Disconnects

void HelperService::clientDisconnected(ConnectionIdentity id) {
    // Compare and clear at once: a command recorded in between must not be erased.
    bool someoneElseControls;
    {
        std::lock_guard lock(watchdogLock_);
        someoneElseControls = controllingClient_ && *controllingClient_ != id;
        if (!someoneElseControls) controllingClient_.reset();
    }
    if (someoneElseControls) {
        serviceLog().notice("ignoring disconnect from a connection that never held fan control");
        return;
    }
    queue_->async([this] { failSafeAfterDisconnect(); });
}

void HelperService::failSafeAfterDisconnect() {
    bool engaged;
    {
        std::lock_guard lock(watchdogLock_);
        engaged = watchdog_.manualControlEngaged();
    }
    if (!engaged) return;
    serviceLog().notice("client disconnected while manual engaged — failing safe");
    performRestore();
}

// MARK: - Watchdog and emergency restore

// The timer runs from start-up to the end, but its ticks can act only while manual control is
// engaged; so it is parked while nothing is engaged, and an idle daemon never wakes. Engaging
// starts the 1.25 s series afresh, which keeps the bound of the tick that acts: 5.0 s to 6.55 s
// after the last heartbeat or the engagement, whichever came last.
void HelperService::startWatchdog() {
    bool arm;
    {
        std::lock_guard lock(watchdogLock_);
        watchdogStarted_ = true;
        arm = watchdog_.manualControlEngaged() && !std::exchange(watchdogArmed_, true);
    }
    if (arm) scheduleWatchdogTicks();
}

void HelperService::scheduleWatchdogTicks() {
    watchdogTimer_->schedule(clock::seconds(watchdogInterval), clock::seconds(watchdogInterval),
                             clock::seconds(watchdogLeeway));
}

void HelperService::watchdogTick() {
    const auto now = suspendingClock_.now();
    bool failSafeNow;
    bool park;
    bool releaseOnly;
    {
        std::lock_guard lock(watchdogLock_);
        failSafeNow = watchdog_.shouldFailSafe(now);
        park = !watchdog_.manualControlEngaged();
        if (park) watchdogArmed_ = false;
        releaseOnly = releaseOnly_;
    }
    if (park) {
        watchdogTimer_->schedule(dispatch::forever, clock::seconds(watchdogInterval), clock::seconds(watchdogLeeway));
        // An engagement between the decision and the parking found the timer armed and left it
        // alone: start its series again here so it is not left parked.
        bool rearm;
        {
            std::lock_guard lock(watchdogLock_);
            rearm = watchdogArmed_;
        }
        if (rearm) scheduleWatchdogTicks();
        return;
    }
    if (!failSafeNow) return;
    {
        std::lock_guard lock(watchdogLock_);
        if (restoreHandoffInFlight_) return;
        restoreHandoffInFlight_ = true;
    }
    // With only hand-backs still waiting, the line was said when the fans were first handed back,
    // and their retries are the back-off's (FanRelease): the handoff then only proves that the
    // hardware queue still runs them — else the check below escalates to the emergency restore.
    if (releaseOnly) {
        queue_->async([this] {
            std::lock_guard lock(watchdogLock_);
            restoreHandoffInFlight_ = false;
        });
    } else {
        serviceLog().error("heartbeat lost — failing safe, restoring Apple automatic control");
        queue_->async([this] { handOffRestore(); });
    }
    watchdogQueue_->asyncAfter(clock::seconds(handoffCheckDelay), [this] { checkHandoff(); });
}

void HelperService::handOffRestore() {
    performRestore();
    std::lock_guard lock(watchdogLock_);
    restoreHandoffInFlight_ = false;
}

void HelperService::checkHandoff() {
    bool inFlight;
    {
        std::lock_guard lock(watchdogLock_);
        inFlight = restoreHandoffInFlight_;
    }
    if (inFlight) escalateEmergencyRestore(emergencyAttempts);
}

void HelperService::escalateEmergencyRestore(int attemptsLeft) {
    const auto result = emergencyRestore();
    if (result.opened && result.fansLeftManual.empty()) {
        const auto now = suspendingClock_.now();
        std::lock_guard lock(watchdogLock_);
        watchdog_.manualEngaged(false, now);
        restoreHandoffInFlight_ = false;
        return;
    }
    if (attemptsLeft < 2) {
        if (!result.opened) {
            serviceLog().fault(
                "EMERGENCY restore: exhausted retry budget without a working SMC connection — releasing the handoff "
                "so the next watchdog tick can re-escalate");
        } else {
            serviceLog().fault(
                "EMERGENCY restore: %{public}s still under manual control after %d attempts — releasing the handoff "
                "so the next watchdog tick can re-escalate",
                FanRelease::describeFans(result.fansLeftManual), emergencyAttempts);
        }
        std::lock_guard lock(watchdogLock_);
        restoreHandoffInFlight_ = false;
        // Those fans are handed back already as far as anyone can: the next round need not
        // announce a lost heartbeat again.
        if (result.opened) releaseOnly_ = true;
        return;
    }
    watchdogQueue_->asyncAfter(clock::seconds(emergencyRetryDelay),
                               [this, attemptsLeft] { escalateEmergencyRestore(attemptsLeft - 1); });
}

EmergencyRestoreResult HelperService::emergencyRestore(double budget) {
    serviceLog().fault(
        "EMERGENCY restore: watchdog handoff to the hw queue did not complete in time — restoring via a throwaway "
        "SMC connection");
    // Tries again with back-off (this thread may wait: it is never the hardware queue) until the
    // budget is spent: a driver that went away for a moment may be back.
    const auto deadline = backend_.dispatchNow() + clock::seconds(budget);
    ReleaseBackoff backoff;
    auto pauseWithin = [&] {
        const auto pause = clock::seconds(backoff.next());
        if (backend_.dispatchNow() + pause > deadline) return false;
        backend_.makeSemaphore(0)->wait(pause);
        return true;
    };
    std::shared_ptr<SMCKernelBridge> throwaway;
    for (bool logged = false; !throwaway;) {
        try {
            throwaway = SMCKernelBridge::open();
        } catch (const SMCError&) {
            if (!std::exchange(logged, true)) {
                serviceLog().fault(
                    "EMERGENCY restore: failed to open a second AppleSMC connection — cannot fail safe from the "
                    "watchdog queue");
            }
            if (!pauseWithin()) return {};
        }
    }
    std::optional<long> cached;
    std::optional<FanControlKeys> cachedKeys;
    {
        std::lock_guard lock(watchdogLock_);
        cached = cachedFanCount_;
        cachedKeys = controlKeys_;
    }
    const long fresh = SMCFanReader(throwaway).fanCount();
    const long count = (cached && *cached > 0) ? *cached : (fresh > 0 ? fresh : emergencyFallbackFanCount);
    const FanControlKeys keys = cachedKeys ? *cachedKeys : FanControlKeys::find(*throwaway, count);
    std::set<long> entries{FanRelease::diagnosticSwitch};
    for (long i = 0; i < count; ++i) entries.insert(i);
    // Every write is attempted at each try; what a read-back cannot confirm is tried again.
    backoff.reset();
    std::vector<long> left;
    for (;;) {
        const ReleaseOutcome outcome = FanRelease::handBack(*throwaway, keys, entries, true);
        left.clear();
        for (const auto& [entry, failure] : outcome) {
            if (entry >= 0 && failure) left.push_back(entry);
        }
        if (left.empty() || !pauseWithin()) break;
    }
    {
        std::lock_guard lock(watchdogLock_);
        ++emergencyRestoreEpoch_;
    }
    if (left.empty()) {
        serviceLog().fault("EMERGENCY restore: completed");
    } else {
        serviceLog().fault("EMERGENCY restore: %{public}s still under manual control",
                           FanRelease::describeFans(left));
    }
    // The hardware queue's own bookkeeping (manual fans, the diagnostic unlock, engage waiters)
    // still describes the fans as they were: one ordinary restore, whenever that queue gets to
    // it, brings it back in line. Restores are idempotent.
    queue_->async([this] { performRestore(); });
    return {true, left};
}

std::vector<long> HelperService::exitRestore() {
    assert(!queue_->isCurrent() && "exitRestore waits for the hardware queue and must not run on it");
    const auto deadline = backend_.dispatchNow() + clock::seconds(exitRestoreBudget);
    // The first attempt must be through within 2 s (a call hung inside it counts as a hung queue);
    // its retries then have the rest of the budget.
    auto attempted = backend_.makeSemaphore(0);
    auto settled = backend_.makeSemaphore(0);
    queue_->async([this, attempted, settled] {
        performRestore();
        attempted->signal();
        fanRelease_.whenSettled([settled] { settled->signal(); });
    });
    if (!attempted->wait(clock::seconds(exitRestoreTimeout))) {
        serviceLog().fault(
            "exit restore: hw queue did not respond within %fs — escalating to the emergency SMC connection",
            exitRestoreTimeout);
        const auto result = emergencyRestore(clock::toSeconds(deadline - backend_.dispatchNow()));
        if (result.opened) return result.fansLeftManual;
        // Nothing could be confirmed: every fan this daemon knows of may still be held (as many as
        // the emergency path assumes when it knows of none).
        std::vector<long> unknown;
        const long count = cachedFanCount().value_or(emergencyFallbackFanCount);
        for (long i = 0; i < count; ++i) unknown.push_back(i);
        return unknown;
    }
    if (settled->wait(std::max(deadline - backend_.dispatchNow(), clock::Duration::zero()))) return {};
    return fansAwaitingRelease();
}

// MARK: - Views

std::optional<ConnectionIdentity> HelperService::controllingClient() const {
    std::lock_guard lock(watchdogLock_);
    return controllingClient_;
}

HeartbeatWatchdog HelperService::watchdogSnapshot() const {
    std::lock_guard lock(watchdogLock_);
    return watchdog_;
}

bool HelperService::restoreHandoffInFlight() const {
    std::lock_guard lock(watchdogLock_);
    return restoreHandoffInFlight_;
}

std::int64_t HelperService::emergencyRestoreEpoch() const {
    std::lock_guard lock(watchdogLock_);
    return emergencyRestoreEpoch_;
}

std::vector<long> HelperService::fansAwaitingRelease() const {
    std::lock_guard lock(watchdogLock_);
    return fansAwaitingRelease_;
}

std::optional<long> HelperService::cachedFanCount() const {
    std::lock_guard lock(watchdogLock_);
    return cachedFanCount_;
}

}  // namespace quorvane
