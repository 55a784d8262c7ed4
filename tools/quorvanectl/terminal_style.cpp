#include "terminal_style.hpp"

#include <cstdlib>

#include <unistd.h>

namespace quorvane::ctl {

TerminalStyle TerminalStyle::detect(std::FILE* stream) {
    TerminalStyle style;
    style.isTerminal = ::isatty(::fileno(stream)) == 1;
    const char* noColour = std::getenv("NO_COLOR");
    style.colour = style.isTerminal && (noColour == nullptr || *noColour == '\0');
    return style;
}

std::string TerminalStyle::wrap(const char* code, const std::string& text) const {
    if (!colour) return text;
    return std::string("\033[") + code + "m" + text + "\033[0m";
}

std::string TerminalStyle::redrawOver(int lines) const {
    if (!isTerminal || lines <= 0) return {};
    return "\033[" + std::to_string(lines) + "F\033[J";
}

}  // namespace quorvane::ctl
