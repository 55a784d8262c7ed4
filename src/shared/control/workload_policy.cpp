#include "shared/control/workload_policy.hpp"

#include <algorithm>

namespace quorvane {

const std::map<std::string, double, std::less<>>& WorkloadPolicy::heavyApps() {
    static const std::map<std::string, double, std::less<>> table{
        {"com.apple.dt.Xcode", 0.45},
        {"com.apple.FinalCut", 0.55},
        {"org.blenderfoundation.blender", 0.55},
        {"com.adobe.PremierePro", 0.5},
        {"com.blackmagic-design.DaVinciResolve", 0.55},
    };
    return table;
}

double WorkloadPolicy::boost(std::string_view bundleID) {
    double result = 0.0;
    for (const auto& [prefix, value] : heavyApps())
        if (bundleID.starts_with(prefix)) result = std::max(result, value);
    return result;
}

void WorkloadPolicy::appLaunched(const std::string& bundleID) {
    if (boost(bundleID) > 0) running.insert(bundleID);
}

void WorkloadPolicy::appTerminated(std::string_view bundleID) {
    if (const auto it = running.find(bundleID); it != running.end()) running.erase(it);
}

void WorkloadPolicy::seed(const std::vector<std::string>& runningBundleIDs) {
    for (const std::string& id : runningBundleIDs) appLaunched(id);
}

double WorkloadPolicy::currentBoost() const {
    double result = 0.0;
    for (const std::string& id : running) result = std::max(result, boost(id));
    return result;
}

}  // namespace quorvane
