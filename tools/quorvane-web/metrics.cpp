#include "metrics.hpp"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <sstream>

namespace quorvane::web {

namespace {

std::string labelValue(const std::string& v) {
    std::string out;
    for (const char c : v) {
        if (c == '\\') {
            out += "\\\\";
        } else if (c == '"') {
            out += "\\\"";
        } else if (c == '\n') {
            out += "\\n";
        } else {
            out += c;
        }
    }
    return out;
}

// Shortest round-tripping form; the value is known to be finite.
std::string number(double v) {
    char buffer[32];
    if (v == std::trunc(v) && std::fabs(v) < 1e15) {
        std::snprintf(buffer, sizeof buffer, "%.0f", v);
        return buffer;
    }
    std::snprintf(buffer, sizeof buffer, "%.17g", v);
    for (int precision = 1; precision <= 17; ++precision) {
        char shorter[32];
        std::snprintf(shorter, sizeof shorter, "%.*g", precision, v);
        if (std::strtod(shorter, nullptr) == v) return shorter;
    }
    return buffer;
}

std::optional<double> finite(const nlohmann::json& j) {
    if (j.is_boolean()) return j.get<bool>() ? 1.0 : 0.0;
    if (!j.is_number()) return std::nullopt;
    const double v = j.get<double>();
    return std::isfinite(v) ? std::optional<double>(v) : std::nullopt;
}

class Writer {
public:
    void family(const char* name, const char* type, const char* help) {
        out_ << "# HELP " << name << ' ' << help << "\n# TYPE " << name << ' ' << type << '\n';
    }
    void sample(const char* name, const std::string& labels, std::optional<double> v) {
        if (!v) return;
        out_ << name;
        if (!labels.empty()) out_ << '{' << labels << '}';
        out_ << ' ' << number(*v) << '\n';
    }
    std::string text() const { return out_.str(); }

private:
    std::ostringstream out_;
};

}  // namespace

std::string metricsText(const std::optional<nlohmann::json>& state) {
    Writer w;
    const bool up = state && state->is_object() && !state->contains("error");
    w.family("quorvane_up", "gauge", "Whether the control service answered (1) or not (0).");
    w.sample("quorvane_up", "", up ? 1.0 : 0.0);
    if (!up) return w.text();
    const nlohmann::json& s = *state;
    const nlohmann::json fans = s.contains("fans") && s["fans"].is_array() ? s["fans"] : nlohmann::json::array();
    auto fanLabel = [](const nlohmann::json& fan) {
        const auto id = finite(fan.value("id", nlohmann::json()));
        return "fan=\"" + (id ? number(*id) : std::string("?")) + "\"";
    };
    struct FanMetric {
        const char* name;
        const char* key;
        const char* help;
    };
    for (const FanMetric& m : {FanMetric{"quorvane_fan_actual_rpm", "actualRPM", "The fan's speed as read."},
                               FanMetric{"quorvane_fan_target_rpm", "targetRPM", "The fan's target speed."},
                               FanMetric{"quorvane_fan_min_rpm", "minRPM", "The fan's lowest speed."},
                               FanMetric{"quorvane_fan_max_rpm", "maxRPM", "The fan's highest speed."},
                               FanMetric{"quorvane_fan_manual", "manual", "Whether the fan is under manual control (1) or the firmware's (0)."},
                               FanMetric{"quorvane_fan_duty_ratio", "duty", "The control loop's duty for the fan, 0 to 1."}}) {
        w.family(m.name, "gauge", m.help);
        for (const auto& fan : fans) {
            if (fan.is_object()) w.sample(m.name, fanLabel(fan), finite(fan.value(m.key, nlohmann::json())));
        }
    }
    // One sample each, read from the state or its alert.
    const nlohmann::json alert = s.value("alert", nlohmann::json::object());
    const nlohmann::json none;
    struct Scalar {
        const char* name;
        const char* type;
        const nlohmann::json& from;
        const char* key;
        const char* help;
    };
    for (const Scalar& m : {Scalar{"quorvane_control_temperature_celsius", "gauge", s, "temperatureCelsius", "The temperature the fans follow."},
                            Scalar{"quorvane_alert_threshold_celsius", "gauge", alert.is_object() ? alert : none, "thresholdCelsius", "The temperature at which the alert fires."},
                            Scalar{"quorvane_alert_firing", "gauge", alert.is_object() ? alert : none, "firing", "Whether the temperature alert fires (1) or not (0)."},
                            Scalar{"quorvane_monitoring", "gauge", s, "monitoring", "Whether the fans are left to the firmware (1) or driven (0)."},
                            Scalar{"quorvane_control_ticks_total", "counter", s, "ticks", "Control loop ticks that worked since the service started."},
                            Scalar{"quorvane_control_failed_ticks_total", "counter", s, "failedTicks", "Control loop ticks that failed (an SMC read or a daemon call)."},
                            Scalar{"quorvane_smc_errors_total", "counter", s, "smcErrors", "Control loop ticks that failed on an SMC read."},
                            Scalar{"quorvane_daemon_errors_total", "counter", s, "daemonErrors", "Control loop ticks that failed on the daemon (a call or the connection)."}}) {
        w.family(m.name, m.type, m.help);
        w.sample(m.name, "", m.from.is_object() ? finite(m.from.value(m.key, nlohmann::json())) : std::nullopt);
    }
    // Every sensor, one family per unit, labelled by key, name, class and category.
    struct SensorFamily {
        const char* sensorClass;
        const char* name;
        const char* help;
    };
    const nlohmann::json sensors = s.contains("sensors") && s["sensors"].is_array() ? s["sensors"] : nlohmann::json::array();
    for (const SensorFamily& f : {SensorFamily{"temperature", "quorvane_sensor_temperature_celsius", "A temperature sensor's reading."},
                                  SensorFamily{"power", "quorvane_sensor_power_watts", "A power sensor's reading."},
                                  SensorFamily{"voltage", "quorvane_sensor_voltage_volts", "A voltage sensor's reading."},
                                  SensorFamily{"current", "quorvane_sensor_current_amperes", "A current sensor's reading."},
                                  SensorFamily{"fan", "quorvane_sensor_fan_rpm", "A fan sensor's reading."},
                                  SensorFamily{"other", "quorvane_sensor_value", "A sensor's reading in a unit of its own."}}) {
        bool any = false;
        for (const auto& sensor : sensors) {
            if (!sensor.is_object() || sensor.value("class", nlohmann::json()) != f.sensorClass) continue;
            const auto text = [&](const char* key) {
                const auto it = sensor.find(key);
                return it != sensor.end() && it->is_string() ? labelValue(it->get<std::string>()) : std::string();
            };
            const auto value = finite(sensor.value("value", nlohmann::json()));
            if (!value) continue;
            if (!any) w.family(f.name, "gauge", f.help);
            any = true;
            w.sample(f.name, "key=\"" + text("key") + "\",name=\"" + text("name") + "\",class=\"" + text("class") + "\",category=\"" + text("category") + "\"", value);
        }
    }
    const nlohmann::json following = s.value("following", nlohmann::json());
    w.family("quorvane_following_info", "gauge", "What the control service follows.");
    if (following.is_string()) w.sample("quorvane_following_info", "profile=\"" + labelValue(following.get<std::string>()) + "\"", 1.0);
    return w.text();
}

}  // namespace quorvane::web
