// The control service's configuration against hostile shapes: nesting beyond any configuration's
// need is refused with its position, long keys are cut in the message, a repeated key is an
// error, and an error deep in a large value is placed at its nearest enclosing value — every
// answer a usage error, never a crash or an exhausted memory.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "client_error.hpp"
#include "control_config.hpp"

namespace quorvane::ctl {
namespace {

std::string repeated(const std::string& part, std::size_t n) {
    std::string text;
    text.reserve(part.size() * n);
    for (std::size_t i = 0; i < n; ++i) text += part;
    return text;
}

// The error text of parsing `text`, or "" when it was accepted.
std::string errorOf(const std::string& text) {
    try {
        ControlConfig::parse(text, "c.json");
    } catch (const ClientError& e) {
        EXPECT_EQ(e.exitStatus(), ExitStatus::usage);
        return e.what();
    }
    return "";
}

TEST(ControlConfigShapes, DeepLongAndWideValuesGetOneClearAnswer) {
    struct Row {
        std::string name;
        std::string text;
        std::string error;  // the whole text of the error
    };
    const std::string standard = R"({"profile": "Quorvane Standard", )";
    const std::string longKey = repeated("k", 100000);
    const std::string unknownKey = "unknown key; the keys are \"profile\", \"interval\", \"mode\", \"alert\", \"boostApplications\"";
    std::string manyKeys = standard;
    for (int i = 0; i < 25; ++i) manyKeys += "\"k" + std::to_string(i) + "\": 0, ";
    const std::string own = R"({"profile": {"id": "6F1C2C3E-8D4B-4C59-9E3A-0A1B2C3D4E5F", "name": "Mine", "mode": 2, )"
                            R"("constantTargetRPM": 0, "targetSensorGroupID": "TC0P", "curvePoints": [)";
    const std::string point = R"({"id": "7F1C2C3E-8D4B-4C59-9E3A-0A1B2C3D4E5F", "temperature": 50, "rpmPercentage": )";
    const std::vector<Row> rows = {
        {"10,000 levels under an unknown key", standard + "\"x\": " + repeated("[", 10000) + repeated("]", 10000) + "}",
         "c.json:1:70: nested deeper than 32 levels"},
        {"brackets inside strings do not count", standard + "\"x\": \"" + repeated("[", 100) + "\"}",
         "c.json:1:39: x: " + unknownKey},
        {"32 levels are fine", standard + "\"x\": " + repeated("[", 31) + repeated("]", 31) + "}",
         "c.json:1:39: x: " + unknownKey},
        {"a 100 KB key is cut", standard + "\"" + longKey + "\": 1}",
         "c.json:1:1: " + repeated("k", 64) + "… (100000 bytes): " + unknownKey},
        {"an error deep in a wide list", standard + "\"boostApplications\": [" + repeated("\"a\", ", 50000) + "7]}",
         "c.json:1:" + std::to_string(standard.size() + 22 + 5 * 50000 + 1) +
             ": boostApplications[50000]: expected a string, found number"},
        {"a key given twice", R"({"profile": "Silent Stealth", "profile": "Quorvane Standard"})",
         "c.json:1:13: profile: appears more than once"},
        {"a 1 MiB value under an unknown key", standard + "\"x\": [" + repeated("[[[[[[[[[[[[[[[[[[[[0]]]]]]]]]]]]]]]]]]]],", 24000) + "0]}",
         "c.json:1:39: x: " + unknownKey},
        {"25 mistakes: the first 20 and a count", manyKeys + "\"interval\": 2}",
         [&] {
             std::string lines;
             for (int i = 0; i < 20; ++i) {
                 lines += "c.json:1:" + std::to_string(standard.size() + 7 + (i < 10 ? 9 * i : 91 + 10 * (i - 10))) +
                          ": k" + std::to_string(i) + ": " + unknownKey + "\n";
             }
             return lines + "c.json: and 5 more problems";
         }()},
        {"an interval too short", standard + R"("interval": 0.1})", "c.json:1:46: interval: 0.1 is outside 0.5…60 seconds"},
        {"an interval too long", standard + R"("interval": 61})", "c.json:1:46: interval: 61 is outside 0.5…60 seconds"},
        {"a curve point in percent", own + point + "70}, " + point + "0.9}]}}",
         "c.json:1:241: profile.curvePoints[0].rpmPercentage: 70 is outside 0…1: a speed is a fraction of the fan's "
         "range (0.7 for 70.0 %)"},
        {"a curve of one point", own + point + "0.5}]}}", "c.json:1:157: profile.curvePoints: a curve needs at least two points"},
        {"a mode nested past the recorded depth",
         standard + R"("mode": {"id": "6F1C2C3E-8D4B-4C59-9E3A-0A1B2C3D4E5F", "name": "n", "symbolName": "s", )"
                    R"("speed": {"fixed": {"percentage": 0.5}}, "controlSensor": {"sensor": {"id": [[[[[[1]]]]]]}}}})",
         ""},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const std::string error = errorOf(row.text);
        if (row.error.empty()) {
            EXPECT_NE(error, "");
            EXPECT_LT(error.size(), 200u) << error;
        } else {
            EXPECT_EQ(error, row.error);
        }
    }
}

TEST(ControlConfigShapes, AProfileOfOnesOwnAndTheIntervalAreTaken) {
    const auto config = ControlConfig::parse(
        R"({"interval": 2.5, "profile": {"id": "6F1C2C3E-8D4B-4C59-9E3A-0A1B2C3D4E5F", "name": "Mine", "mode": 2,
            "constantTargetRPM": 0, "targetSensorGroupID": "TC0P", "curvePoints": [
            {"id": "7F1C2C3E-8D4B-4C59-9E3A-0A1B2C3D4E5F", "temperature": 40, "rpmPercentage": 0.2},
            {"id": "8F1C2C3E-8D4B-4C59-9E3A-0A1B2C3D4E5F", "temperature": 80, "rpmPercentage": 1}]}})",
        "c.json");
    EXPECT_EQ(config.interval, 2.5);
    EXPECT_EQ(config.profile.name, "Mine");
    EXPECT_EQ(config.profile.targetSensorGroupID, "TC0P");
    ASSERT_EQ(config.profile.curvePoints.size(), 2u);
    EXPECT_EQ(config.profile.curvePoints[1].temperature, 80);
    EXPECT_EQ(ControlConfig::parse(R"({"profile": "Silent Stealth"})", "c.json").interval, ControlConfig::defaultInterval);
}

}  // namespace
}  // namespace quorvane::ctl
