// What doctor finds out about the SMC's kernel driver from its files alone: which layout, its fans'
// target files and whether the daemon could write them, a T2 Mac whose kernel cannot drive it, and
// what only root can tell. Pure over a sysfs tree; no shared state.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "platform/iokit/kernel_smc_service.hpp"

namespace quorvane::ctl {

struct DriverFindings {
    std::vector<std::string> lines;     // what was found, one line each
    std::vector<std::string> problems;  // what is wrong, then what to do
    std::shared_ptr<iokit::KernelSMCService> kernel;  // the driver's files, when a kernel backend answers
    bool needsRoot = false;  // the SMC's keys can be read through this driver by root only
};

// backend as resolved for this process under sysRoot; asRoot: whether doctor runs as root; probed:
// the backend was found by looking (auto), not named by QUORVANE_SMC_BACKEND.
DriverFindings examineDriver(const iokit::SMCBackend& backend, const std::string& sysRoot, bool asRoot, bool probed);

}  // namespace quorvane::ctl
