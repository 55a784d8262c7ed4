#include "shared/smc/helper_constants.hpp"

namespace quorvane::HelperConstants {

namespace {
std::string requirementFor(const char* identifier) {
    return std::string("anchor apple generic and identifier \"") + identifier +
           "\" and certificate leaf[subject.OU] = \"" + teamID + "\"";
}
}  // namespace

// Function-local statics: initialised once, thread-safely, on first use.
const std::string& clientRequirement() {
    static const std::string text = requirementFor(appBundleID);
    return text;
}

const std::string& daemonRequirement() {
    static const std::string text = requirementFor(daemonLabel);
    return text;
}

}  // namespace quorvane::HelperConstants
