// The control service's log lines on stderr, each with its priority: under systemd stderr is the
// journal's stream, which takes a leading "<N>" as the line's syslog priority (so
// `journalctl -p err` finds the errors) and names the program itself (the unit's
// SyslogIdentifier); anywhere else a line starts with the program's name. A text of several lines
// is several log lines, each marked. Thread-safe (one write per line).
#pragma once

#include <string>
#include <string_view>

namespace quorvane::ctl {

enum class LogPriority { error = 3, warning = 4, info = 6 };

inline constexpr const char* serviceName = "quorvane-control";

void serviceLog(LogPriority priority, std::string_view text, const char* name = serviceName);

// The lines serviceLog writes, for a stream that is the journal's or not.
std::string serviceLogLines(LogPriority priority, std::string_view text, bool journal, const char* name = serviceName);

}  // namespace quorvane::ctl
