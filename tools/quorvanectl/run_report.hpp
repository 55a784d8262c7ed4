// What `run` shows each tick, in three forms: a live table redrawn in place on a terminal and fit
// to it, one plain line per tick otherwise, or one JSON object per line; the plain and JSON forms
// open with a legend. Owned by the main thread.
#pragma once

#include <iosfwd>
#include <optional>
#include <string>
#include <vector>

#include "shared/control/thermal_trend.hpp"
#include "shared/sensors/device_sensor_map.hpp"
#include "shared/sensors/sensor_class.hpp"
#include "shared/smc/fan_status.hpp"
#include "terminal_style.hpp"

namespace quorvane::ctl {

// One sensor as a full read saw it, for the control service's metrics and dashboard.
struct SensorSample {
    std::string key;
    std::string name;
    SensorClass sensorClass = SensorClass::other;
    SensorCategory category = SensorCategory::enclosure;
    std::optional<double> value;  // in the class's unit; absent without a finite reading
    bool drives = false;          // behind the control temperature
};

struct RunTick {
    double t = 0;                       // seconds since the loop started
    std::string profile;
    std::string source;                 // what the control temperature is ("sensor group max", "GPU Average", …)
    std::string sourceDetail;           // what stands behind it, for people (the live table); may be empty
    std::optional<double> temperature;  // the control temperature
    ThermalTrend trend;
    double alertThreshold = 0;
    bool alertFiring = false;
    bool monitoring = false;                  // the fans are left to Apple
    std::vector<FanStatus> fans;              // as read this tick
    std::vector<std::optional<double>> duty;  // per fan, absent when not commanded
    std::vector<DeviceSensorReading> rows;
    std::vector<SensorSample> sensors;        // every SMC sensor, on ticks that read them all
};

class RunReport {
public:
    enum class Form { table, lines, json };

    RunReport(std::ostream& out, Form form, TerminalStyle style) : out_(out), form_(form), style_(style) {}

    void show(const RunTick& tick);
    // Only the live table shows the sensor rows.
    bool showsRows() const { return form_ == Form::table; }

private:
    void table(const RunTick& tick);
    void line(const RunTick& tick);
    void json(const RunTick& tick);

    std::ostream& out_;
    Form form_;
    TerminalStyle style_;
    int linesShown_ = 0;
    bool legendShown_ = false;
};

// The live table's lines for the style's terminal size: the header, the control line and every
// fan always; sensor rows as many as fit in the rows left (the last row stays free); every line
// cut to the width.
std::vector<std::string> tableFrame(const RunTick& tick, const TerminalStyle& style);

// "rising (88°C in 4.2 min)", "rising", "steady", "cooling".
std::string trendText(const ThermalTrend& trend);

}  // namespace quorvane::ctl
