// Where launchd's namespace would be: one directory holding the Mach service sockets, the AppleSMC
// service socket and the HID event system socket. $QUORVANE_BOOTSTRAP if set, else /run/quorvane.
// Thread-safe.
#pragma once

#include <string>
#include <system_error>

namespace quorvane::bootstrap {

std::string directory();
// directory() + "/" + name.
std::string socketPath(const std::string& name);
// Creates directory() and its missing parents (mode 0755 before the umask); the error names the
// first that could not be made.
std::error_code makeDirectory(std::string* failedPath = nullptr);

}  // namespace quorvane::bootstrap
