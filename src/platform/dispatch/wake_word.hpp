// Private to the real-thread dispatch backend: a word one thread sleeps on until another thread
// changes it or a deadline of the dispatch clock passes (a Linux futex). Unlike a condition
// variable it costs no system call on either side unless a thread really sleeps: callers note
// under their own lock whether anyone sleeps and wake only then. Thread-safe.
#pragma once

#include <atomic>
#include <cstdint>

#include "platform/clock/clock.hpp"

namespace quorvane::dispatch::real {

class WakeWord {
public:
    // The value to pass to waitUntil(); read it under the caller's lock, before releasing it.
    std::uint32_t current() const { return word_.load(std::memory_order_relaxed); }

    // Sleeps while the word still equals seen, until wake() or until the dispatch clock reaches
    // *deadline (no deadline when null). May return early; callers re-check their condition.
    void waitUntil(std::uint32_t seen, const clock::Instant* deadline) const;

    // Changes the word and wakes every thread sleeping on it (one system call).
    void wake();

private:
    std::atomic<std::uint32_t> word_{0};
    static_assert(std::atomic<std::uint32_t>::is_always_lock_free);
};

}  // namespace quorvane::dispatch::real
