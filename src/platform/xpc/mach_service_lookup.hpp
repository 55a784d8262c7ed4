// Whether a Mach service is being served right now (bootstrap_look_up finding an active service):
// here, whether a stream connection to its socket in the bootstrap directory succeeds. Thread-safe.
#pragma once

#include <string>

namespace quorvane::xpc {

// True when something accepts connections for `name`. A stale socket left by a process that is
// gone, a missing one or an unreachable directory all count as not served.
bool machServiceIsServed(const std::string& name);

}  // namespace quorvane::xpc
