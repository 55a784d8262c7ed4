#include "run_report.hpp"

#include <cmath>
#include <cstdio>
#include <ostream>
#include <sstream>

#include <nlohmann/json.hpp>

#include "display_text.hpp"
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

nlohmann::ordered_json optionalNumber(std::optional<double> value) {
    return value ? nlohmann::ordered_json(*value) : nlohmann::ordered_json(nullptr);
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

void RunReport::table(const RunTick& tick) {
    std::ostringstream frame;
    int lines = 0;
    auto row = [&](const std::string& text) {
        frame << text << "\n";
        ++lines;
    };
    const std::string alert = tick.alertFiring ? style_.red("ALERT ≥ " + temperatureText(tick.alertThreshold))
                                               : style_.dim("alert at " + temperatureText(tick.alertThreshold));
    row(style_.bold(tick.profile) + "  " + style_.dim(oneDecimal(tick.t) + " s") + "  " +
        (tick.monitoring ? style_.green("fans left to Apple") : std::string("controlling")));
    row("control " + tick.source + " " + style_.bold(temperatureText(tick.temperature)) + "  trend " +
        trendText(tick.trend) + "  " + alert);
    row("");
    row(style_.bold("FAN  DUTY   TARGET  ACTUAL  MODE     RANGE"));
    for (std::size_t i = 0; i < tick.fans.size(); ++i) {
        const auto& f = tick.fans[i];
        row(padLeft(std::to_string(f.id), 3) + "  " + padLeft(dutyCell(tick, i), 4) + "  " +
            padLeft(rpmText(f.targetRPM), 7) + " " +
            padLeft(f.currentRPMValid ? rpmText(f.currentRPM) : kNoReading, 7) + "  " +
            (f.isManaged ? style_.yellow("manual") : style_.green("auto  ")) + "   " + rpmText(f.minRPM) + "–" +
            rpmText(f.maxRPM));
    }
    if (tick.fans.empty()) row(style_.dim("  no fans"));
    row("");
    for (const auto& r : tick.rows) row(padRight(r.name, 30) + temperatureText(r.value));
    out_ << style_.redrawOver(linesShown_) << frame.str();
    linesShown_ = lines;
}

void RunReport::line(const RunTick& tick) {
    out_ << "t=" << oneDecimal(tick.t) << "s temp=" << temperatureText(tick.temperature) << " trend=" << trendName(tick.trend.kind)
         << " alert=" << (tick.alertFiring ? "on" : "off");
    for (std::size_t i = 0; i < tick.fans.size(); ++i) {
        const auto& f = tick.fans[i];
        out_ << " fan" << f.id << "=" << dutyCell(tick, i) << "/" << rpmText(f.targetRPM) << "/"
             << (f.currentRPMValid ? rpmText(f.currentRPM) : kNoReading) << (f.isManaged ? "/manual" : "/auto");
    }
    out_ << "\n";
}

void RunReport::json(const RunTick& tick) {
    nlohmann::ordered_json j;
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
