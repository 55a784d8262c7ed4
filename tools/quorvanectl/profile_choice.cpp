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

}  // namespace

const FanProfile& builtinProfile(const std::string& name) {
    std::string names;
    for (const auto& p : FanProfile::builtins()) {
        if (lowered(p.name) == lowered(name)) return p;
        names += (names.empty() ? "\"" : ", \"") + p.name + "\"";
    }
    throw ClientError("no built-in profile \"" + name + "\"; the profiles are " + names, ExitStatus::usage);
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
    std::string names;
    for (const auto& t : CustomMode::templates()) {
        if (lowered(t.name) == lowered(name)) return t;
        names += (names.empty() ? "\"" : ", \"") + t.name + "\"";
    }
    throw ClientError("no mode template \"" + name + "\"; the templates are " + names, ExitStatus::usage);
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
