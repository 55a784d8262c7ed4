// Whether a Mach service is being served right now (bootstrap_look_up finding an active service):
// here, whether a stream connection to its socket in the bootstrap directory succeeds. And the
// one-instance-per-label rule launchd keeps, for processes started by hand. Thread-safe.
#pragma once

#include <string>
#include <system_error>

namespace quorvane::xpc {

// True when something accepts connections for `name`. A stale socket left by a process that is
// gone, a missing one or an unreachable directory all count as not served.
bool machServiceIsServed(const std::string& name);

// Claims `name` for the rest of this process's life: an exclusive lock on "<socket>.lock" in the
// bootstrap directory, which the kernel drops when the process ends, so two processes started at
// the same instant cannot both pass. Empty on success; operation_would_block when another live
// process holds the claim; any other error when the claim cannot be made.
std::error_code claimMachService(const std::string& name);

}  // namespace quorvane::xpc
