#include "helper/helper_service.hpp"

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

void HelperService::writeAutomatic(
    SMCKernelBridge& bridge, long fanCount, const FanControlKeys& keys,
    const std::function<void(long fan, const std::string& key, const SMCError&)>& failed) {
    auto write = [&](long fan, const std::string& key) {
        try {
            bridge.write(key, 0.0);
        } catch (const SMCError& e) {
            failed(fan, key, e);
        }
    };
    // A mode key this Mac never had is nothing to hand back, not a failure.
    for (long i = 0; i < fanCount; ++i) {
        if (keys.hasModeKey(i)) write(i, FanKey::mode(i));
    }
    if (keys.forceBitmask) write(-1, FanKey::forceBitmask);
    write(-1, FanKey::forceTest);
}

std::optional<SMCError> HelperService::performRestore() {
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
    std::optional<SMCError> first;
    const long n = resolvedFanCount();
    writeAutomatic(*bridge_, n, resolvedControlKeys(n), [&](long fan, const std::string& key, const SMCError& e) {
        // A Mac without the diagnostic switch has nothing to reset.
        if (key == FanKey::forceTest && e.kind() == SMCError::Kind::keyNotFound) return;
        if (!first) first = e;
        if (fan >= 0) serviceLog().error("restore fan %ld failed: %{public}s", fan, e.description());
        else serviceLog().error("%{public}s reset failed: %{public}s", key, e.description());
    });
    manualFans_.clear();
    lastTargets_.clear();
    resetChecks_.clear();
    diagnosticUnlocked_ = false;
    const auto now = suspendingClock_.now();
    {
        std::lock_guard lock(watchdogLock_);
        watchdog_.manualEngaged(false, now);
    }
    return first;
}

void HelperService::restoreAutomaticControl(std::function<void(OptionalError)> reply) {
    queue_->async([this, reply = std::move(reply)] {
        if (auto e = performRestore()) {
            reply(makeServiceError(ServiceErrorCode::hardwareFailed, "restore failed: " + e->description()));
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
                reply(makeServiceError(ServiceErrorCode::hardwareFailed, "disengage failed: " + e->description()));
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
    if (!diagnosticUnlocked_) {
        try {
            bridge_->write(FanKey::forceTest, 1.0);
            serviceLog().notice("Ftst diagnostic mode engaged (M3/M4 unlock)");
            diagnosticUnlocked_ = true;
        } catch (const SMCError& e) {
            if (e.kind() != SMCError::Kind::keyNotFound) {
                completion(EngageResult::failed(e.description()));
                return;
            }
            serviceLog().notice("Ftst absent on this Mac — proceeding without diagnostic unlock");
            diagnosticUnlocked_ = true;
        }
    }
    const auto now = suspendingClock_.now();
    bool arm;
    {
        std::lock_guard lock(watchdogLock_);
        watchdog_.manualEngaged(true, now);
        arm = watchdogStarted_ && !std::exchange(watchdogArmed_, true);
    }
    if (arm) scheduleWatchdogTicks();
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

bool HelperService::stillManual(long fan) {
    // A suspend shows as the continuous clock running ahead of the suspending one; any other
    // reset is found by reading, at most once a second per fan, so a burst of commands stays one
    // exchange each.
    const auto now = suspendingClock_.now();
    const auto slept = clock_.now() - now;
    // (The two clocks are read a moment apart: only a jump of a good fraction of a second is a sleep.)
    if (auto it = resetChecks_.find(fan); it != resetChecks_.end() &&
                                          slept - it->second.slept < clock::seconds(resetCheckInterval / 2) &&
                                          now - it->second.at < clock::seconds(resetCheckInterval))
        return true;
    resetChecks_[fan] = {now, slept};
    try {
        return bridge_->read(FanKey::mode(fan)) == 1.0;
    } catch (const SMCError& e) {
        if (e.kind() != SMCError::Kind::keyNotFound) return false;
    }
    try {
        return FanControlKeys::forceBit(bridge_->read(FanKey::forceBitmask), fan).value_or(false);
    } catch (const SMCError& e) {
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
    {
        std::lock_guard lock(watchdogLock_);
        failSafeNow = watchdog_.shouldFailSafe(now);
        park = !watchdog_.manualControlEngaged();
        if (park) watchdogArmed_ = false;
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
    serviceLog().error("heartbeat lost — failing safe, restoring Apple automatic control");
    queue_->async([this] { handOffRestore(); });
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
    if (emergencyRestore()) {
        const auto now = suspendingClock_.now();
        std::lock_guard lock(watchdogLock_);
        watchdog_.manualEngaged(false, now);
        restoreHandoffInFlight_ = false;
        return;
    }
    if (attemptsLeft < 2) {
        serviceLog().fault(
            "EMERGENCY restore: exhausted retry budget without a working SMC connection — releasing the handoff so "
            "the next watchdog tick can re-escalate");
        std::lock_guard lock(watchdogLock_);
        restoreHandoffInFlight_ = false;
        return;
    }
    watchdogQueue_->asyncAfter(clock::seconds(emergencyRetryDelay),
                               [this, attemptsLeft] { escalateEmergencyRestore(attemptsLeft - 1); });
}

bool HelperService::emergencyRestore() {
    serviceLog().fault(
        "EMERGENCY restore: watchdog handoff to the hw queue did not complete in time — restoring via a throwaway "
        "SMC connection");
    std::shared_ptr<SMCKernelBridge> throwaway;
    try {
        throwaway = SMCKernelBridge::open();
    } catch (const SMCError&) {
        serviceLog().fault(
            "EMERGENCY restore: failed to open a second AppleSMC connection — cannot fail safe from the watchdog "
            "queue");
        return false;
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
    // Failures are not reported from here: every write is attempted and the attempt counts.
    writeAutomatic(*throwaway, count, cachedKeys ? *cachedKeys : FanControlKeys::find(*throwaway, count),
                   [](long, const std::string&, const SMCError&) {});
    {
        std::lock_guard lock(watchdogLock_);
        ++emergencyRestoreEpoch_;
    }
    serviceLog().fault("EMERGENCY restore: completed");
    // The hardware queue's own bookkeeping (manual fans, the diagnostic unlock, engage waiters)
    // still describes the fans as they were: one ordinary restore, whenever that queue gets to
    // it, brings it back in line. Restores are idempotent.
    queue_->async([this] { performRestore(); });
    return true;
}

void HelperService::exitRestore() {
    assert(!queue_->isCurrent() && "exitRestore waits for the hardware queue and must not run on it");
    auto done = backend_.makeSemaphore(0);
    queue_->async([this, done] {
        performRestore();
        done->signal();
    });
    if (!done->wait(clock::seconds(exitRestoreTimeout))) {
        serviceLog().fault(
            "exit restore: hw queue did not respond within %fs — escalating to the emergency SMC connection",
            exitRestoreTimeout);
        emergencyRestore();
    }
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

std::optional<long> HelperService::cachedFanCount() const {
    std::lock_guard lock(watchdogLock_);
    return cachedFanCount_;
}

}  // namespace quorvane
