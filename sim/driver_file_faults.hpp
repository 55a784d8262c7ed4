// Faults of the virtual Mac's driver files, as a loaded or departing SMC driver shows them: every
// access slowed, the next reads or stores failing with EIO, a seeded failure probability, the
// whole tree vanishing (unloaded module, unbound device) and coming back as new files.
// Thread-safe: one mutex guards all state; a delayed access waits on a condition variable without
// holding it, and ends early when the delay is lowered or the faults are stopped.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <random>

#include <nlohmann/json.hpp>

namespace quorvane::sim {

class DriverFileFaults {
public:
    static constexpr std::uint32_t kMaxDelayMs = 60000;
    static constexpr std::uint32_t kMaxCount = 1000000;
    static constexpr std::uint64_t kDefaultSeed = 1;

    // What reaches the driver: a show (a read from the start of the file), the rest of a show
    // already taken (a read further on: never fails by itself), a store (a write).
    enum class Access { read, readContinued, write };

    // ---- faults (the control requests); each setter throws std::invalid_argument out of bounds ----
    // Every open, read and write takes ms longer (0: none).
    void setDelay(std::uint32_t ms);
    // The next n shows / stores fail with EIO (0: none).
    void failNextReads(std::uint32_t n);
    void failNextWrites(std::uint32_t n);
    // Each show and store fails with EIO with this probability (0…1).
    void setFailProbability(double p);
    // Restarts the failure draws from seed.
    void seed(std::uint64_t seed);
    // On: names are gone (ENOENT), files opened before give ENODEV. Off: fresh opens work again;
    // files opened before the vanish stay ENODEV.
    void setVanished(bool on);
    // Every fault off and the draws restarted from the seed; files already dead stay dead.
    void clear();
    // {"delayMs", "failReads", "failWrites", "failProbability", "seed", "vanished", "generation",
    //  "failedReads", "failedWrites"}: the faults set, then the EIOs injected so far.
    nlohmann::ordered_json stateJSON() const;

    // ---- the file system's side ----
    // An open: waits the delay; -ENOENT while vanished, else 0 and the generation to pass to
    // access() for that open file.
    int open(std::uint64_t& generation);
    // One access on a file opened in generation: waits the delay; -ENODEV when the tree has
    // vanished since that open, -EIO for an injected failure, else 0.
    int access(Access kind, std::uint64_t generation);
    bool vanished() const;
    // False once the tree has vanished since a file was opened in generation.
    bool alive(std::uint64_t generation) const;
    // Ends every delay now and every later one at once (the virtual Mac is stopping).
    void stop();

private:
    void waitDelayLocked(std::unique_lock<std::mutex>& lock);
    bool drawFailureLocked();

    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::chrono::milliseconds delay_{0};        // guarded by mutex_
    std::uint32_t failReads_ = 0;               // guarded by mutex_
    std::uint32_t failWrites_ = 0;              // guarded by mutex_
    double failProbability_ = 0;                // guarded by mutex_
    std::uint64_t seed_ = kDefaultSeed;         // guarded by mutex_
    std::mt19937_64 draws_{kDefaultSeed};       // guarded by mutex_
    bool vanished_ = false;                     // guarded by mutex_
    std::uint64_t generation_ = 0;              // one more at every vanish; guarded by mutex_
    std::uint64_t failedReads_ = 0;             // guarded by mutex_
    std::uint64_t failedWrites_ = 0;            // guarded by mutex_
    bool stopped_ = false;                      // guarded by mutex_
};

}  // namespace quorvane::sim
