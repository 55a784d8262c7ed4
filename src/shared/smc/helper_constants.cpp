#include "shared/smc/helper_constants.hpp"

namespace quorvane::HelperConstants {

namespace {
std::string requirementFor(const char* identifier) {
    return std::string("anchor apple generic and identifier \"") + identifier +
           "\" and certificate leaf[subject.OU] = \"" + teamID + "\"";
}
}  // namespace

// Built once, thread-safely, on first use, and never destroyed: connections may still be admitted
// while the process runs its exit handlers.
const std::string& clientRequirement() {
    static const auto* text = new std::string(requirementFor(appBundleID));
    return *text;
}

const std::string& daemonRequirement() {
    static const auto* text = new std::string(requirementFor(daemonLabel));
    return *text;
}

}  // namespace quorvane::HelperConstants
