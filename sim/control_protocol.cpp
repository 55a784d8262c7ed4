#include "sim/control_protocol.hpp"

#include <charconv>
#include <cmath>
#include <exception>
#include <optional>

namespace quorvane::sim {

namespace {

std::string error(const std::string& message) { return "error " + message; }

// Splits "VERB rest" at the first space.
std::string_view verbOf(std::string_view line, std::string_view& rest) {
    const auto space = line.find(' ');
    if (space == std::string_view::npos) {
        rest = {};
        return line;
    }
    rest = line.substr(space + 1);
    return line.substr(0, space);
}

// KEY is the next four bytes; what follows must be nothing or one space and an argument.
bool takeKey(std::string_view& rest, std::string& key, std::optional<std::string_view>& argument) {
    if (rest.size() < 4) return false;
    key = std::string(rest.substr(0, 4));
    rest.remove_prefix(4);
    if (rest.empty()) {
        argument.reset();
        return true;
    }
    if (rest.front() != ' ') return false;
    argument = rest.substr(1);
    return true;
}

std::optional<bool> onOff(std::string_view text) {
    if (text == "on") return true;
    if (text == "off") return false;
    return std::nullopt;
}

std::optional<double> parseNumber(std::string_view text) {
    double value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size() || !std::isfinite(value)) return std::nullopt;
    return value;
}

std::optional<std::uint8_t> parseResult(std::string_view text) {
    int base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        text.remove_prefix(2);
        base = 16;
    }
    unsigned value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value, base);
    if (text.empty() || ec != std::errc() || end != text.data() + text.size() || value > 255) return std::nullopt;
    return static_cast<std::uint8_t>(value);
}

std::optional<std::uint64_t> parseUnsigned(std::string_view text) {
    std::uint64_t value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
    return value;
}

// "files …": the driver files' faults.
std::string handleFiles(DriverFileFaults& faults, std::string_view line, std::string_view rest) {
    if (line == "files") return "ok " + faults.stateJSON().dump();
    std::string_view argument;
    const std::string_view what = verbOf(rest, argument);
    const bool hasArgument = what.size() < rest.size();
    if (what == "off") {
        if (hasArgument) return error("usage: files off");
        faults.clear();
        return "ok";
    }
    if (what == "delay") {
        const auto ms = parseUnsigned(argument);
        if (!ms || *ms > DriverFileFaults::kMaxDelayMs) return error("usage: files delay MS (0…60000)");
        faults.setDelay(static_cast<std::uint32_t>(*ms));
        return "ok";
    }
    if (what == "fail-reads" || what == "fail-writes") {
        const auto n = parseUnsigned(argument);
        if (!n || *n > DriverFileFaults::kMaxCount)
            return error("usage: files " + std::string(what) + " N (0…1000000)");
        if (what == "fail-reads") faults.failNextReads(static_cast<std::uint32_t>(*n));
        else faults.failNextWrites(static_cast<std::uint32_t>(*n));
        return "ok";
    }
    if (what == "fail-probability") {
        const auto p = parseNumber(argument);
        if (!p || *p < 0 || *p > 1) return error("usage: files fail-probability P (0…1)");
        faults.setFailProbability(*p);
        return "ok";
    }
    if (what == "seed") {
        const auto seed = parseUnsigned(argument);
        if (!seed) return error("usage: files seed N (0…18446744073709551615)");
        faults.seed(*seed);
        return "ok";
    }
    if (what == "vanish") {
        const auto on = onOff(argument);
        if (!on) return error("usage: files vanish on|off");
        faults.setVanished(*on);
        return "ok";
    }
    return error("usage: files [delay MS | fail-reads N | fail-writes N | fail-probability P | seed N | "
                 "vanish on|off | off]");
}

std::string handle(SMCKeyModel& model, std::string_view line) {
    if (line.size() > kMaxControlLine) return error("request too long");
    std::string_view rest;
    const std::string_view verb = verbOf(line, rest);
    std::string key;
    std::optional<std::string_view> argument;

    if (verb == "state") {
        if (!rest.empty() || line.size() != verb.size()) return error("usage: state");
        return "ok " + model.stateJSON().dump();
    }
    if (verb == "hang" || verb == "refuse-open") {
        const auto on = onOff(rest);
        if (!on) return error("usage: " + std::string(verb) + " on|off");
        if (verb == "hang") model.setHang(*on);
        else model.refuseOpen(*on ? std::optional<kern_return_t>(kIOReturnNotPrivileged) : std::nullopt);
        return "ok";
    }
    if (verb == "load") {
        const auto value = parseNumber(rest);
        if (!value || *value < 0 || *value > 1) return error("usage: load FRACTION (0…1)");
        model.setLoad(*value);
        return "ok";
    }
    if (verb == "sleep") {
        const auto value = parseNumber(rest);
        if (!value || !(*value > 0 && *value <= SMCKeyModel::kMaxSleepSeconds))
            return error("usage: sleep SECONDS (more than 0, at most 86400)");
        model.sleep(*value);
        return "ok";
    }
    if (verb == "read") {
        if (!takeKey(rest, key, argument) || argument) return error("usage: read KEY");
        if (!model.hasKey(key)) return error("no SMC key \"" + key + "\"");
        return "ok " + formatControlNumber(model.readKey(key));
    }
    if (verb == "write") {
        if (!takeKey(rest, key, argument) || !argument) return error("usage: write KEY VALUE");
        const auto value = parseNumber(*argument);
        if (!value) return error("not a finite number: \"" + std::string(*argument) + "\"");
        model.setKey(key, *value);
        return "ok";
    }
    if (verb == "fail") {
        if (!takeKey(rest, key, argument) || !argument) return error("usage: fail KEY RESULT|off");
        if (*argument == "off") {
            model.clearFault(key);
            return "ok";
        }
        const auto result = parseResult(*argument);
        if (!result) return error("result must be 0…255, decimal or 0x-hex: \"" + std::string(*argument) + "\"");
        model.failKey(key, *result);
        return "ok";
    }
    if (verb == "files") return handleFiles(model.fileFaults(), line, rest);
    return error("unknown request \"" + std::string(verb) + "\"");
}

}  // namespace

std::string formatControlNumber(double value) {
    if (std::isnan(value)) return "nan";
    if (std::isinf(value)) return value > 0 ? "inf" : "-inf";
    char buffer[64];
    const auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, value);
    if (ec != std::errc()) return "nan";
    return std::string(buffer, end);
}

std::string handleControlRequest(SMCKeyModel& model, std::string_view line) {
    try {
        std::string reply = handle(model, line);
        // Replies are one line: a message that echoes input never carries its control bytes.
        for (char& c : reply) {
            if (c == '\n' || c == '\r' || c == '\0') c = ' ';
        }
        return reply;
    } catch (const std::exception& e) {
        return error(e.what());
    }
}

}  // namespace quorvane::sim
