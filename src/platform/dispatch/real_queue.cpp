#include <algorithm>
#include <cstdint>
#include <iterator>
#include <mutex>
#include <pthread.h>
#include <stdexcept>
#include <utility>
#include <vector>

#include "platform/dispatch/deadline.hpp"
#include "platform/dispatch/real_backend.hpp"
#include "platform/dispatch/wake_word.hpp"

namespace quorvane::dispatch::real {

// A job, or a fire of a target (when job is empty).
struct RealQueue::Pending {
    Instant deadline;
    std::uint64_t sequence = 0;
    Job job;
    std::weak_ptr<FireTarget> target;
    std::uint64_t generation = 0;

    void run() {
        if (job) {
            job();
        } else if (auto alive = target.lock()) {
            alive->fire(deadline, generation);
        }
    }
};

namespace {

// Heap order: the job that must run first is at the front.
bool runsLater(const RealQueue::Pending& a, const RealQueue::Pending& b) {
    if (a.deadline != b.deadline) return a.deadline > b.deadline;
    return a.sequence > b.sequence;
}

}  // namespace

struct RealQueue::Core {
    std::mutex mutex;
    WakeWord wake;                   // the worker sleeps on it
    std::vector<Pending> heap;       // guarded by mutex
    std::uint64_t nextSequence = 0;  // guarded by mutex
    bool stopping = false;           // guarded by mutex
    bool sleeping = false;           // guarded by mutex; the worker sleeps and nobody woke it yet

    void serve();
};

namespace {
// The queue whose job the calling thread is running, if any.
thread_local const void* currentCore = nullptr;
const clock::SuspendingClock dispatchClock;
}  // namespace

void RealQueue::Core::serve() {
    currentCore = this;
    std::unique_lock lock(mutex);
    for (;;) {
        if (stopping) return;
        if (!heap.empty() && heap.front().deadline <= dispatchClock.now()) {
            std::pop_heap(heap.begin(), heap.end(), runsLater);
            {
                Pending next = std::move(heap.back());
                heap.pop_back();
                lock.unlock();
                next.run();
            }  // whatever the job captured is released outside the lock
            lock.lock();
            continue;
        }
        // The word is read under the lock: a submission after the unlock changes it, so the
        // sleep below returns at once instead of missing the job.
        const std::uint32_t seen = wake.current();
        const bool timed = !heap.empty();
        const Instant deadline = timed ? heap.front().deadline : Instant{};
        sleeping = true;
        lock.unlock();
        wake.waitUntil(seen, timed ? &deadline : nullptr);
        lock.lock();
        sleeping = false;
    }
}

RealQueue::RealQueue(std::string label) : label_(std::move(label)), core_(std::make_shared<Core>()) {
    worker_ = std::thread([core = core_] { core->serve(); });
    // Thread names are limited to 15 characters; the tail of a reverse-DNS label says the most.
    const std::string name = label_.size() > 15 ? label_.substr(label_.size() - 15) : label_;
    pthread_setname_np(worker_.native_handle(), name.c_str());
}

RealQueue::~RealQueue() {
    std::vector<Pending> discarded;
    {
        std::lock_guard lock(core_->mutex);
        core_->stopping = true;
        discarded.swap(core_->heap);
    }
    core_->wake.wake();
    if (worker_.get_id() == std::this_thread::get_id()) {
        worker_.detach();  // the job running now is on this thread; the worker ends after it
    } else {
        worker_.join();
    }
}  // discarded jobs are destroyed here, outside the lock

void RealQueue::async(Job job) { asyncAt(dispatchClock.now(), std::move(job)); }

void RealQueue::asyncAfter(Duration delay, Job job) {
    asyncAt(detail::deadlineAfter(dispatchClock.now(), delay), std::move(job));
}

void RealQueue::asyncAt(Instant deadline, Job job) {
    Pending pending;
    pending.deadline = deadline;
    pending.job = std::move(job);
    submit(std::move(pending));
}

void RealQueue::asyncFireAt(Instant deadline, std::weak_ptr<FireTarget> target, std::uint64_t generation) {
    Pending pending;
    pending.deadline = deadline;
    pending.target = std::move(target);
    pending.generation = generation;
    submit(std::move(pending));
}

void RealQueue::dropFires(const std::weak_ptr<FireTarget>& target) {
    std::vector<Pending> dropped;
    {
        std::lock_guard lock(core_->mutex);
        auto& heap = core_->heap;
        const auto sameTarget = [&](const Pending& p) {
            return !p.job && !p.target.owner_before(target) && !target.owner_before(p.target);
        };
        const auto kept = std::partition(heap.begin(), heap.end(), [&](const Pending& p) { return !sameTarget(p); });
        if (kept == heap.end()) return;
        std::move(kept, heap.end(), std::back_inserter(dropped));
        heap.erase(kept, heap.end());
        std::make_heap(heap.begin(), heap.end(), runsLater);
    }
}  // dropped fires hold only weak references; released outside the lock all the same

void RealQueue::submit(Pending pending) {
    bool wake = false;
    {
        std::lock_guard lock(core_->mutex);
        if (core_->stopping) return;
        pending.sequence = core_->nextSequence++;
        core_->heap.push_back(std::move(pending));
        std::push_heap(core_->heap.begin(), core_->heap.end(), runsLater);
        // Only a sleeping worker whose next deadline just moved earlier needs waking, and only once.
        const bool newFront = core_->heap.front().sequence == core_->nextSequence - 1;
        wake = core_->sleeping && newFront;
        if (wake) core_->sleeping = false;
    }
    if (wake) core_->wake.wake();
}

bool RealQueue::isCurrent() const { return currentCore == core_.get(); }

std::shared_ptr<RealQueue> asRealQueue(std::shared_ptr<Queue> queue, const char* what) {
    auto real = std::dynamic_pointer_cast<RealQueue>(std::move(queue));
    if (!real) {
        throw std::invalid_argument(std::string(what) + ": the queue must be a queue of the real backend");
    }
    return real;
}

}  // namespace quorvane::dispatch::real
