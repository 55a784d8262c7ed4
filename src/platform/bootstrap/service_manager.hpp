// Readiness for the service manager that started us, where launchd needs none: one datagram of
// "KEY=VALUE" lines to the socket named by $NOTIFY_SOCKET (a path, or "@name" for an abstract
// socket). Nothing happens when no manager listens. Thread-safe.
#pragma once

#include <string_view>

namespace quorvane::bootstrap {

// Sends `state` (e.g. "READY=1\nSTATUS=serving"); true when a manager listens and took it.
bool notifyServiceManager(std::string_view state);

}  // namespace quorvane::bootstrap
