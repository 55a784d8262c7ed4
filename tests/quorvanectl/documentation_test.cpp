// The manual page, the bash and zsh completions and the README against the commands and options
// the built quorvanectl itself lists in its help: a command or option added to the program and
// left out of any of them fails here.
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace {

namespace fs = std::filesystem;

std::string run(const std::string& arguments) {
    const fs::path binary = fs::read_symlink("/proc/self/exe").parent_path() / "quorvanectl";
    std::string out;
    if (FILE* pipe = ::popen((binary.string() + " " + arguments + " 2>&1").c_str(), "r")) {
        char buffer[4096];
        for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) out.append(buffer, n);
        ::pclose(pipe);
    }
    return out;
}

std::string source(const std::string& path) {
    std::ifstream in(std::string(QUORVANE_SOURCE_DIR) + "/" + path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// Command paths ("", "smc", "smc write") with the options each takes, from `help PATH`.
void collect(const std::string& path, std::map<std::string, std::vector<std::string>>& options) {
    // `help` alone shows the help command's own page; --help is the program's.
    std::istringstream help(run(path.empty() ? "--help" : "help " + path));
    std::string line, section;
    std::vector<std::string> subcommands;
    while (std::getline(help, line)) {
        if (!line.empty() && line[0] != ' ') section = line;
        if (line.rfind("  ", 0) != 0 || line[2] == ' ') continue;
        std::istringstream words(line);
        std::string first;
        if (!(words >> first)) continue;
        if (section == "Subcommands:") subcommands.push_back(first);
        for (std::stringstream names(first); section == "Options:" && std::getline(names, first, ',');)
            if (first != "-h" && first != "--help") options[path].push_back(first);
    }
    options.try_emplace(path);
    for (const auto& sub : subcommands) collect(path.empty() ? sub : path + " " + sub, options);
}

// token stands alone in text: no letter, digit or hyphen just before or after it.
bool has(const std::string& text, const std::string& token) {
    const auto word = [](char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '-'; };
    for (auto at = text.find(token); at != std::string::npos; at = text.find(token, at + 1)) {
        if ((at == 0 || !word(text[at - 1])) && (at + token.size() >= text.size() || !word(text[at + token.size()])))
            return true;
    }
    return false;
}

// The manual page as text: font changes gone, "\-" a hyphen.
std::string plain(std::string roff) {
    std::string out;
    for (std::size_t i = 0; i < roff.size(); ++i) {
        if (roff.compare(i, 2, "\\f") == 0) i += 2;  // \fB, \fI, \fR, \fP
        else if (roff.compare(i, 2, "\\-") == 0) out += '-', ++i;
        else if (roff.compare(i, 2, "\\%") == 0) ++i;
        else out += roff[i];
    }
    return out;
}

// The parts of a document that describe each top-level command, by a rule per document.
using Entries = std::vector<std::string>;

// quorvanectl(1): each item of COMMANDS (a term and its text up to the next item, sub-lists kept).
Entries manEntries(const std::string& page) {
    Entries entries;
    std::istringstream lines(page.substr(page.find(".SH COMMANDS"), page.find(".SH OPTIONS") - page.find(".SH COMMANDS")));
    int depth = 0;
    for (std::string line; std::getline(lines, line);) {
        depth += line.rfind(".RS", 0) == 0 ? 1 : line.rfind(".RE", 0) == 0 ? -1 : 0;
        if (line == ".TP" && depth == 0) entries.emplace_back();
        else if (!entries.empty()) entries.back() += line + "\n";
    }
    return entries;
}

// A completion script: each branch of its case statements whose label is command words
// ("fans | profiles | status)"), up to the next.
Entries completionEntries(const std::string& script) {
    Entries entries;
    std::istringstream lines(script);
    for (std::string line; std::getline(lines, line);) {
        const auto label = line.find_first_not_of(' ');
        const auto close = line.find(')');
        if (label != std::string::npos && close != std::string::npos && std::isalpha(static_cast<unsigned char>(line[label])) &&
            line.find_first_not_of("abcdefghijklmnopqrstuvwxyz-| ", label) == close)
            entries.emplace_back();
        if (!entries.empty()) entries.back() += line + "\n";
    }
    return entries;
}

// README: each `    quorvanectl …` line of the command list with its continuation lines.
Entries readmeEntries(const std::string& readme) {
    Entries entries;
    std::istringstream lines(readme);
    bool open = false;
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind("    quorvanectl ", 0) == 0) entries.push_back(line.substr(4) + "\n");
        else if (open && line.rfind("     ", 0) == 0) entries.back() += line + "\n";
        else open = false;
        open = open || line.rfind("    quorvanectl ", 0) == 0;
    }
    return entries;
}

TEST(Documentation, NamesEveryCommandAndOptionTheProgramHas) {
    std::map<std::string, std::vector<std::string>> program;
    collect("", program);
    ASSERT_TRUE(program.count("doctor") && program.count("mode new")) << run("--help");

    const std::string man = plain(source("packaging/man/quorvanectl.1")), readme = source("README.md");
    const std::string bash = source("packaging/completion/quorvanectl.bash"), zsh = source("packaging/completion/_quorvanectl");
    struct Document {
        const char* name;
        Entries entries;
        std::string global;  // where the options before the command are
        bool byFirstWord;    // an entry is found by the command's first word alone (a case label)
    };
    const Document documents[] = {
        {"quorvanectl.1", manEntries(man), man.substr(man.find(".SH OPTIONS")), false},
        {"quorvanectl.bash", completionEntries(bash), bash.substr(0, bash.find("case")), true},
        {"_quorvanectl", completionEntries(zsh), zsh.substr(0, zsh.find("case $state")), true},
        {"README.md", readmeEntries(readme), readme, false},
    };
    for (const auto& document : documents) {
        for (const auto& [path, options] : program) {
            if (path.empty()) {
                for (const auto& option : options) EXPECT_TRUE(has(document.global, option)) << document.name << ": " << option;
                continue;
            }
            const std::string first = path.substr(0, path.find(' '));
            const std::string subcommand = path.size() > first.size() ? path.substr(first.size() + 1) : "";
            // Every command among the script's list of commands, then its entry or entries.
            const bool listed = document.byFirstWord && document.name == std::string("_quorvanectl")
                                    ? document.global.find("'" + first + ":") != std::string::npos
                                    : has(document.global, first);
            EXPECT_TRUE(listed || !document.byFirstWord) << document.name << ": " << first << " not among the commands";
            std::string entry;
            for (const auto& e : document.entries) {
                const std::string head = e.substr(0, e.find('\n'));
                if (document.byFirstWord ? has(head.substr(0, head.find(')')), first) && (subcommand.empty() || has(e, subcommand))
                                         : has(head, path))
                    entry += e;
            }
            const bool needed = !document.byFirstWord || !options.empty() || !subcommand.empty();
            EXPECT_TRUE(!needed || !entry.empty()) << document.name << ": no entry for \"" << path << "\"";
            for (const auto& option : options) EXPECT_TRUE(has(entry, option)) << document.name << ": " << path << " " << option;
        }
    }
}

}  // namespace
