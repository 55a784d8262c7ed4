// The virtual Mac's CPU topology inputs on arbitrary text: the first byte picks the "--cores P,E"
// argument or the topology table (looked up for the table name "T"). Either gives a topology a
// Mac could have, or a ProfileError; nothing else may escape.
#include <cstdint>
#include <cstdlib>
#include <sstream>
#include <string>

#include "sim/machine_profile.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace quorvane::sim;
    if (size < 1) return 0;
    const std::string text(reinterpret_cast<const char*>(data + 1), size - 1);
    std::optional<CPUTopology> t;
    try {
        if (data[0] & 1) {
            t = CPUTopology::fromText(text);
        } else {
            std::istringstream in(text);
            t = MachineProfile::topologyOf(in, "T");
        }
    } catch (const ProfileError&) {
        return 0;
    }
    try {
        if (t) t->validate("fuzz");
    } catch (const ProfileError&) {
        std::abort();  // an accepted topology no Mac could have
    }
    return 0;
}
