#include "platform/dispatch/wake_word.hpp"

#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <climits>
#include <ctime>

namespace quorvane::dispatch::real {

namespace {
long futex(const std::atomic<std::uint32_t>& word, int op, std::uint32_t value, const timespec* timeout) {
    // A lock-free atomic of 32 bits is the plain word the kernel compares.
    auto* address = reinterpret_cast<std::uint32_t*>(const_cast<std::atomic<std::uint32_t>*>(&word));
    return ::syscall(SYS_futex, address, op, value, timeout, nullptr, FUTEX_BITSET_MATCH_ANY);
}
}  // namespace

void WakeWord::waitUntil(std::uint32_t seen, const clock::Instant* deadline) const {
    timespec until{};
    if (deadline) {
        const auto ns = deadline->sinceOrigin.count();
        until.tv_sec = static_cast<time_t>(ns / 1'000'000'000);
        until.tv_nsec = static_cast<long>(ns % 1'000'000'000);
    }
    // The bitset form takes an absolute CLOCK_MONOTONIC deadline, the dispatch clock itself, so a
    // timer wakes once, on time, with no clock read or arithmetic in between.
    futex(word_, FUTEX_WAIT_BITSET_PRIVATE, seen, deadline ? &until : nullptr);
}

void WakeWord::wake() {
    word_.fetch_add(1, std::memory_order_relaxed);
    futex(word_, FUTEX_WAKE_PRIVATE, INT_MAX, nullptr);
}

}  // namespace quorvane::dispatch::real
