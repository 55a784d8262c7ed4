// The mock-time backend. All queues of one backend share one ordered set of jobs keyed by
// (deadline, global submission number); "running" a queue means taking the earliest job whose
// queue may start it and calling it on the driving thread. A queue may start a job when it is not
// already running one (nested pumping from a semaphore wait skips busy queues) and its stall, if
// any, has ended; a job then starts at max(deadline, end of stall). Single-threaded by design:
// the driving thread is the thread that created the backend.
#include "platform/dispatch/mock_time.hpp"

#include <algorithm>
#include <cassert>
#include <cstdint>
#include <map>
#include <stdexcept>
#include <thread>
#include <utility>
#include <vector>

#include "platform/dispatch/deadline.hpp"

namespace quorvane::dispatch {

namespace mock {

// Both virtual clocks start here rather than at zero, so that code mistaking "zero" for "never"
// shows up in tests.
constexpr Instant origin{std::chrono::seconds(1000)};

// What the scheduler knows about one queue. Pending jobs refer to this record, never to the
// queue object, so a job does not keep its queue alive; the queue removes its jobs when it goes.
struct QueueRecord {
    std::string label;
    bool busy = false;   // a job of this queue is running (possibly with a nested pump inside it)
    Instant stalledUntil{};
};

class VirtualClock final : public clock::Clock {
public:
    explicit VirtualClock(const Instant& value) : value_(value) {}
    Instant now() const override { return value_; }

private:
    const Instant& value_;
};

class MockSignalSource;

}  // namespace mock

struct MockTimeBackend::State {
    struct Key {
        Instant deadline;
        std::uint64_t sequence;
        friend auto operator<=>(const Key&, const Key&) = default;
    };
    struct Entry {
        std::shared_ptr<mock::QueueRecord> queue;
        const void* owner;  // the timer or signal source that queued it, or null for plain jobs
        Job job;
    };
    using Jobs = std::map<Key, Entry>;
    struct Candidate {
        Jobs::iterator entry;
        Instant start;
    };

    Instant suspendingNow = mock::origin;
    Instant continuousNow = mock::origin;
    mock::VirtualClock suspending{suspendingNow};
    mock::VirtualClock continuous{continuousNow};
    Jobs jobs;
    std::uint64_t nextSequence = 0;
    std::vector<const mock::QueueRecord*> running;  // queues with a job on the stack, innermost last
    std::vector<std::weak_ptr<mock::MockSignalSource>> signalSources;  // in creation order
    bool closed = false;  // the backend is going away: new jobs are dropped
    const std::thread::id driver = std::this_thread::get_id();

    void checkThread() const {
        assert(std::this_thread::get_id() == driver && "MockTimeBackend is driven by one thread only");
    }

    void post(const std::shared_ptr<mock::QueueRecord>& queue, Instant deadline, Job job,
              const void* owner = nullptr) {
        checkThread();
        if (closed) return;
        jobs.emplace(Key{deadline, nextSequence++}, Entry{queue, owner, std::move(job)});
    }

    // Removes every pending job matching pred; their destructors run after the set is consistent.
    template <typename Pred>
    void drop(Pred pred) {
        std::vector<Job> dropped;
        for (auto it = jobs.begin(); it != jobs.end();) {
            if (pred(it->second)) {
                dropped.push_back(std::move(it->second.job));
                it = jobs.erase(it);
            } else {
                ++it;
            }
        }
    }

    // The job that would start first, with the instant it would start. Busy queues are skipped
    // when skipBusy is set; otherwise a busy queue's job counts as startable at its own time.
    std::optional<Candidate> earliest(bool skipBusy) {
        std::optional<Candidate> best;
        for (auto it = jobs.begin(); it != jobs.end(); ++it) {
            // Entries come in deadline order and none starts before its deadline.
            if (best && it->first.deadline >= best->start) break;
            const auto& queue = *it->second.queue;
            if (skipBusy && queue.busy) continue;
            const Instant start = std::max(it->first.deadline, queue.stalledUntil);
            if (!best || start < best->start) best = Candidate{it, start};
        }
        return best;
    }

    void moveTo(Instant instant) {
        if (instant <= suspendingNow) return;
        continuousNow = detail::deadlineAfter(continuousNow, instant - suspendingNow);
        suspendingNow = instant;
    }

    // Runs the next startable job if it starts no later than limit, moving the clocks to its start.
    bool runNext(Instant limit) {
        checkThread();
        const auto next = earliest(true);
        if (!next || next->start > limit) return false;
        moveTo(next->start);
        auto node = jobs.extract(next->entry);
        const auto queue = node.mapped().queue;
        struct Frame {
            State& state;
            mock::QueueRecord& queue;
            Frame(State& s, mock::QueueRecord& q) : state(s), queue(q) {
                queue.busy = true;
                state.running.push_back(&queue);
            }
            ~Frame() {
                state.running.pop_back();
                queue.busy = false;
            }
        } frame(*this, *queue);
        node.mapped().job();
        return true;
    }  // frame ends before the job object (and what it captured) is destroyed

    bool isRunning(const mock::QueueRecord* queue) const { return !running.empty() && running.back() == queue; }
};

namespace mock {

using State = MockTimeBackend::State;

class MockQueue final : public Queue {
public:
    MockQueue(std::string label, const std::shared_ptr<State>& state)
        : record_(std::make_shared<QueueRecord>(QueueRecord{std::move(label)})), state_(state) {}

    ~MockQueue() override {
        if (auto state = state_.lock()) {
            state->drop([this](const State::Entry& entry) { return entry.queue == record_; });
        }
    }

    const std::string& label() const override { return record_->label; }

    void async(Job job) override {
        if (auto state = state_.lock()) state->post(record_, state->suspendingNow, std::move(job));
    }

    void asyncAfter(Duration delay, Job job) override {
        if (auto state = state_.lock()) {
            state->post(record_, detail::deadlineAfter(state->suspendingNow, delay), std::move(job));
        }
    }

    bool isCurrent() const override {
        const auto state = state_.lock();
        return state && state->isRunning(record_.get());
    }

    const std::shared_ptr<QueueRecord>& record() const { return record_; }
    bool belongsTo(const State* state) const { return state_.lock().get() == state; }

private:
    const std::shared_ptr<QueueRecord> record_;
    const std::weak_ptr<State> state_;
};

class MockSemaphore final : public Semaphore {
public:
    MockSemaphore(long value, const std::shared_ptr<State>& state) : count_(value), state_(state) {}

    void signal() override { ++count_; }

    bool wait(Duration timeout) override {
        const auto state = state_.lock();
        if (!state) return take();
        const Instant deadline = detail::deadlineAfter(state->suspendingNow, timeout);
        while (!take()) {
            if (state->runNext(deadline)) continue;
            if (deadline.sinceOrigin == Duration::max()) {
                throw std::logic_error("MockTimeBackend: a wait without timeout has nothing left to run; "
                                       "it would block for good");
            }
            state->moveTo(deadline);
            return false;
        }
        return true;
    }

private:
    bool take() {
        if (count_ <= 0) return false;
        --count_;
        return true;
    }

    long count_;
    const std::weak_ptr<State> state_;
};

class MockTimerSource final : public TimerSource, public std::enable_shared_from_this<MockTimerSource> {
public:
    MockTimerSource(std::shared_ptr<MockQueue> queue, const std::shared_ptr<State>& state)
        : queue_(std::move(queue)), state_(state) {}

    ~MockTimerSource() override { disarm(); }

    void schedule(Duration firstDelay, Duration interval, Duration /*leeway: mock fires are exact*/) override {
        const auto state = state_.lock();
        if (!state || cancelled_) return;
        first_ = detail::deadlineAfter(state->suspendingNow, firstDelay);
        interval_ = interval;
        scheduled_ = true;
        if (resumed_) arm(first_);
    }

    void setEventHandler(Job handler) override {
        if (!cancelled_) handler_ = std::make_shared<Job>(std::move(handler));
    }

    void resume() override {
        if (cancelled_ || resumed_) return;
        resumed_ = true;
        if (scheduled_) arm(first_);
    }

    void cancel() override {
        cancelled_ = true;
        disarm();
        const auto released = std::move(handler_);
    }

private:
    void disarm() {
        if (auto state = state_.lock()) {
            state->drop([this](const State::Entry& entry) { return entry.owner == this; });
        }
    }

    // Exactly one fire is pending while the timer is armed.
    void arm(Instant deadline) {
        disarm();
        if (deadline == Instant{forever}) return;  // parked
        if (auto state = state_.lock()) queueFire(*state, deadline);
    }

    void queueFire(State& state, Instant deadline) {
        state.post(queue_->record(), deadline,
                   [weak = weak_from_this(), deadline] {
                       if (auto self = weak.lock()) self->fire(deadline);
                   },
                   this);
    }

    void fire(Instant deadline) {
        const auto state = state_.lock();
        if (!state || cancelled_) return;
        if (interval_ > Duration::zero()) {
            // Exactly deadline + interval unless a stall made the timer miss fires: those are skipped.
            queueFire(*state, detail::nextFireAfter(deadline, interval_, std::max(deadline, state->suspendingNow)));
        }
        const auto handler = handler_;
        if (handler && *handler) (*handler)();
    }

    const std::shared_ptr<MockQueue> queue_;  // a source keeps its queue, as in libdispatch
    const std::weak_ptr<State> state_;
    std::shared_ptr<Job> handler_;
    Instant first_{};
    Duration interval_{0};  // zero or negative: fires once
    bool scheduled_ = false;
    bool resumed_ = false;
    bool cancelled_ = false;
};

class MockSignalSource final : public SignalSource, public std::enable_shared_from_this<MockSignalSource> {
public:
    MockSignalSource(int signo, std::shared_ptr<MockQueue> queue, const std::shared_ptr<State>& state)
        : signo_(signo), queue_(std::move(queue)), state_(state) {}

    ~MockSignalSource() override { dropDeliveries(); }

    void setEventHandler(Job handler) override {
        if (!cancelled_) handler_ = std::make_shared<Job>(std::move(handler));
    }
    void resume() override { resumed_ = !cancelled_; }
    void cancel() override {
        cancelled_ = true;
        resumed_ = false;
        dropDeliveries();  // a cancelled source runs its handler no more
        const auto released = std::move(handler_);
    }

    void deliver(int signo, State& state) {
        if (signo != signo_ || !resumed_) return;
        state.post(queue_->record(), state.suspendingNow,
                   [weak = weak_from_this()] {
                       if (auto self = weak.lock()) self->runHandler();
                   },
                   this);
    }

private:
    void dropDeliveries() {
        if (auto state = state_.lock()) {
            state->drop([this](const State::Entry& entry) { return entry.owner == this; });
        }
    }

    void runHandler() {
        const auto handler = handler_;
        if (handler && *handler) (*handler)();
    }

    const int signo_;
    const std::shared_ptr<MockQueue> queue_;
    const std::weak_ptr<State> state_;
    std::shared_ptr<Job> handler_;
    bool resumed_ = false;
    bool cancelled_ = false;
};

}  // namespace mock

namespace {

std::shared_ptr<mock::MockQueue> ownQueue(const std::shared_ptr<Queue>& queue, const MockTimeBackend::State* state,
                                          const char* what) {
    auto mockQueue = std::dynamic_pointer_cast<mock::MockQueue>(queue);
    if (!mockQueue || !mockQueue->belongsTo(state)) {
        throw std::invalid_argument(std::string(what) + ": the queue must be a queue of this MockTimeBackend");
    }
    return mockQueue;
}

}  // namespace

MockTimeBackend::MockTimeBackend() : state_(std::make_shared<State>()) {}

MockTimeBackend::~MockTimeBackend() {
    state_->closed = true;
    state_->signalSources.clear();
    const auto dropped = std::move(state_->jobs);
    state_->jobs.clear();
}  // the dropped jobs go before the state; objects that outlive the backend find it gone

std::shared_ptr<Queue> MockTimeBackend::makeQueue(std::string label) {
    return std::make_shared<mock::MockQueue>(std::move(label), state_);
}

std::shared_ptr<Semaphore> MockTimeBackend::makeSemaphore(long value) {
    if (value < 0) throw std::invalid_argument("makeSemaphore: the initial value must not be negative");
    return std::make_shared<mock::MockSemaphore>(value, state_);
}

std::shared_ptr<TimerSource> MockTimeBackend::makeTimer(std::shared_ptr<Queue> queue) {
    return std::make_shared<mock::MockTimerSource>(ownQueue(queue, state_.get(), "makeTimer"), state_);
}

std::shared_ptr<SignalSource> MockTimeBackend::makeSignalSource(int signo, std::shared_ptr<Queue> queue) {
    auto source = std::make_shared<mock::MockSignalSource>(signo, ownQueue(queue, state_.get(), "makeSignalSource"),
                                                           state_);
    std::erase_if(state_->signalSources, [](const auto& weak) { return weak.expired(); });
    state_->signalSources.push_back(source);
    return source;
}

const clock::Clock& MockTimeBackend::suspendingClock() const { return state_->suspending; }
const clock::Clock& MockTimeBackend::continuousClock() const { return state_->continuous; }

void MockTimeBackend::runUntilIdle() {
    while (state_->runNext(state_->suspendingNow)) {
    }
}

void MockTimeBackend::advanceBy(Duration d) {
    const Instant target = detail::deadlineAfter(state_->suspendingNow, d);
    // A job may itself have moved time past the target (a semaphore wait pumps); what came due
    // by then runs too, so nothing overdue is left behind.
    while (state_->runNext(std::max(target, state_->suspendingNow))) {
    }
    state_->moveTo(target);
}

void MockTimeBackend::sleepMachine(Duration d) {
    state_->checkThread();
    state_->continuousNow = detail::deadlineAfter(state_->continuousNow, d);
}

void MockTimeBackend::stallQueue(const Queue& queue, Duration d) {
    const auto* mockQueue = dynamic_cast<const mock::MockQueue*>(&queue);
    if (!mockQueue || !mockQueue->belongsTo(state_.get())) {
        throw std::invalid_argument("stallQueue: the queue must be a queue of this MockTimeBackend");
    }
    auto& record = *mockQueue->record();
    record.stalledUntil = std::max(record.stalledUntil, detail::deadlineAfter(state_->suspendingNow, d));
}

void MockTimeBackend::deliverSignal(int signo) {
    state_->checkThread();
    // Copied first: the list may change under us when a source that goes away is pruned.
    std::vector<std::shared_ptr<mock::MockSignalSource>> sources;
    for (const auto& weak : state_->signalSources) {
        if (auto source = weak.lock()) sources.push_back(std::move(source));
    }
    for (const auto& source : sources) source->deliver(signo, *state_);
}

std::size_t MockTimeBackend::pendingJobs() const { return state_->jobs.size(); }

std::optional<Instant> MockTimeBackend::nextDeadline() const {
    const auto next = state_->earliest(false);
    if (!next) return std::nullopt;
    return next->start;
}

Instant MockTimeBackend::now() const { return state_->suspendingNow; }

}  // namespace quorvane::dispatch
