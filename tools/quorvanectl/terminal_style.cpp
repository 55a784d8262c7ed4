#include "terminal_style.hpp"

#include <algorithm>
#include <cstdlib>

#include <sys/ioctl.h>
#include <unistd.h>

namespace quorvane::ctl {

TerminalStyle TerminalStyle::detect(std::FILE* stream) {
    TerminalStyle style;
    style.isTerminal = ::isatty(::fileno(stream)) == 1;
    winsize size{};
    if (style.isTerminal && ::ioctl(::fileno(stream), TIOCGWINSZ, &size) == 0 && size.ws_col > 0 && size.ws_row > 0) {
        style.columns = size.ws_col;
        style.rows = size.ws_row;
    }
    const char* noColour = std::getenv("NO_COLOR");
    style.colour = style.isTerminal && (noColour == nullptr || *noColour == '\0');
    return style;
}

std::string TerminalStyle::wrap(const char* code, const std::string& text) const {
    if (!colour) return text;
    return std::string("\033[") + code + "m" + text + "\033[0m";
}

std::string TerminalStyle::fit(const std::string& line) const {
    std::string out;
    int shown = 0;
    bool escaped = false;
    for (std::size_t i = 0; i < line.size();) {
        if (line[i] == '\033') {
            // CSI: ESC [ parameters final-byte; copied whole, it takes no column.
            std::size_t end = i + 1;
            if (end < line.size() && line[end] == '[') {
                ++end;
                while (end < line.size() && !(line[end] >= 0x40 && line[end] <= 0x7e)) ++end;
            }
            end = std::min(end + 1, line.size());
            out.append(line, i, end - i);
            escaped = true;
            i = end;
            continue;
        }
        std::size_t next = i + 1;
        while (next < line.size() && (static_cast<unsigned char>(line[next]) & 0xC0) == 0x80) ++next;
        if (shown == columns) break;
        out.append(line, i, next - i);
        ++shown;
        i = next;
    }
    if (escaped && out.size() < line.size()) out += "\033[0m";
    return out;
}

std::string TerminalStyle::redrawOver(int lines) const {
    if (!isTerminal || lines <= 0) return {};
    return "\033[" + std::to_string(lines) + "F\033[J";
}

}  // namespace quorvane::ctl
