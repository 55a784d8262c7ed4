#include "run_report.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <ostream>

#include "display_text.hpp"
#include "json_output.hpp"
#include "shared/sensors/temperature_format.hpp"
#include "shared/smc/smc_data_codec.hpp"

namespace quorvane::ctl {

namespace {

const char* trendName(ThermalTrend::Kind kind) {
    switch (kind) {
        case ThermalTrend::Kind::rising: return "rising";
        case ThermalTrend::Kind::cooling: return "cooling";
        case ThermalTrend::Kind::steady: break;
    }
    return "steady";
}

std::string oneDecimal(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f", value);
    return text;
}

std::string dutyCell(const RunTick& tick, std::size_t i) {
    if (tick.monitoring || i >= tick.duty.size() || !tick.duty[i]) return "auto";
    return dutyText(*tick.duty[i]);
}

}  // namespace

std::string trendText(const ThermalTrend& trend) {
    std::string text = trendName(trend.kind);
    if (trend.etaMinutes) text += " (ceiling in " + oneDecimal(*trend.etaMinutes) + " min)";
    return text;
}

void RunReport::show(const RunTick& tick) {
    switch (form_) {
        case Form::table: table(tick); break;
        case Form::lines: line(tick); break;
        case Form::json: json(tick); break;
    }
    out_.flush();
}

std::vector<std::string> tableFrame(const RunTick& tick, const TerminalStyle& style) {
    std::vector<std::string> lines;
    const std::string alert = tick.alertFiring ? style.red("ALERT ≥ " + temperatureText(tick.alertThreshold))
                                               : style.dim("alert at " + temperatureText(tick.alertThreshold));
    lines.push_back(style.bold(tick.profile) + "  " + style.dim(oneDecimal(tick.t) + " s") + "  " +
                    (tick.monitoring ? style.green("fans left to Apple") : std::string("controlling")));
    // The temperature, its trend and the alert first: a narrow terminal cuts the source's story.
    lines.push_back("control " + style.bold(temperatureText(tick.temperature)) + "  trend " + trendText(tick.trend) +
                    "  " + alert + "  " +
                    style.dim(tick.sourceDetail.empty() ? tick.source : tick.source + " (" + tick.sourceDetail + ")"));
    lines.push_back(style.bold("FAN  DUTY   TARGET  ACTUAL  MODE     RANGE"));
    for (std::size_t i = 0; i < tick.fans.size(); ++i) {
        const auto& f = tick.fans[i];
        lines.push_back(padLeft(std::to_string(f.id), 3) + "  " + padLeft(dutyCell(tick, i), 4) + "  " +
                        padLeft(f.isManaged ? rpmText(f.targetRPM) : "auto", 7) + " " +
                        padLeft(f.currentRPMValid ? rpmText(f.currentRPM) : kNoReading, 7) + "  " +
                        (f.isManaged ? style.yellow("manual") : style.green("auto  ")) + "   " + rpmText(f.minRPM) +
                        "–" + rpmText(f.maxRPM));
    }
    if (tick.fans.empty()) lines.push_back(style.dim("  no fans"));

    // Sensors take what is left of the screen (the last line stays free for the cursor), two to
    // a line where the width allows; a line says how many did not fit.
    constexpr std::size_t cellWidth = 36;
    const std::size_t perLine = style.columns >= static_cast<int>(2 * cellWidth + 2) ? 2 : 1;
    const std::size_t height = static_cast<std::size_t>(std::max(style.rows - 1, 0));
    if (!tick.rows.empty() && lines.size() + 2 <= height) {
        lines.push_back("");
        std::size_t room = (height - lines.size()) * perLine;
        if (room < tick.rows.size()) room -= perLine;  // the "more" line
        const std::size_t shown = std::min(room, tick.rows.size());
        for (std::size_t i = 0; i < shown; i += perLine) {
            std::string line;
            for (std::size_t k = i; k < std::min(i + perLine, shown); ++k) {
                const auto& r = tick.rows[k];
                const std::string value = padLeft(temperatureText(r.value), 8);
                line += (k > i ? "  " : "") + padRight(cut(r.name, cellWidth - 10), cellWidth - 9) + " " + value;
            }
            lines.push_back(line);
        }
        if (shown < tick.rows.size()) {
            lines.push_back(style.dim("… " + std::to_string(tick.rows.size() - shown) +
                                      " more sensors (quorvanectl sensors)"));
        }
    }
    for (auto& line : lines) line = style.fit(line);
    return lines;
}

void RunReport::table(const RunTick& tick) {
    // The window may have been resized since the last frame.
    const auto now = TerminalStyle::detect();
    if (now.isTerminal) {
        style_.columns = now.columns;
        style_.rows = now.rows;
    }
    std::string frame;
    const auto lines = tableFrame(tick, style_);
    for (const auto& line : lines) frame += line + "\n";
    out_ << style_.redrawOver(linesShown_) << frame;
    linesShown_ = static_cast<int>(lines.size());
}

void RunReport::line(const RunTick& tick) {
    if (!legendShown_) {
        out_ << "# t: seconds since start; temp: control temperature; trend; alert: on when firing; "
                "fanN=DUTY/TARGET/ACTUAL/MODE: duty as a share of the fan's range (auto when not commanded), "
                "target and actual RPM (target auto when the firmware drives), mode manual or auto\n";
        legendShown_ = true;
    }
    out_ << "t=" << oneDecimal(tick.t) << "s temp=" << temperatureText(tick.temperature) << " trend=" << trendName(tick.trend.kind)
         << " alert=" << (tick.alertFiring ? "on" : "off");
    for (std::size_t i = 0; i < tick.fans.size(); ++i) {
        const auto& f = tick.fans[i];
        out_ << " fan" << f.id << "=" << dutyCell(tick, i) << "/" << (f.isManaged ? rpmText(f.targetRPM) : "auto") << "/"
             << (f.currentRPMValid ? rpmText(f.currentRPM) : kNoReading) << (f.isManaged ? "/manual" : "/auto");
    }
    out_ << "\n";
}

void RunReport::json(const RunTick& tick) {
    if (!legendShown_) {
        auto legend = jsonDocument();
        legend["legend"] = {
            {"t", "seconds since the loop started"},
            {"profile", "the profile followed, and \" + \" the custom mode on top"},
            {"source", "what the control temperature is"},
            {"temperature", "the control temperature in °C, null without a reading"},
            {"trend", "rising, steady or cooling"},
            {"etaMinutes", "minutes until the temperature reaches its ceiling, null when not rising"},
            {"alert", "the alert rule fires"},
            {"monitoring", "the fans are left to Apple's automatic control"},
            {"fans", "FanStatus records as read this tick; targetRPM is in force only while isManaged"},
            {"fans[].duty", "the commanded share 0…1 of the fan's range, null when not commanded"}};
        out_ << legend.dump() << "\n";
        legendShown_ = true;
    }
    auto j = jsonDocument();
    j["t"] = std::round(tick.t * 1000) / 1000;
    j["profile"] = tick.profile;
    j["source"] = tick.source;
    j["temperature"] = optionalNumber(tick.temperature);
    j["trend"] = trendName(tick.trend.kind);
    j["etaMinutes"] = optionalNumber(tick.trend.etaMinutes);
    j["alert"] = tick.alertFiring;
    j["monitoring"] = tick.monitoring;
    j["fans"] = nlohmann::ordered_json::array();
    for (std::size_t i = 0; i < tick.fans.size(); ++i) {
        auto fan = tick.fans[i].toJSON();
        fan["duty"] = optionalNumber(i < tick.duty.size() ? tick.duty[i] : std::nullopt);
        j["fans"].push_back(std::move(fan));
    }
    out_ << j.dump() << "\n";
}

}  // namespace quorvane::ctl
