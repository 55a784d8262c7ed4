#include "profile_choice.hpp"

#include <algorithm>
#include <cctype>

#include "client_error.hpp"

namespace quorvane::ctl {

namespace {

std::string lowered(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
    return text;
}

// The record whose name matches, ignoring case; the error lists the names there are.
template <class Records>
const typename Records::value_type& named(const Records& records, const std::string& name, const char* what,
                                          const char* plural) {
    std::string names;
    for (const auto& r : records) {
        if (lowered(r.name) == lowered(name)) return r;
        names += (names.empty() ? "\"" : ", \"") + r.name + "\"";
    }
    throw ClientError("no " + std::string(what) + " \"" + name + "\"; the " + plural + " are " + names, ExitStatus::usage);
}

}  // namespace

const FanProfile& builtinProfile(const std::string& name) {
    return named(FanProfile::builtins(), name, "built-in profile", "profiles");
}

std::vector<CustomMode> listedTemplates() {
    // One fixed id per template, in the order of CustomMode::templates().
    static constexpr const char* ids[] = {"00000000-0000-0000-0001-000000000001", "00000000-0000-0000-0001-000000000002",
                                          "00000000-0000-0000-0001-000000000003"};
    std::vector<CustomMode> listed;
    const auto& templates = CustomMode::templates();
    for (std::size_t i = 0; i < templates.size() && i < std::size(ids); ++i) {
        const auto& t = templates[i];
        listed.emplace_back(*Uuid::parse(ids[i]), t.name, t.symbolName, t.speed(), t.controlSensor, t.displaySensor,
                            t.drivesMainReadout);
    }
    return listed;
}

const CustomMode& builtinTemplate(const std::string& name) {
    return named(CustomMode::templates(), name, "mode template", "templates");
}

std::string controlModeName(ControlMode mode) {
    switch (mode) {
        case ControlMode::appleAuto: return "appleAuto";
        case ControlMode::constantRPM: return "constantRPM";
        case ControlMode::adaptiveCurve: break;
    }
    return "adaptiveCurve";
}

}  // namespace quorvane::ctl
