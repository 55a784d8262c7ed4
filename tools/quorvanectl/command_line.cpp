#include "command_line.hpp"

#include <cmath>
#include <iostream>

#include "client_error.hpp"
#include "mode_file.hpp"
#include "shared/sensors/control_source.hpp"

namespace quorvane::ctl {

namespace {

std::optional<double> number(const std::string& text) {
    double value = 0;
    return CLI::detail::lexical_cast(text, value) ? std::optional<double>(value) : std::nullopt;
}

// Options of the top level that take a value, so the word after them is not a command.
bool takesValue(const std::string& word) { return word == "--identifier" || word == "--team"; }

std::string commandList(const CLI::App& level) {
    std::string names;
    for (const auto* sub : level.get_subcommands([](const CLI::App*) { return true; })) {
        names += (names.empty() ? "" : ", ") + sub->get_name();
    }
    return names;
}

const CLI::App* findCommand(const CLI::App& level, const std::string& word) {
    for (const auto* sub : level.get_subcommands([](const CLI::App*) { return true; })) {
        if (sub->check_name(word)) return sub;
    }
    return nullptr;
}

std::string controlSourceList() {
    std::string names;
    for (const auto source : control_source::allCases) names += (names.empty() ? "" : ", ") + std::string(rawValue(source));
    return names;
}

}  // namespace

CLI::Validator secondsValidator() {
    return CLI::Validator(
        [](std::string& text) -> std::string {
            const auto value = number(text);
            if (!value || !std::isfinite(*value)) return "SECONDS must be a number, not \"" + text + "\"";
            if (*value < 0) return "SECONDS must be 0 or more, not " + text;
            return {};
        },
        "");
}

CLI::Validator fractionValidator() {
    return CLI::Validator(
        [](std::string& text) -> std::string {
            const auto value = number(text);
            if (!value) return "FRACTION must be a number from 0 to 1, not \"" + text + "\"";
            const auto problem = fractionProblem(*value);
            return problem ? text + " " + *problem : std::string();
        },
        "");
}

std::optional<std::string> unknownCommand(const CLI::App& app, int argc, const char* const* argv) {
    const CLI::App* level = &app;
    std::string path;
    for (int i = 1; i < argc; ++i) {
        const std::string word = argv[i];
        if (word == "--") return std::nullopt;
        if (word.starts_with("-")) {
            if (level == &app && takesValue(word)) ++i;
            continue;
        }
        if (level->get_subcommands([](const CLI::App*) { return true; }).empty()) return std::nullopt;
        const CLI::App* next = findCommand(*level, word);
        if (!next) {
            return "unknown " + path + "command \"" + word + "\"; the " + path + "commands are " + commandList(*level) +
                   " (see quorvanectl --help)";
        }
        // `help` takes command words as its argument.
        if (next->get_name() == "help") return std::nullopt;
        level = next;
        path += word + " ";
    }
    return std::nullopt;
}

int helpCommand(const CLI::App& app, const std::vector<std::string>& words) {
    const CLI::App* level = &app;
    std::string path = "quorvanectl";
    for (const auto& word : words) {
        const CLI::App* next = findCommand(*level, word);
        if (!next) {
            throw ClientError("no command \"" + word + "\" in " + path + "; its commands are " + commandList(*level),
                              ExitStatus::usage);
        }
        level = next;
        path += " " + word;
    }
    // The program's own page: App::help would hand over to the command parsed, `help` itself.
    std::cout << (level == &app ? app.get_formatter()->make_help(&app, app.get_name(), CLI::AppFormatMode::Normal)
                                : level->help(path.substr(0, path.rfind(' '))))
              << std::flush;
    return ExitStatus::ok;
}

void addModeOptions(CLI::App* command, ModeOptions& options) {
    command->add_option("--from", options.from, "Start from a template: Gaming, Recording or Rendering")
        ->type_name("TEMPLATE");
    auto* fixed = command->add_option("--fixed", options.fixed, "Run the fans at this fraction of their range")
                      ->type_name("FRACTION")
                      ->check(fractionValidator());
    auto* floor = command->add_option("--floor", options.floor, "Never below this fraction of their range (default 0)")
                      ->type_name("FRACTION")
                      ->check(fractionValidator());
    fixed->excludes(floor);
    auto* source = command
                       ->add_option("--source", options.source,
                                    "Follow an aggregate temperature (default hottest): " + controlSourceList())
                       ->type_name("SOURCE")
                       ->check(CLI::Validator(
                           [](std::string& text) -> std::string {
                               if (controlSourceFromRawValue(text)) return {};
                               return "no control source \"" + text + "\"; the sources are " + controlSourceList();
                           },
                           ""));
    auto* sensor = command->add_option("--sensor", options.sensor,
                                       "Follow one sensor by id, checked against this Mac's (see `sensors --all`)")
                       ->type_name("ID");
    source->excludes(sensor);
    command->add_option("--symbol", options.symbol, "Name of the mode's system symbol image (default flame.fill)")
        ->type_name("NAME");
    command->add_flag("--main-readout", options.drivesMainReadout, "The mode drives the main temperature readout");
    command->add_option("-o,--output", options.output, "Write the file here (default: standard output)")
        ->type_name("FILE");
    command->add_flag("--force", options.force, "Replace FILE if it exists");
}

}  // namespace quorvane::ctl
