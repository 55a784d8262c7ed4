#include "control_config.hpp"

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <optional>
#include <set>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include "client_error.hpp"
#include "mode_file.hpp"
#include "profile_choice.hpp"
#include "shared/common/decoding_error.hpp"
#include "shared/common/json_decoding.hpp"

namespace quorvane::ctl {

namespace {

constexpr std::size_t kConfigLimit = 1 << 20;

struct Position {
    std::size_t line = 1, column = 1;
};

Position positionAt(std::string_view text, std::size_t offset) {
    Position p;
    for (std::size_t i = 0; i < offset && i < text.size(); ++i) {
        if (text[i] == '\n') {
            ++p.line;
            p.column = 1;
        } else if ((static_cast<unsigned char>(text[i]) & 0xC0) != 0x80) {
            ++p.column;  // columns count characters, not UTF-8 continuation bytes
        }
    }
    return p;
}

// Deeper than any configuration needs; refusing more keeps every later pass over the value small.
constexpr std::size_t kDepthLimit = 32;
// Paths are recorded only as deep as the decoders look, and only with keys of a sane length: an
// error further in is placed at its nearest recorded enclosing value. This keeps the index linear
// in the text whatever its shape.
constexpr std::size_t kRecordedDepth = 6;
constexpr std::size_t kRecordedKeyLength = 64;

// Where the text first opens an array or object deeper than kDepthLimit, if it does.
std::optional<std::size_t> tooDeep(std::string_view text) {
    std::size_t depth = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '"') {
            for (++i; i < text.size() && text[i] != '"'; ++i)
                if (text[i] == '\\') ++i;
        } else if (c == '{' || c == '[') {
            if (++depth > kDepthLimit) return i;
        } else if ((c == '}' || c == ']') && depth > 0) {
            --depth;
        }
    }
    return std::nullopt;
}

// Where each value starts, by the key path the decoders report ("mode.speed.fixed",
// "boostApplications[1]"). The text is valid JSON already; one pass, no recursion.
std::map<std::string, std::size_t> valueOffsets(std::string_view text) {
    struct Frame {
        std::optional<std::string> path;  // absent: too deep or under a long key, not recorded
        bool array;
        std::size_t index = 0;
        std::string key;
        bool keyTooLong = false;
        bool expectKey = true;
    };
    std::map<std::string, std::size_t> offsets;
    std::vector<Frame> stack;
    auto valueStarts = [&](std::size_t at) -> std::optional<std::string> {
        std::optional<std::string> path = std::string();
        if (!stack.empty()) {
            Frame& f = stack.back();
            const std::size_t index = f.index++;
            if (!f.path || stack.size() > kRecordedDepth || (!f.array && f.keyTooLong)) return std::nullopt;
            path = f.array ? json_decoding::childPath(*f.path, index) : json_decoding::childPath(*f.path, f.key);
        }
        offsets.emplace(*path, at);
        return path;
    };
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '"') {
            std::string s;
            const std::size_t start = i;
            for (++i; i < text.size() && text[i] != '"'; ++i) {
                if (text[i] == '\\') ++i;  // the decoders' keys need no unescaping to match
                else if (s.size() <= kRecordedKeyLength) s += text[i];
            }
            if (!stack.empty() && !stack.back().array && stack.back().expectKey) {
                stack.back().keyTooLong = s.size() > kRecordedKeyLength;
                stack.back().key = std::move(s);
                stack.back().expectKey = false;
            } else {
                valueStarts(start);
            }
        } else if (c == '{' || c == '[') {
            auto path = valueStarts(i);
            stack.push_back(Frame{std::move(path), c == '[', 0, {}, false, true});
        } else if (c == '}' || c == ']') {
            if (!stack.empty()) stack.pop_back();
        } else if (c == ',') {
            if (!stack.empty()) stack.back().expectKey = true;
        } else if (c == '-' || std::isalnum(static_cast<unsigned char>(c))) {
            valueStarts(i);
            while (i + 1 < text.size() && (text[i + 1] == '.' || text[i + 1] == '+' || text[i + 1] == '-' ||
                                           std::isalnum(static_cast<unsigned char>(text[i + 1]))))
                ++i;
        }
    }
    return offsets;
}

class Problems {
public:
    Problems(std::string_view text, std::string origin) : text_(text), origin_(std::move(origin)) {}

    void at(std::size_t offset, const std::string& path, const std::string& what) {
        const Position p = positionAt(text_, offset);
        found_.emplace(offset, origin_ + ":" + std::to_string(p.line) + ":" + std::to_string(p.column) + ": " +
                                   (path.empty() ? "" : path + ": ") + what);
    }
    // At the value of `path`, or of its nearest enclosing value that exists (a missing key).
    void at(const std::string& path, const std::string& what) {
        if (offsets_.empty()) offsets_ = valueOffsets(text_);
        std::string p = path;
        // Nothing longer was recorded: start from the longest prefix that could have been.
        constexpr std::size_t longest = kRecordedDepth * (kRecordedKeyLength + 24);
        if (p.size() > longest) p.resize(std::min(p.find_last_of(".[", longest), longest));
        for (;;) {
            if (const auto it = offsets_.find(p); it != offsets_.end()) return at(it->second, path, what);
            const auto cut = p.find_last_of(".[");
            if (cut == std::string::npos) {
                if (p.empty()) return at(0, path, what);
                p.clear();
            } else {
                p.resize(cut);
            }
        }
    }
    void at(const DecodingError& e) { at(e.codingPath(), message(e)); }
    // In the order of the file, whatever order the keys were checked in; a file of a thousand
    // mistakes is told by its first few and a count.
    void throwIfAny() const {
        if (found_.empty()) return;
        constexpr std::size_t shown = 20;
        std::string lines;
        std::size_t n = 0;
        for (const auto& [offset, line] : found_) {
            if (n++ == shown) break;
            lines += (lines.empty() ? "" : "\n") + line;
        }
        if (found_.size() > shown)
            lines += "\n" + origin_ + ": and " + std::to_string(found_.size() - shown) + " more problems";
        throw ClientError(lines, ExitStatus::usage);
    }

private:
    static std::string message(const DecodingError& e) {
        switch (e.kind()) {
            case DecodingError::Kind::keyNotFound: return "required key is missing";
            case DecodingError::Kind::typeMismatch:
            case DecodingError::Kind::dataCorrupted: break;
        }
        return e.debugDescription();
    }

    std::string_view text_;
    std::string origin_;
    std::multimap<std::size_t, std::string> found_;
    std::map<std::string, std::size_t> offsets_;
};

constexpr std::array<std::string_view, 5> kKeys = {"profile", "interval", "mode", "alert", "boostApplications"};
constexpr const char* kUnknownKey =
    "unknown key; the keys are \"profile\", \"interval\", \"mode\", \"alert\", \"boostApplications\"";

bool isKnownKey(const std::string& key) { return std::find(kKeys.begin(), kKeys.end(), key) != kKeys.end(); }

// A key as an error line shows it: a long one is cut, at a character boundary.
std::string shownKey(const std::string& key) {
    if (key.size() <= kRecordedKeyLength) return key;
    std::size_t cut = kRecordedKeyLength;
    while (cut > 0 && (static_cast<unsigned char>(key[cut]) & 0xC0) == 0x80) --cut;
    return key.substr(0, cut) + "… (" + std::to_string(key.size()) + " bytes)";
}

// The stored form clamps a percentage; a person who wrote 70 meant something else.
void checkPercentage(const nlohmann::json& mode, Problems& problems) {
    const nlohmann::json* speed = mode.contains("speed") ? &mode["speed"] : nullptr;
    std::string path = "mode.floorPercentage";
    const nlohmann::json* value = mode.contains("floorPercentage") ? &mode["floorPercentage"] : nullptr;
    if (speed && speed->is_object()) {
        for (const char* kind : {"floor", "fixed"}) {
            if (speed->contains(kind) && (*speed)[kind].is_object() && (*speed)[kind].contains("percentage")) {
                value = &(*speed)[kind]["percentage"];
                path = std::string("mode.speed.") + kind + ".percentage";
            }
        }
    }
    if (value && value->is_number()) {
        if (const auto problem = fractionProblem(value->get<double>())) problems.at(path, value->dump() + " " + *problem);
    }
}

std::string intervalRange() {
    char text[48];
    std::snprintf(text, sizeof text, "%g…%g", ControlConfig::minInterval, ControlConfig::maxInterval);
    return text;
}

// A profile of one's own, in the form the library stores: the library's decoding, and what it
// would take silently but a person meant otherwise.
FanProfile ownProfile(const nlohmann::json& value, Problems& problems) {
    FanProfile profile = FanProfile::fromJSON(value, "profile");
    const auto& points = value["curvePoints"];
    for (std::size_t i = 0; i < points.size(); ++i) {
        const std::string path = json_decoding::childPath("profile.curvePoints", i);
        const double fraction = points[i]["rpmPercentage"].get<double>();
        if (const auto problem = fractionProblem(fraction)) problems.at(path + ".rpmPercentage", points[i]["rpmPercentage"].dump() + " " + *problem);
    }
    if (profile.mode == ControlMode::adaptiveCurve && profile.curvePoints.size() < 2)
        problems.at("profile.curvePoints", "a curve needs at least two points");
    if (profile.mode != ControlMode::appleAuto && profile.targetSensorGroupID.empty())
        problems.at("profile.targetSensorGroupID", "names no sensor: \"max\", a control source or a sensor's key");
    return profile;
}

}  // namespace

ControlConfig ControlConfig::parse(std::string_view text, const std::string& origin) {
    Problems problems(text, origin);
    if (text.size() > kConfigLimit) {
        problems.at(0, "", "the file is larger than 1 MiB");
        problems.throwIfAny();
    }
    if (const auto deep = tooDeep(text)) {
        problems.at(*deep, "", "nested deeper than " + std::to_string(kDepthLimit) + " levels");
        problems.throwIfAny();
    }
    nlohmann::json json;
    std::set<std::string> seen;
    std::vector<std::string> unknown, repeated;
    try {
        // An unknown key's value is checked for syntax only, never kept: whatever its size or
        // shape, it costs no memory.
        json = nlohmann::json::parse(text, [&](int depth, nlohmann::json::parse_event_t event, nlohmann::json& parsed) {
            if (depth != 1 || event != nlohmann::json::parse_event_t::key) return true;
            std::string key = parsed.get<std::string>();
            if (!seen.insert(key).second) repeated.push_back(key);
            if (isKnownKey(key)) return true;
            unknown.push_back(std::move(key));
            return false;
        });
    } catch (const nlohmann::json::parse_error& e) {
        const std::string what = e.what();
        // nlohmann's text: "[json.exception.parse_error.101] parse error at line 3, column 5: …"
        const auto colon = what.find(": ", what.find("column"));
        problems.at(e.byte > 0 ? e.byte - 1 : 0, "", colon == std::string::npos ? what : what.substr(colon + 2));
        problems.throwIfAny();
    }
    if (!json.is_object()) {
        problems.at(0, "", "expected an object with \"profile\" and optionally \"interval\", \"mode\", \"alert\", "
                           "\"boostApplications\"");
        problems.throwIfAny();
    }

    for (const auto& key : unknown)
        problems.at(shownKey(key), kUnknownKey);
    // The parser would keep the last silently, and a mistake would point at the first.
    for (const auto& key : repeated) problems.at(shownKey(key), "appears more than once");

    ControlConfig config{FanProfile::builtins().front(), defaultInterval, std::nullopt, defaultAlert, {}};
    bool profileGiven = false;
    for (const auto& [key, value] : json.items()) {
        try {
            if (key == "profile") {
                profileGiven = true;
                config.profile = value.is_object() ? ownProfile(value, problems)
                                                   : builtinProfile(json_decoding::string(value, key));
            } else if (key == "interval") {
                const double seconds = json_decoding::number(value, key);
                if (!(seconds >= minInterval && seconds <= maxInterval))
                    problems.at(key, value.dump() + " is outside " + intervalRange() + " seconds");
                config.interval = seconds;
            } else if (key == "mode") {
                if (value.is_null()) continue;
                if (value.is_string()) {
                    // Relative to the configuration's own directory, wherever the service runs.
                    std::filesystem::path relative(value.get<std::string>());
                    const std::string modePath = relative.is_relative()
                                                     ? (std::filesystem::path(origin).parent_path() / relative).string()
                                                     : relative.string();
                    std::error_code error;
                    if (!std::filesystem::is_regular_file(modePath, error))
                        throw ClientError("the mode file " + modePath + " is not a regular file", ExitStatus::usage);
                    config.mode = readCustomMode(modePath);
                } else {
                    checkPercentage(value, problems);
                    config.mode = CustomMode::fromJSON(value, key);
                }
            } else if (key == "alert") {
                config.alert = AlertRule::fromJSON(value, key);
            } else if (key == "boostApplications") {
                if (!value.is_array()) throw DecodingError::typeMismatch(key, "expected a list of bundle identifiers");
                for (std::size_t i = 0; i < value.size(); ++i)
                    config.boostApplications.push_back(json_decoding::string(value[i], json_decoding::childPath(key, i)));
            } else {
                problems.at(shownKey(key), kUnknownKey);
            }
        } catch (const DecodingError& e) {
            problems.at(e);
        } catch (const ClientError& e) {
            problems.at(key, e.what());
        }
    }
    if (!profileGiven) problems.at("profile", "required key is missing");
    problems.throwIfAny();
    return config;
}

ControlConfig ControlConfig::read(const std::string& path) {
    // Non-blocking open and a regular file only: a FIFO or a device must not stall the service.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    struct stat info {};
    if (fd < 0 || ::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        const std::string why = fd < 0 ? std::strerror(errno) : "not a regular file";
        if (fd >= 0) ::close(fd);
        throw ClientError("cannot read the configuration file " + path + ": " + why, ExitStatus::usage);
    }
    std::string text(kConfigLimit + 1, '\0');
    std::size_t size = 0;
    ssize_t n;
    while (size < text.size() && ((n = ::read(fd, text.data() + size, text.size() - size)) > 0 || (n < 0 && errno == EINTR)))
        if (n > 0) size += static_cast<std::size_t>(n);
    ::close(fd);
    text.resize(size);
    return parse(text, path);
}

}  // namespace quorvane::ctl
