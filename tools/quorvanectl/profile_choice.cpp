#include "profile_choice.hpp"

#include <algorithm>
#include <cctype>
#include <fstream>
#include <sstream>

#include <nlohmann/json.hpp>

#include "client_error.hpp"
#include "shared/common/decoding_error.hpp"

namespace quorvane::ctl {

namespace {

constexpr std::streamsize kModeFileLimit = 1 << 20;

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

CustomMode readCustomMode(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw ClientError("cannot read the mode file " + path, ExitStatus::usage);
    std::string text(static_cast<std::size_t>(kModeFileLimit) + 1, '\0');
    in.read(text.data(), kModeFileLimit + 1);
    if (in.gcount() > kModeFileLimit) throw ClientError("the mode file " + path + " is larger than 1 MiB", ExitStatus::usage);
    text.resize(static_cast<std::size_t>(in.gcount()));
    const auto json = nlohmann::json::parse(text, nullptr, false);
    if (json.is_discarded()) throw ClientError("the mode file " + path + " is not JSON", ExitStatus::usage);
    try {
        return CustomMode::fromJSON(json);
    } catch (const DecodingError& e) {
        throw ClientError("the mode file " + path + " is not a custom mode: " + e.what(), ExitStatus::usage);
    }
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
