// Boost (a duty fraction) earned by running heavy applications, matched by bundle-identifier
// prefix against a fixed table. Value type, owned by one control loop; the table is shared and
// read-only.
#pragma once

#include <map>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace quorvane {

struct WorkloadPolicy {
    // Identifiers of running applications that earn a boost.
    std::set<std::string, std::less<>> running;

    // Prefix → boost; five entries, built once on first use.
    static const std::map<std::string, double, std::less<>>& heavyApps();
    // The largest boost over every prefix of the table that `bundleID` starts with; 0 for none.
    static double boost(std::string_view bundleID);

    // Recorded only when it earns a boost.
    void appLaunched(const std::string& bundleID);
    void appTerminated(std::string_view bundleID);
    // Applications already running when the loop starts: each as appLaunched, added to what is
    // already recorded.
    void seed(const std::vector<std::string>& runningBundleIDs);
    // The largest boost among the running applications; 0 when none.
    double currentBoost() const;

    friend bool operator==(const WorkloadPolicy&, const WorkloadPolicy&) = default;
};

}  // namespace quorvane
