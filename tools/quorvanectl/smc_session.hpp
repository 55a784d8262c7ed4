// This process's own AppleSMC connection, for reads the application makes without the daemon
// (fans, sensors, raw keys). Opening it failing is a ClientError. Thread-safe like the bridge.
#pragma once

#include <memory>

#include "smc/smc_kernel_bridge.hpp"

namespace quorvane::ctl {

std::shared_ptr<SMCKernelBridge> openSMC();
// An SMC error as a person reads it: its textual form, and what to do where the cause is ours to
// name (a key only root may read or write through the kernel's driver: "needs root").
std::string smcErrorText(const SMCError& e);
bool needsRoot(const SMCError& e);
// Whether opening failed because this user may not reach the service (bootstrap directory rights).
bool deniedToThisUser(const SMCError& e);

}  // namespace quorvane::ctl
