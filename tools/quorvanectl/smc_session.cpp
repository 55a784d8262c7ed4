#include "smc_session.hpp"

#include "client_error.hpp"
#include "platform/bootstrap/bootstrap.hpp"
#include "platform/iokit/iokit.hpp"

namespace quorvane::ctl {

std::string permissionDeniedText() {
    return "permission denied: run as root or join the group that owns " + bootstrap::directory();
}

std::shared_ptr<SMCKernelBridge> openSMC() {
    try {
        return SMCKernelBridge::open();
    } catch (const SMCError& e) {
        if (e.kind() == SMCError::Kind::openFailed && e.code() == kIOReturnNotPrivileged)
            throw ClientError(permissionDeniedText());
        throw ClientError("cannot open AppleSMC: " + e.description());
    }
}

}  // namespace quorvane::ctl
