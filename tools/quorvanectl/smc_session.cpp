#include "smc_session.hpp"

#include <unistd.h>

#include <cerrno>

#include "client_error.hpp"
#include "platform/bootstrap/bootstrap.hpp"
#include "platform/iokit/iokit.hpp"

namespace quorvane::ctl {

std::string permissionDeniedText() {
    return "permission denied: run as root or join the group that owns " + bootstrap::directory();
}

bool deniedToThisUser(const SMCError& e) {
    if (e.kind() == SMCError::Kind::openFailed) return e.code() == kIOReturnNotPrivileged;
    // A directory this user may not enter hides its sockets: the service looks absent.
    return e.kind() == SMCError::Kind::serviceNotFound && ::access(bootstrap::directory().c_str(), X_OK) != 0 &&
           errno == EACCES;
}

std::shared_ptr<SMCKernelBridge> openSMC() {
    try {
        return SMCKernelBridge::open();
    } catch (const SMCError& e) {
        if (deniedToThisUser(e)) throw ClientError(permissionDeniedText());
        throw ClientError("cannot open AppleSMC: " + e.description());
    }
}

bool needsRoot(const SMCError& e) {
    return e.kind() == SMCError::Kind::callFailed && e.code() == static_cast<std::int32_t>(kIOReturnNotPrivileged);
}

std::string smcErrorText(const SMCError& e) { return needsRoot(e) ? e.description() + ": needs root" : e.description(); }

}  // namespace quorvane::ctl
