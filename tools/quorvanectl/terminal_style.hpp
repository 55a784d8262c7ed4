// How quorvanectl's output looks: colour only on a terminal and only when NO_COLOR is unset or
// empty; tables redrawn in place only on a terminal. Value type, not shared.
#pragma once

#include <cstdio>
#include <string>

namespace quorvane::ctl {

struct TerminalStyle {
    bool isTerminal = false;
    bool colour = false;
    // The terminal's size; 80×24 when the stream is not a terminal or does not say.
    int columns = 80;
    int rows = 24;

    // For the given stream (stdout unless told otherwise), from isatty, its window size and
    // NO_COLOR.
    static TerminalStyle detect(std::FILE* stream = stdout);

    std::string bold(const std::string& text) const { return wrap("1", text); }
    std::string dim(const std::string& text) const { return wrap("2", text); }
    std::string red(const std::string& text) const { return wrap("31", text); }
    std::string green(const std::string& text) const { return wrap("32", text); }
    std::string yellow(const std::string& text) const { return wrap("33", text); }

    // Moves the cursor up over `lines` lines printed before and clears from there, so the next
    // frame replaces them; nothing when not a terminal.
    std::string redrawOver(int lines) const;

    // The line cut to `columns` visible characters (escape sequences take none), so that it never
    // wraps and a redraw knows how many lines it covers.
    std::string fit(const std::string& line) const;

private:
    std::string wrap(const char* code, const std::string& text) const;
};

}  // namespace quorvane::ctl
