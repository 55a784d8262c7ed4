#include "service_log.hpp"

#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>

#include "platform/log/journal_sink.hpp"

namespace quorvane::ctl {

std::string serviceLogLines(LogPriority priority, std::string_view text, bool journal, const char* name) {
    const std::string mark = journal ? "<" + std::to_string(static_cast<int>(priority)) + ">" : std::string(name) + ": ";
    std::string out;
    for (std::size_t start = 0;;) {
        const auto end = text.find('\n', start);
        out += mark;
        out += text.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start);
        out += '\n';
        if (end == std::string_view::npos) break;
        start = end + 1;
    }
    return out;
}

void serviceLog(LogPriority priority, std::string_view text, const char* name) {
    // Decided once: stderr does not change hands while the service runs.
    static const bool journal = log::isJournalStream(STDERR_FILENO, std::getenv("JOURNAL_STREAM"));
    const std::string lines = serviceLogLines(priority, text, journal, name);
    // One write: lines of two threads never interleave within a line.
    for (std::size_t done = 0; done < lines.size();) {
        const ssize_t n = ::write(STDERR_FILENO, lines.data() + done, lines.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += static_cast<std::size_t>(n);
    }
}

}  // namespace quorvane::ctl
