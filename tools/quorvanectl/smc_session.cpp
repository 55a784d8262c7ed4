#include "smc_session.hpp"

#include "client_error.hpp"
#include "platform/iokit/iokit.hpp"

namespace quorvane::ctl {

std::shared_ptr<SMCKernelBridge> openSMC() {
    try {
        return SMCKernelBridge::open();
    } catch (const SMCError& e) {
        throw ClientError("cannot open AppleSMC: " + e.description());
    }
}

bool needsRoot(const SMCError& e) {
    return e.kind() == SMCError::Kind::callFailed && e.code() == static_cast<std::int32_t>(kIOReturnNotPrivileged);
}

std::string smcErrorText(const SMCError& e) { return needsRoot(e) ? e.description() + ": needs root" : e.description(); }

}  // namespace quorvane::ctl
