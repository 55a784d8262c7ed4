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
