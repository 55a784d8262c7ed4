// quorvanectl's pure pieces: the live table's fit to a terminal, mode files as a person writes
// them, and the command-line checks whose messages CLI11 would otherwise word badly.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "client_error.hpp"
#include "command_line.hpp"
#include "mode_file.hpp"
#include "run_report.hpp"
#include "service_log.hpp"

namespace quorvane::ctl {
namespace {

// Visible characters of a line: escape sequences take no column.
std::size_t visibleWidth(const std::string& line) {
    std::size_t n = 0;
    for (std::size_t i = 0; i < line.size(); ++i) {
        if (line[i] == '\033') {
            while (i < line.size() && line[i] != 'm') ++i;
            continue;
        }
        n += (static_cast<unsigned char>(line[i]) & 0xC0) != 0x80;
    }
    return n;
}

RunTick tickWith(std::size_t fans, std::size_t sensors) {
    RunTick tick;
    tick.profile = "Quorvane Standard + a mode with a name far longer than any terminal is wide, to be cut";
    tick.source = "sensor group max";
    tick.sourceDetail = "hottest of 78 CPU/GPU die keys and 8 HID die services";
    tick.temperature = 61.5;
    for (std::size_t i = 0; i < fans; ++i) {
        tick.fans.push_back({static_cast<std::int64_t>(i), 2400, 1200, 6000, 2500, true, true});
        tick.duty.push_back(0.3);
    }
    for (std::size_t i = 0; i < sensors; ++i) {
        tick.rows.push_back({"T" + std::to_string(i), "Performance Core " + std::to_string(i) + " die", "cpu", 50.0 + i});
    }
    return tick;
}

TEST(LiveTable, FitsTheTerminalKeepingTheControlLineAndEveryFan) {
    struct Row {
        int columns, rows;
        std::size_t fans, sensors;
        std::size_t sensorsShown;  // sensor readings on screen
        bool moreLine;
    };
    const std::vector<Row> table = {
        {80, 24, 2, 40, 32, true},    // two a line: 23 rows - 5 on top - 1 blank - 1 "more" = 16 lines
        {80, 24, 2, 10, 10, false},
        {80, 24, 10, 40, 16, true},   // ten fans leave 8 lines for sensors
        {60, 24, 2, 40, 16, true},    // too narrow for two per line
        {80, 8, 2, 40, 0, true},      // one line left: only the "more" line
        {80, 7, 2, 40, 0, false},     // no room for sensors at all
        {40, 5, 6, 40, 0, false},     // fans first, even past the bottom
        {200, 60, 0, 3, 3, false},
    };
    for (const bool colour : {false, true}) {
        for (const auto& row : table) {
            SCOPED_TRACE(std::to_string(row.columns) + "x" + std::to_string(row.rows) + " fans " +
                         std::to_string(row.fans) + (colour ? " colour" : ""));
            TerminalStyle style{true, colour, row.columns, row.rows};
            const auto lines = tableFrame(tickWith(row.fans, row.sensors), style);
            const std::size_t topLines = 3 + std::max<std::size_t>(row.fans, 1);
            ASSERT_GE(lines.size(), topLines);
            if (topLines < static_cast<std::size_t>(row.rows)) {
                EXPECT_LE(lines.size(), static_cast<std::size_t>(row.rows - 1));
            }
            // The temperature first; the long story of its source last, cut where the line ends.
            EXPECT_EQ(lines[1].rfind("control ", 0), 0u) << lines[1];
            EXPECT_LT(lines[1].find("61.5°C"), 20u) << lines[1];
            EXPECT_GT(lines[1].find("sensor group max"), lines[1].find("trend")) << lines[1];
            for (std::size_t f = 0; f < row.fans; ++f) EXPECT_EQ(lines[3 + f].substr(0, 3), "  " + std::to_string(f));
            std::size_t shown = 0, more = 0;
            for (const auto& line : lines) {
                EXPECT_LE(visibleWidth(line), static_cast<std::size_t>(row.columns)) << line;
                for (std::size_t s = 0; s < row.sensors; ++s) {
                    shown += line.find("Core " + std::to_string(s) + " die") != std::string::npos;
                }
                more += line.find("more sensors") != std::string::npos;
            }
            EXPECT_EQ(shown, row.sensorsShown);
            EXPECT_EQ(more, row.moreLine ? 1u : 0u);
        }
    }
}

TEST(ServiceLog, EachLineCarriesItsPriorityForTheJournalOrTheNameElsewhere) {
    struct Row {
        LogPriority priority;
        std::string text;
        bool journal;
        std::string lines;
    };
    const std::vector<Row> rows = {
        {LogPriority::error, "c.json:1:2: x\nc.json:3:4: y", true, "<3>c.json:1:2: x\n<3>c.json:3:4: y\n"},
        {LogPriority::warning, "kept following", true, "<4>kept following\n"},
        {LogPriority::info, "following", true, "<6>following\n"},
        {LogPriority::error, "a\nb", false, "quorvane-control: a\nquorvane-control: b\n"},
    };
    for (const auto& row : rows) EXPECT_EQ(serviceLogLines(row.priority, row.text, row.journal), row.lines) << row.text;
}

TEST(ModeFile, PersonWrittenFilesGetOneClearAnswer) {
    const std::vector<SMCSensor> sensors = {{"TC0P", "TC0P", "CPU Proximity", SensorCategory::cpu, 50, SensorClass::temperature, "°C"},
                                            {"TG0P", "TG0P", "GPU Proximity", SensorCategory::gpu, 45, SensorClass::temperature, "°C"}};
    const std::string head = R"({"id":"6F1C2C3E-8D4B-4C59-9E3A-0A1B2C3D4E5F","name":"M","symbolName":"bolt.fill",)";
    struct Row {
        std::string text;
        std::string error;  // substring of the message; "" = accepted
    };
    const std::vector<Row> rows = {
        {"{\n  \"name\": \"x\",\n  oops\n}", "is not JSON: parse error at line 3, column 3"},
        {"[1]", "must hold a JSON object, not array"},
        {"{}", R"(lacks "id", "name", "symbolName", "speed")"},
        {R"({"name":"Quiet","floorPercentage":0.2})", R"(lacks "id", "symbolName" ()"},
        {head + R"("speed":{"fixed":{"percentage":70}}})", "has speed.fixed.percentage 70.0, which is outside 0…1: a speed is a fraction of the fan's range (0.7 for 70.0 %)"},
        {head + R"("floorPercentage":-0.2})", "has floorPercentage -0.2, which is outside 0…1"},
        {head + R"("speed":{"floor":{"percentage":1e300}}})", "which is outside 0…1: a speed is a fraction of the fan's range\""},
        {head + R"("speed":{"fixed":{"percentage":"high"}}})", "is not a custom mode: typeMismatch(\"speed.fixed.percentage\")"},
        {head + R"("floorPercentage":0.4,"controlSensor":{"sensor":{"id":"TZ9Z"}}})", "control sensor \"TZ9Z\" is not a sensor of this Mac; its sensors are TC0P TG0P"},
        {head + R"("floorPercentage":0,"displaySensor":{"sensor":{"id":"nope"}}})", "display sensor \"nope\""},
        {head + R"("floorPercentage":1,"controlSensor":{"sensor":{"id":"TG0P"}}})", ""},
        {head + R"("speed":{"fixed":{"percentage":0.7}}})", ""},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.text);
        std::string error;
        try {
            checkModeSensors(customModeFromText(row.text, "m.json"), sensors);
        } catch (const ClientError& e) {
            EXPECT_EQ(e.exitStatus(), ExitStatus::usage);
            error = e.what();
        }
        if (row.error.empty()) {
            EXPECT_EQ(error, "");
        } else {
            EXPECT_NE(("\"" + error + "\"").find(row.error), std::string::npos) << error;
        }
    }
}

TEST(CommandLine, NumbersAndCommandWordsAreCheckedInPlainWords) {
    struct Row {
        CLI::Validator validator;
        std::string input;
        std::string error;  // "" = accepted
    };
    const std::vector<Row> values = {
        {secondsValidator(), "2.5", ""},
        {secondsValidator(), "0", ""},
        {secondsValidator(), "-1", "SECONDS must be 0 or more, not -1"},
        {secondsValidator(), "1e999", "SECONDS must be a number, not \"1e999\""},
        {secondsValidator(), "nan", "SECONDS must be a number, not \"nan\""},
        {secondsValidator(), "soon", "SECONDS must be a number, not \"soon\""},
        {fractionValidator(), "1", ""},
        {fractionValidator(), "70", "70 is outside 0…1: a speed is a fraction of the fan's range (0.7 for 70.0 %)"},
        {fractionValidator(), "-0.1", "-0.1 is outside 0…1: a speed is a fraction of the fan's range"},
    };
    for (auto row : values) {
        SCOPED_TRACE(row.input);
        EXPECT_EQ(row.validator(row.input), row.error);
    }

    CLI::App app;
    app.add_option("--team");
    app.add_subcommand("help");
    app.add_subcommand("fans");
    auto* smc = app.add_subcommand("smc");
    smc->add_subcommand("read")->add_option("KEY");
    smc->add_subcommand("keys");
    struct Words {
        std::vector<const char*> argv;
        std::string error;  // "" = none
    };
    const std::vector<Words> words = {
        {{"q", "fans", "--json"}, ""},
        {{"q", "--team", "smc", "fans"}, ""},
        {{"q", "help", "anything"}, ""},
        {{"q", "smc", "read", "ACID"}, ""},
        {{"q", "--version"}, ""},
        {{"q", "status"}, "unknown command \"status\"; the commands are help, fans, smc"},
        {{"q", "smc", "dump"}, "unknown smc command \"dump\"; the smc commands are read, keys"},
    };
    for (const auto& row : words) {
        SCOPED_TRACE(row.argv.back());
        EXPECT_EQ(unknownCommand(app, static_cast<int>(row.argv.size()), row.argv.data()).value_or(""),
                  row.error.empty() ? "" : row.error + " (see quorvanectl --help)");
    }
}

}  // namespace
}  // namespace quorvane::ctl
