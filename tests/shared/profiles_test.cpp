#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>
#include <sstream>
#include <stdexcept>
#include <string>

#include "shared/common/json_decoding.hpp"
#include "shared/profiles/alert_rule.hpp"
#include "shared/profiles/custom_mode.hpp"
#include "shared/profiles/fan_preset.hpp"
#include "shared/profiles/fan_profile.hpp"

namespace quorvane {
namespace {

using nlohmann::json;
using Kind = DecodingError::Kind;

// Encoded form read back the way a stored file would be.
json reparsed(const nlohmann::ordered_json& j) { return json_decoding::parseJSON(j.dump()); }

std::vector<std::string> keys(const nlohmann::ordered_json& j) {
    std::vector<std::string> k;
    for (auto it = j.begin(); it != j.end(); ++it) k.push_back(it.key());
    return k;
}

TEST(Uuid, WritesUpperCaseAndReadsEitherCase) {
    const auto u = Uuid::parse("e621e1f8-c36c-495a-93fc-0c247a3e6e5f");
    ASSERT_TRUE(u);
    EXPECT_EQ(u->uuidString(), "E621E1F8-C36C-495A-93FC-0C247A3E6E5F");
    for (const char* bad : {"", "E621E1F8C36C495A93FC0C247A3E6E5F", "E621E1F8-C36C-495A-93FC-0C247A3E6E5G",
                            "{E621E1F8-C36C-495A-93FC-0C247A3E6E5F}"})
        EXPECT_FALSE(Uuid::parse(bad)) << bad;
}

TEST(FanProfile, BuiltinsAreFixedAndRoundTripWithinTheRun) {
    const auto& b = FanProfile::builtins();
    ASSERT_EQ(b.size(), 4u);
    EXPECT_EQ(b[3].id().uuidString(), "00000000-0000-0000-0000-000000000004");
    for (const FanProfile& p : b) EXPECT_EQ(FanProfile::fromJSON(reparsed(p.toJSON())), p) << p.name;
    // Stored files and the application rely on these: ids, names, modes, targets and curves.
    std::ostringstream described;
    for (const FanProfile& p : b) {
        described << p.id().uuidString() << " " << p.name << " " << rawValue(p.mode) << " " << p.constantTargetRPM
                  << " " << p.targetSensorGroupID << ":";
        for (const CurvePoint& c : p.curvePoints) described << " " << c.temperature << ">" << c.rpmPercentage;
        described << "\n";
    }
    EXPECT_EQ(described.str(),
              "00000000-0000-0000-0000-000000000001 Apple Auto 0 0 max:\n"
              "00000000-0000-0000-0000-000000000002 Silent Stealth 2 0 max: 40>0 60>0.25 75>0.5 90>1\n"
              "00000000-0000-0000-0000-000000000003 Quorvane Standard 2 0 max: 35>0 55>0.35 70>0.65 85>1\n"
              "00000000-0000-0000-0000-000000000004 Max Thermal Blast 1 9223372036854775807 max:\n");
    const auto blast = FanProfile::maxThermalBlast().toJSON();
    EXPECT_EQ(keys(blast), (std::vector<std::string>{"id", "name", "mode", "constantTargetRPM",
                                                     "targetSensorGroupID", "curvePoints"}));
    EXPECT_NE(blast.dump().find("\"constantTargetRPM\":9223372036854775807"), std::string::npos);

    // The same built-in stored by an earlier run: equal id, different point ids.
    auto earlier = FanProfile::silentStealth().toJSON();
    for (auto& p : earlier["curvePoints"]) p["id"] = Uuid::random().uuidString();
    const FanProfile stored = FanProfile::fromJSON(reparsed(earlier));
    EXPECT_NE(stored, FanProfile::silentStealth());
    EXPECT_EQ(stored.id(), FanProfile::silentStealth().id());
}

// One decode per row: the error kind and path it must give (or success), and its full text if given.
struct Rejection {
    const char* name;
    std::function<void(const json&)> decode;
    std::string text;
    std::optional<Kind> kind;
    const char* path;
    std::string description = "";
};

void checkRejections(const std::vector<Rejection>& rows) {
    for (const Rejection& r : rows) {
        SCOPED_TRACE(r.name);
        const json j = json::parse(r.text);
        if (!r.kind) {
            EXPECT_NO_THROW(r.decode(j));
            continue;
        }
        try {
            r.decode(j);
            ADD_FAILURE() << "decoded";
        } catch (const DecodingError& e) {
            EXPECT_EQ(e.kind(), *r.kind) << e.description();
            EXPECT_EQ(e.codingPath(), r.path) << e.description();
            if (!r.description.empty()) {
                EXPECT_EQ(e.description(), r.description);
            }
        }
    }
}

TEST(ProfileDecoding, RejectsMissingWrongAndUnknownValues) {
    const auto profile = [](const json& j) { FanProfile::fromJSON(j); };
    const auto preset = [](const json& j) { fanPresetFromJSON(j); };
    const auto rule = [](const json& j) { AlertRule::fromJSON(j); };
    const std::string id = "\"id\":\"00000000-0000-0000-0000-00000000000a\"";
    const std::string tail = R"("name":"n","constantTargetRPM":-5,"targetSensorGroupID":"max")";
    const auto p = [&](std::string mid) { return "{" + id + "," + tail + "," + mid + "}"; };
    const std::string pts = R"("mode":2,"curvePoints":[{"id":"00000000-0000-0000-0000-00000000000b","temperature":40,)";
    checkRejections({
        {"valid, negative RPM and empty curve", profile, p(R"("mode":1,"curvePoints":[])"), std::nullopt, ""},
        {"mode 3", profile, p(R"("mode":3,"curvePoints":[])"), Kind::dataCorrupted, "mode",
         "dataCorrupted(\"mode\"): Cannot initialize ControlMode from invalid Int value 3"},
        {"mode as string", profile, p(R"("mode":"1","curvePoints":[])"), Kind::typeMismatch, "mode"},
        {"mode not integral", profile, p(R"("mode":1.5,"curvePoints":[])"), Kind::dataCorrupted, "mode"},
        {"no curvePoints", profile, p(R"("mode":1)"), Kind::keyNotFound, "curvePoints"},
        {"mode -1", profile, p(R"("mode":-1,"curvePoints":[])"), Kind::dataCorrupted, "mode"},
        {"point valid", profile, p(pts + R"("rpmPercentage":0.5,"x":1}])"), std::nullopt, ""},
        {"point null", profile, p(pts + R"("rpmPercentage":null}])"),
         Kind::typeMismatch, "curvePoints[0].rpmPercentage"},
        {"malformed id", profile, "{" + tail + R"(,"mode":0,"curvePoints":[],"id":"not-a-uuid"})",
         Kind::dataCorrupted, "id"},
        {"not an object", profile, "[]", Kind::typeMismatch, ""},
        {"preset capitalised", preset, R"("Quiet")", Kind::dataCorrupted, ""},
        {"rule", rule, R"({"enabled":true,"thresholdCelsius":-300,"autoBoost":false})", std::nullopt, ""},
        {"rule without autoBoost", rule, R"({"enabled":true,"thresholdCelsius":90})", Kind::keyNotFound,
         "autoBoost"},
        {"rule enabled as 1", rule, R"({"enabled":1,"thresholdCelsius":90,"autoBoost":true})",
         Kind::typeMismatch, "enabled"},
    });
    // Every other required key of a profile and of its points, missing in turn.
    const json full = json::parse(p(pts + R"("rpmPercentage":0.5}])"));
    for (std::string path : {"id", "name", "mode", "constantTargetRPM", "targetSensorGroupID", "curvePoints[0].id",
                             "curvePoints[0].temperature", "curvePoints[0].rpmPercentage"}) {
        json missing = full;
        const auto dot = path.rfind('.');
        (dot == std::string::npos ? missing : missing["curvePoints"][0]).erase(path.substr(dot + 1));
        checkRejections({{path.c_str(), profile, missing.dump(), Kind::keyNotFound, path.c_str()}});
    }
}

TEST(PresetAndAlertRule, RoundTrip) {
    std::string all;
    for (FanPreset p : fan_preset::allCases) all += std::string(rawValue(p)) + "=" + std::string(displayName(p)) + " ";
    EXPECT_EQ(all, "quiet=Quiet auto=Balanced max=Max ");
    EXPECT_EQ(fanPresetFromJSON(toJSON(FanPreset::max)), FanPreset::max);
    const AlertRule rule{true, 92.5, false};
    EXPECT_EQ(keys(rule.toJSON()), (std::vector<std::string>{"enabled", "thresholdCelsius", "autoBoost"}));
    EXPECT_EQ(AlertRule::fromJSON(reparsed(rule.toJSON())), rule);
    EXPECT_THROW((AlertRule{true, std::nan(""), false}.toJSON()), std::invalid_argument);
}

const std::string modeHead = R"({"id":"00000000-0000-0000-0000-00000000000c","name":"M","symbolName":"bolt.fill")";

TEST(CustomMode, DecodesDefaultsClampsAndPrefersSpeed) {
    struct Row {
        const char* extra;
        ModeSpeed speed;
        ModeSensor control;
        std::optional<ModeSensor> display;
        bool drives;
    } rows[] = {
        {R"("floorPercentage":0.4)", ModeSpeed::floor(0.4), ModeSensor::source(ControlSource::hottest), {}, false},
        {R"("floorPercentage":-0.2)", ModeSpeed::floor(0), ModeSensor::source(ControlSource::hottest), {}, false},
        {R"("speed":{"fixed":{"percentage":1.5}},"floorPercentage":0.1,"drivesMainReadout":true)",
         ModeSpeed::fixed(1), ModeSensor::source(ControlSource::hottest), {}, true},
        {R"("speed":{"fixed":{"percentage":0.5},"other":1},"controlSensor":{"source":{"_0":"cpuEfficiency"}},)"
         R"("displaySensor":{"sensor":{"id":"TC0P"}})",
         ModeSpeed::fixed(0.5), ModeSensor::source(ControlSource::cpuEfficiency), ModeSensor::sensor("TC0P"), false},
    };
    for (const Row& r : rows) {
        const CustomMode m = CustomMode::fromJSON(json::parse(modeHead + "," + r.extra + "}"));
        EXPECT_EQ(m.speed(), r.speed) << r.extra;
        EXPECT_EQ(m.controlSensor, r.control) << r.extra;
        EXPECT_EQ(m.displaySensor, r.display) << r.extra;
        EXPECT_EQ(m.drivesMainReadout, r.drives) << r.extra;
        const auto encoded = m.toJSON();
        EXPECT_EQ(encoded.contains("displaySensor"), r.display.has_value());
        EXPECT_FALSE(encoded.contains("floorPercentage"));
        EXPECT_EQ(CustomMode::fromJSON(reparsed(encoded)), m);
    }
    CustomMode m = CustomMode::gamingTemplate();
    m.setSpeed(ModeSpeed::fixed(2.0));
    EXPECT_EQ(m.speed(), ModeSpeed::fixed(1.0));
    m.setSpeed(ModeSpeed::floor(std::nan("")));
    EXPECT_EQ(m.speed(), ModeSpeed::floor(0));
    EXPECT_EQ(CustomMode(Uuid(), "x", "y", ModeSpeed::floor(-3), ModeSensor::sensor("a")).speed().percentage, 0);
    std::ostringstream templates;
    for (const CustomMode& t : CustomMode::templates())
        templates << t.name << " " << t.symbolName << " " << t.speed().displayName() << " " << t.speed().percentage
                  << " " << t.controlSensor.toJSON().dump() << " " << t.displaySensor.has_value() << t.drivesMainReadout
                  << "\n";
    EXPECT_EQ(templates.str(), "Gaming gamecontroller.fill Fixed 0.7 {\"source\":{\"_0\":\"gpuAverage\"}} 00\n"
                               "Recording mic.fill Minimum 0.25 {\"source\":{\"_0\":\"hottest\"}} 00\n"
                               "Rendering cube.fill Minimum 0.8 {\"source\":{\"_0\":\"cpuPerformance\"}} 00\n");
    std::string symbols;
    for (std::string_view name : CustomMode::curatedSymbolNames()) (symbols += name) += " ";
    EXPECT_EQ(symbols, "gamecontroller.fill mic.fill cube.fill flame.fill bolt.fill moon.fill film.fill chart.bar.fill ");
    EXPECT_EQ(keys(CustomMode::templates()[2].toJSON()),
              (std::vector<std::string>{"id", "name", "symbolName", "speed", "controlSensor", "drivesMainReadout"}));
}

TEST(CustomMode, RejectsWithTheKindAndPathOfTheFault) {
    const auto mode = [](const json& j) { CustomMode::fromJSON(j); };
    checkRejections({
        {"no speed at all", mode, modeHead + "}", Kind::keyNotFound, "floorPercentage"},
        {"two speed cases", mode, modeHead + R"(,"speed":{"floor":{"percentage":1},"fixed":{"percentage":1}}})",
         Kind::typeMismatch, "speed",
         "typeMismatch(\"speed\"): Invalid number of keys found, expected one."},
        {"no speed case", mode, modeHead + R"(,"speed":{"slow":{"percentage":1}}})", Kind::typeMismatch, "speed"},
        {"no percentage", mode, modeHead + R"(,"speed":{"floor":{}}})", Kind::keyNotFound, "speed.floor.percentage"},
        {"unknown source", mode, modeHead + R"(,"floorPercentage":0,"controlSensor":{"source":{"_0":"gpuMax"}}})",
         Kind::dataCorrupted, "controlSensor.source._0"},
        {"numeric sensor id", mode, modeHead + R"(,"floorPercentage":0,"displaySensor":{"sensor":{"id":7}}})",
         Kind::typeMismatch, "displaySensor.sensor.id"},
        {"two sensor cases", mode, modeHead + R"(,"floorPercentage":0,"displaySensor":{"source":{"_0":"hottest"},"sensor":{"id":"a"}}})",
         Kind::typeMismatch, "displaySensor"},
        {"no symbolName", mode, R"({"id":"00000000-0000-0000-0000-00000000000c","name":"M","floorPercentage":0})",
         Kind::keyNotFound, "symbolName"},
    });
}

TEST(JSONDecoding, MalformedTextAndIntegersOutOfRange) {
    for (const char* bad : {"{", "{\"a\":\"\xff\"}", "1e400", ""}) {
        try {
            json_decoding::parseJSON(bad);
            ADD_FAILURE() << bad;
        } catch (const DecodingError& e) {
            EXPECT_EQ(e.kind(), Kind::dataCorrupted) << bad;
        }
    }
    // A valid text of exactly 4 MiB is taken, one byte more is refused.
    const auto jsonString = [](std::size_t bytes) { return '"' + std::string(bytes - 2, 'a') + '"'; };
    EXPECT_EQ(json_decoding::parseJSON(jsonString(4 << 20)).get_ref<const std::string&>().size(), (4u << 20) - 2);
    EXPECT_THROW(json_decoding::parseJSON(jsonString((4 << 20) + 1)), DecodingError);
    EXPECT_EQ(json_decoding::int64(json::parse("-9223372036854775808"), ""), std::numeric_limits<std::int64_t>::min());
    EXPECT_EQ(json_decoding::int64(json::parse("12.0"), ""), 12);
    for (const char* bad : {"9223372036854775808", "-9223372036854775809", "-9223372036854775808.0",
                            "9223372036854775808.0", "9.3e18", "-9.3e18", "1.5"})
        EXPECT_THROW(json_decoding::int64(json::parse(bad), ""), DecodingError) << bad;
}

}  // namespace
}  // namespace quorvane
