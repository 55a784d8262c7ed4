#include "smc_session.hpp"

#include "client_error.hpp"

namespace quorvane::ctl {

std::shared_ptr<SMCKernelBridge> openSMC() {
    try {
        return SMCKernelBridge::open();
    } catch (const SMCError& e) {
        throw ClientError("cannot open AppleSMC: " + e.description());
    }
}

}  // namespace quorvane::ctl
