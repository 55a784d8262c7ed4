// The parts of quorvanectl's command line that CLI11 does not say plainly on its own: numbers
// checked with messages in plain numbers, an unknown command named as such, `help COMMAND`, and
// the options of `mode new`. Main thread only.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "commands.hpp"

namespace quorvane::ctl {

// A number of seconds, 0 or more and finite.
CLI::Validator secondsValidator();
// A fraction 0…1 of the fan's range ("70 is outside 0…1 …").
CLI::Validator fractionValidator();

// The first word that is not a command where one is expected ("unknown command \"foo\"; the
// commands are …"), before CLI11 reports it as a missing subcommand; absent when all is well.
std::optional<std::string> unknownCommand(const CLI::App& app, int argc, const char* const* argv);

// Prints the help of the app or of the command the words name.
int helpCommand(const CLI::App& app, const std::vector<std::string>& words);

void addModeOptions(CLI::App* command, ModeOptions& options);

}  // namespace quorvane::ctl
