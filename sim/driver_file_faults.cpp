#include "sim/driver_file_faults.hpp"

#include <cerrno>
#include <cmath>
#include <stdexcept>
#include <string>

namespace quorvane::sim {

namespace {

void requireCount(std::uint32_t n) {
    if (n > DriverFileFaults::kMaxCount)
        throw std::invalid_argument("count must be 0…" + std::to_string(DriverFileFaults::kMaxCount));
}

}  // namespace

void DriverFileFaults::setDelay(std::uint32_t ms) {
    if (ms > kMaxDelayMs) throw std::invalid_argument("delay must be 0…" + std::to_string(kMaxDelayMs) + " ms");
    std::lock_guard lock(mutex_);
    delay_ = std::chrono::milliseconds(ms);
    changed_.notify_all();
}

void DriverFileFaults::failNextReads(std::uint32_t n) {
    requireCount(n);
    std::lock_guard lock(mutex_);
    failReads_ = n;
}

void DriverFileFaults::failNextWrites(std::uint32_t n) {
    requireCount(n);
    std::lock_guard lock(mutex_);
    failWrites_ = n;
}

void DriverFileFaults::setFailProbability(double p) {
    if (!(p >= 0 && p <= 1)) throw std::invalid_argument("probability must be 0…1");
    std::lock_guard lock(mutex_);
    failProbability_ = p;
}

void DriverFileFaults::seed(std::uint64_t seed) {
    std::lock_guard lock(mutex_);
    seed_ = seed;
    draws_.seed(seed);
}

void DriverFileFaults::setVanished(bool on) {
    std::lock_guard lock(mutex_);
    // Files that come back are new files: whatever was open on the old ones stays dead.
    if (on && !vanished_) ++generation_;
    vanished_ = on;
}

void DriverFileFaults::clear() {
    std::lock_guard lock(mutex_);
    delay_ = std::chrono::milliseconds(0);
    failReads_ = failWrites_ = 0;
    failProbability_ = 0;
    draws_.seed(seed_);
    vanished_ = false;
    changed_.notify_all();
}

nlohmann::ordered_json DriverFileFaults::stateJSON() const {
    std::lock_guard lock(mutex_);
    nlohmann::ordered_json state;
    state["delayMs"] = delay_.count();
    state["failReads"] = failReads_;
    state["failWrites"] = failWrites_;
    state["failProbability"] = failProbability_;
    state["seed"] = seed_;
    state["vanished"] = vanished_;
    state["generation"] = generation_;
    state["failedReads"] = failedReads_;
    state["failedWrites"] = failedWrites_;
    return state;
}

int DriverFileFaults::open(std::uint64_t& generation) {
    std::unique_lock lock(mutex_);
    waitDelayLocked(lock);
    if (vanished_) return -ENOENT;
    generation = generation_;
    return 0;
}

int DriverFileFaults::access(Access kind, std::uint64_t generation) {
    std::unique_lock lock(mutex_);
    waitDelayLocked(lock);
    if (vanished_ || generation != generation_) return -ENODEV;
    if (kind == Access::readContinued) return 0;
    const bool read = kind == Access::read;
    std::uint32_t& next = read ? failReads_ : failWrites_;
    bool fail = next > 0;
    if (fail) --next;
    else fail = drawFailureLocked();
    if (!fail) return 0;
    ++(read ? failedReads_ : failedWrites_);
    return -EIO;
}

bool DriverFileFaults::vanished() const {
    std::lock_guard lock(mutex_);
    return vanished_;
}

bool DriverFileFaults::alive(std::uint64_t generation) const {
    std::lock_guard lock(mutex_);
    return !vanished_ && generation == generation_;
}

void DriverFileFaults::stop() {
    std::lock_guard lock(mutex_);
    stopped_ = true;
    changed_.notify_all();
}

void DriverFileFaults::waitDelayLocked(std::unique_lock<std::mutex>& lock) {
    // Measured from the access's start against the delay set now, so lowering it (or "off")
    // releases an access already waiting.
    const auto start = std::chrono::steady_clock::now();
    while (!stopped_) {
        const auto until = start + delay_;
        if (std::chrono::steady_clock::now() >= until) return;
        changed_.wait_until(lock, until);
    }
}

bool DriverFileFaults::drawFailureLocked() {
    if (failProbability_ <= 0) return false;
    // 53 random bits as a fraction in [0, 1): the same sequence for a seed on every platform.
    const double draw = static_cast<double>(draws_() >> 11) * 0x1.0p-53;
    return draw < failProbability_;
}

}  // namespace quorvane::sim
