// Timer sources of the real backend. Each fire is queued as a fire of the timer, held only weakly,
// so destroying the source cancels it; a generation number retires fires that a reschedule or a
// cancel made stale. Re-arming allocates nothing: an idle daemon's tick touches little memory.
#include <algorithm>
#include <mutex>
#include <utility>

#include "platform/dispatch/deadline.hpp"
#include "platform/dispatch/real_backend.hpp"

namespace quorvane::dispatch::real {

namespace {

class RealTimerSource final : public TimerSource,
                              public FireTarget,
                              public std::enable_shared_from_this<RealTimerSource> {
public:
    explicit RealTimerSource(std::shared_ptr<RealQueue> queue) : queue_(std::move(queue)) {}

    void schedule(Duration firstDelay, Duration interval, Duration /*leeway: fires are never late on purpose*/) override {
        std::lock_guard lock(mutex_);
        if (cancelled_) return;
        ++generation_;
        scheduled_ = true;
        interval_ = interval;
        first_ = detail::deadlineAfter(clock_.now(), firstDelay);
        // Fires of the replaced series would only wake the queue to be discarded.
        queue_->dropFires(weak_from_this());
        if (resumed_) arm(first_);
    }

    void setEventHandler(Job handler) override {
        std::lock_guard lock(mutex_);
        if (cancelled_) return;
        handler_ = std::make_shared<Job>(std::move(handler));
    }

    void resume() override {
        std::lock_guard lock(mutex_);
        if (cancelled_ || resumed_) return;
        resumed_ = true;
        if (scheduled_) arm(first_);
    }

    void cancel() override {
        std::shared_ptr<Job> released;
        {
            std::lock_guard lock(mutex_);
            cancelled_ = true;
            ++generation_;
            released = std::move(handler_);
        }
    }  // the handler (and whatever it captured) is released outside the lock

    void fire(Instant deadline, std::uint64_t generation) override {
        std::shared_ptr<Job> handler;
        {
            std::lock_guard lock(mutex_);
            if (cancelled_ || generation != generation_) return;
            if (interval_ > Duration::zero()) {
                // Normally deadline + interval; fires missed while the queue was busy are skipped.
                arm(detail::nextFireAfter(deadline, interval_, std::max(deadline, clock_.now())));
            }
            handler = handler_;
        }
        if (handler && *handler) (*handler)();
    }

private:
    // Queues the fire due at deadline. Called with mutex_ held (lock order: timer, then queue).
    void arm(Instant deadline) {
        if (deadline == Instant{forever}) return;  // parked
        queue_->asyncFireAt(deadline, weak_from_this(), generation_);
    }

    const std::shared_ptr<RealQueue> queue_;  // a source keeps its queue, as in libdispatch
    const clock::SuspendingClock clock_;
    std::mutex mutex_;
    std::shared_ptr<Job> handler_;      // guarded by mutex_
    Instant first_;                     // guarded by mutex_
    Duration interval_{0};              // guarded by mutex_; zero or negative: fires once
    std::uint64_t generation_ = 0;      // guarded by mutex_
    bool scheduled_ = false;            // guarded by mutex_
    bool resumed_ = false;              // guarded by mutex_
    bool cancelled_ = false;            // guarded by mutex_
};

}  // namespace

std::shared_ptr<TimerSource> makeTimer(std::shared_ptr<Queue> queue) {
    return std::make_shared<RealTimerSource>(asRealQueue(std::move(queue), "makeTimer"));
}

}  // namespace quorvane::dispatch::real
