// What a running process holds, read from /proc, and its descriptor limit, for end-to-end tests
// that check a daemon gives back every descriptor and thread. Stateless; any thread.
#pragma once

#include <sys/resource.h>
#include <sys/types.h>

#include <filesystem>
#include <string>
#include <system_error>

namespace quorvane::integration {

// Entries of /proc/PID/<dir> (fd, task); -1 when the process is gone.
inline int countProcEntries(pid_t pid, const char* dir) {
    std::error_code ec;
    std::filesystem::directory_iterator it("/proc/" + std::to_string(pid) + "/" + dir, ec);
    if (ec) return -1;
    int n = 0;
    for (; it != std::filesystem::directory_iterator(); it.increment(ec)) {
        if (ec) return -1;
        ++n;
    }
    return n;
}

inline int openDescriptors(pid_t pid) { return countProcEntries(pid, "fd"); }
inline int threads(pid_t pid) { return countProcEntries(pid, "task"); }

// Lowers (or raises) another process's RLIMIT_NOFILE, soft and hard.
inline bool setDescriptorLimit(pid_t pid, rlim_t limit) {
    const rlimit value{limit, limit};
    return ::prlimit(pid, RLIMIT_NOFILE, &value, nullptr) == 0;
}

}  // namespace quorvane::integration
