// The daemon's one exported object: fan commands, heartbeats, restore, the watchdog timer and the
// emergency restore. Thread-safe: XPC threads only record the caller and queue work; every SMC
// access of normal operation runs on the hardware queue `queue` (so do the retries of a hand-back
// not yet confirmed, see FanRelease); the watchdog timer and the emergency path run on
// `watchdogQueue`. watchdogLock guards the fields shared between them and is
// held only for single field accesses — never across an SMC call, a log line, a dispatch or a reply.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "helper/fan_release.hpp"
#include "helper/heartbeat_watchdog.hpp"
#include "platform/dispatch/dispatch.hpp"
#include "platform/log/log.hpp"
#include "shared/smc/quorvane_xpc_protocol.hpp"
#include "smc/fan_control_keys.hpp"
#include "smc/smc_fan_reader.hpp"
#include "smc/smc_kernel_bridge.hpp"

namespace quorvane {

// The identity of an XPC connection: a unique serial, only ever compared.
using ConnectionIdentity = std::uint64_t;

// Success, or failure with the textual form of the error that ended the engage.
struct EngageResult {
    std::optional<std::string> failure;
    static EngageResult success() { return {}; }
    static EngageResult failed(std::string error) { return {std::move(error)}; }
};
using EngageCompletion = std::function<void(const EngageResult&)>;

// What one emergency restore achieved: whether its throwaway connection opened, and the fans a
// read-back could not confirm under automatic control within its budget.
struct EmergencyRestoreResult {
    bool opened = false;
    std::vector<long> fansLeftManual;
};

const log::Logger& serviceLog();

class HelperService final : public QuorvaneXPCProtocol, public std::enable_shared_from_this<HelperService> {
public:
    // Does not touch the SMC. The backend defaults to real threads; tests pass mock time.
    HelperService(std::shared_ptr<SMCKernelBridge> bridge, double unlockTimeout, double retryInterval,
                  double heartbeatTimeout, dispatch::Backend& backend = dispatch::realBackend());
    ~HelperService() override;
    HelperService(const HelperService&) = delete;
    HelperService& operator=(const HelperService&) = delete;

    // QuorvaneXPCProtocol. Replies come from the hardware queue, except the version's.
    void setTargetRPM(std::int64_t fan, double rpm, std::function<void(double, OptionalError)> reply) override;
    void setManualControl(std::int64_t fan, bool enabled, std::function<void(OptionalError)> reply) override;
    void restoreAutomaticControl(std::function<void(OptionalError)> reply) override;
    void heartbeat(std::function<void(double)> reply) override;
    void helperVersion(std::function<void(std::string)> reply) override;

    // Hardware queue only.
    long resolvedFanCount();
    // Which keys hold this Mac's fans: asked of the SMC once, then cached (not while a probe had
    // no definite answer, nor for a count of 0).
    FanControlKeys resolvedControlKeys(long fanCount);
    // Hands every fan and "Ftst" back and reads the fans back; what is not yet confirmed is
    // retried with back-off until it is (FanRelease), the watchdog staying engaged meanwhile.
    // Returns the first failure of this attempt.
    std::optional<std::string> performRestore();
    void engageManual(long fan, EngageCompletion completion);
    void attemptEngage(long fan, std::int64_t generation, std::int64_t epoch, clock::Instant deadline);
    void resolveEngageWaiters(long fan, const EngageResult& result);
    // `epoch` is the emergency-restore epoch when the command arrived: a command that outlives an
    // emergency restore never reports success for fans that were handed back meanwhile.
    void finishManualEngage(const EngageResult& result, std::int64_t epoch,
                            const std::function<void(OptionalError)>& reply);
    FanBounds hardwareBounds(long forFan);
    // Whether the SMC still has fan under manual control: its mode key, else its bit of the force
    // bitmask. One read; true when this Mac has neither, false when the read fails. Skipped (true)
    // within resetCheckInterval of the last check unless the clocks saw the machine sleep since.
    // Where the driver cannot show the mode (notReadable), the daemon's own record stands and only
    // a sleep the clocks saw counts as a reset.
    bool stillManual(long fan);
    void finishTargetWrite(const EngageResult& result, long fan, double rpm, std::int64_t epoch,
                           const std::function<void(double, OptionalError)>& reply);
    void failSafeAfterDisconnect();
    void handOffRestore();

    // Watchdog queue only.
    void watchdogTick();
    void checkHandoff();
    void escalateEmergencyRestore(int attemptsLeft);

    // Any thread but the hardware queue: restores over a throwaway SMC connection and reads the
    // fans back, retrying with back-off for up to budget seconds (one attempt for 0).
    EmergencyRestoreResult emergencyRestore(double budget = 0.0);
    // The restore at launch and exit: waits up to 2 s for its first attempt on the hardware queue
    // (else one emergency restore with what is left of the budget), then until every fan is confirmed back
    // under automatic control or exitRestoreBudget has passed. Returns the fans still not
    // confirmed. It blocks, so it must never run on the hardware queue.
    std::vector<long> exitRestore();
    // Starts the 1.25 s watchdog timer; called once at start-up. It ticks only while manual
    // control is engaged and is parked otherwise.
    void startWatchdog();
    // Any thread: the connection with this identity has gone.
    void clientDisconnected(ConnectionIdentity id);
    // Any thread, once the process has decided to end: from now on fan commands reply 1003
    // without touching the SMC, so nothing engages a fan after the exit-time restore.
    void beginTermination();

    // Read-only views for tests and diagnostics; each takes watchdogLock briefly.
    std::optional<ConnectionIdentity> controllingClient() const;
    HeartbeatWatchdog watchdogSnapshot() const;
    bool restoreHandoffInFlight() const;
    std::int64_t emergencyRestoreEpoch() const;
    std::optional<long> cachedFanCount() const;
    dispatch::Queue& hardwareQueue() const { return *queue_; }
    dispatch::Queue& watchdogQueue() const { return *watchdogQueue_; }
    // Hardware-queue state, for tests that run on mock time.
    const std::set<long>& manualFans() const { return manualFans_; }
    bool diagnosticUnlocked() const { return diagnosticUnlocked_; }
    std::int64_t engageGeneration() const { return engageGeneration_; }
    std::size_t engageWaiterCount() const;
    const FanRelease& fanRelease() const { return fanRelease_; }
    // The fans whose hand-back is not yet confirmed, as the hardware queue last saw them.
    std::vector<long> fansAwaitingRelease() const;

    // watchdogLock: a plain mutex. A test may install afterUnlock (before any other thread uses
    // the service) to run code right after each release and so force an interleaving.
    class WatchdogLock {
    public:
        void lock() { mutex_.lock(); }
        void unlock() {
            mutex_.unlock();
            if (afterUnlock) afterUnlock();
        }
        std::function<void()> afterUnlock;

    private:
        std::mutex mutex_;
    };
    WatchdogLock& watchdogLockForTesting() { return watchdogLock_; }

    static constexpr double exitRestoreTimeout = 2.0;
    // How long one exit restore keeps retrying. The stop timeout (30 s) must cover it twice — the
    // signal's run and the exit hook's — with room to spare before a SIGKILL.
    static constexpr double exitRestoreBudget = 12.0;
    static constexpr double handoffCheckDelay = 4.0;
    static constexpr int emergencyAttempts = 5;
    static constexpr double emergencyRetryDelay = 4.0;
    static constexpr long emergencyFallbackFanCount = 8;
    static constexpr double watchdogInterval = 1.25;
    static constexpr double watchdogLeeway = 0.3;
    static constexpr double resetCheckInterval = 1.0;

private:
    void recordCaller();
    // Puts fan under manual control: its mode key = 1, or its bit of the force bitmask set.
    void writeManual(long fan);
    // FanRelease's retry: hands back only the entries still waiting, leaving alone the fans a
    // command holds meanwhile.
    ReleaseOutcome retryRelease(const std::set<long>& entries);
    // After a hand-back attempt or an engage: a fan not yet confirmed keeps the watchdog engaged
    // (and its timer armed); with nothing held and nothing waiting it disengages.
    void followRelease();
    // Marks manual control engaged in the watchdog (a fresh timeout period) and arms its timer if
    // it was parked.
    void engageWatchdog();
    bool terminating() const;
    // Starts the tick series 1.25 s from now.
    void scheduleWatchdogTicks();
    // Failure when an emergency restore has completed since `epoch`, else result.
    EngageResult unlessRestoredSince(std::int64_t epoch, const EngageResult& result) const;
    // Logs, restores every fan, then replies 1003: the fan is never left manual behind an error.
    void failSafe(const std::string& error, const std::function<void(double, OptionalError)>& reply);

    dispatch::Backend& backend_;
    std::shared_ptr<dispatch::Queue> queue_;
    std::shared_ptr<dispatch::Queue> watchdogQueue_;
    std::shared_ptr<SMCKernelBridge> bridge_;
    SMCFanReader fanReader_;
    mutable WatchdogLock watchdogLock_;
    HeartbeatWatchdog watchdog_;                          // guarded by watchdogLock_
    std::shared_ptr<dispatch::TimerSource> watchdogTimer_;  // made by the constructor, parked until armed
    bool watchdogStarted_ = false;                        // guarded by watchdogLock_
    bool watchdogArmed_ = false;                          // guarded by watchdogLock_; ticks are scheduled
    bool restoreHandoffInFlight_ = false;                 // guarded by watchdogLock_
    std::map<long, FanBounds> boundsCache_;               // hardware queue only
    std::optional<long> cachedFanCount_;                  // guarded by watchdogLock_
    std::optional<FanControlKeys> controlKeys_;           // guarded by watchdogLock_
    std::int64_t emergencyRestoreEpoch_ = 0;              // guarded by watchdogLock_
    std::optional<ConnectionIdentity> controllingClient_; // guarded by watchdogLock_
    bool terminating_ = false;                            // guarded by watchdogLock_
    bool diagnosticUnlocked_ = false;                     // hardware queue only
    std::set<long> manualFans_;                           // hardware queue only
    std::map<long, double> lastTargets_;                  // hardware queue only; what each fan was told
    struct ResetCheck {
        clock::Instant at;         // suspending clock
        clock::Duration slept;     // continuous minus suspending clock then
    };
    std::map<long, ResetCheck> resetChecks_;              // hardware queue only
    // The reset check as of now (the clocks and their difference): a sleep after it shows.
    ResetCheck resetCheckNow() const;
    FanRelease fanRelease_;                               // hardware queue only
    // The watchdog is engaged only because hand-backs are still waiting: silence then only checks
    // that the hardware queue still runs their retries, without announcing a lost heartbeat again.
    bool releaseOnly_ = false;                            // guarded by watchdogLock_
    std::vector<long> fansAwaitingRelease_;               // guarded by watchdogLock_
    const double unlockTimeout_;
    const double retryInterval_;
    std::int64_t engageGeneration_ = 0;                   // hardware queue only
    std::map<long, std::vector<EngageCompletion>> engageWaiters_;  // hardware queue only
    const clock::Clock& clock_;            // continuous: uptime
    const clock::Instant startInstant_;
    const clock::Clock& suspendingClock_;  // the watchdog's time stamps
};

}  // namespace quorvane
