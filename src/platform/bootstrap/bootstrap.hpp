// Where launchd's namespace would be: one directory holding the Mach service sockets, the AppleSMC
// service socket and the HID event system socket. $QUORVANE_BOOTSTRAP if set, else /run/quorvane.
// Thread-safe.
#pragma once

#include <string>

namespace quorvane::bootstrap {

std::string directory();
// directory() + "/" + name.
std::string socketPath(const std::string& name);

}  // namespace quorvane::bootstrap
