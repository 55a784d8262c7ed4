// The application's control loop, without its I/O: from the control temperature and the fans'
// state it computes each fan's target once a tick — the profile's curve or fixed speed (or the
// mode's fixed speed), raised to the floor (workload boost, the mode's floor, full speed while an
// alert with auto-boost fires), smoothed, then slew-limited and dead-banded in RPM within the
// fan's bounds. It also keeps the temperature history for the thermal trend. Owned by one thread.
#pragma once

#include <deque>
#include <map>
#include <optional>
#include <vector>

#include "shared/control/control_pipeline.hpp"
#include "shared/control/slew_limiter.hpp"
#include "shared/control/target_deadband.hpp"
#include "shared/control/thermal_trend.hpp"
#include "shared/control/workload_policy.hpp"
#include "shared/profiles/alert_rule.hpp"
#include "shared/profiles/custom_mode.hpp"
#include "shared/profiles/fan_profile.hpp"
#include "shared/smc/fan_status.hpp"

namespace quorvane::ctl {

struct FanCommand {
    long fan = 0;
    double duty = 0;       // fraction 0…1 after the pipeline
    double targetRPM = 0;  // after slew limiting and the dead band
    bool send = false;     // the daemon needs to hear of it (new value, or the fan is not manual)
};

class ControlLoop {
public:
    static constexpr double emaAlpha = 0.35;
    static constexpr double slewRPMPerSecond = 600;
    static constexpr double trendWindowSeconds = 120;

    // Throws ClientError (usage) for a curve profile with fewer than two points.
    ControlLoop(FanProfile profile, std::optional<CustomMode> mode, AlertRule alert, WorkloadPolicy workload);

    // An appleAuto profile leaves the fans to the firmware; the loop only watches.
    bool monitorsOnly() const { return profile_.mode == ControlMode::appleAuto; }
    const FanProfile& profile() const { return profile_; }
    const std::optional<CustomMode>& mode() const { return mode_; }
    const AlertRule& alert() const { return alert_; }
    const WorkloadPolicy& workload() const { return workload_; }

    // One tick at `t` seconds (monotonic) with the control temperature (absent: no reading,
    // which the curve answers with its last point) and the fans as read now. Fans whose bounds
    // are unusable get no command.
    std::vector<FanCommand> step(double t, std::optional<double> temperature, const std::vector<FanStatus>& fans);
    // Records a temperature for the trend without commanding anything (monitoring).
    void record(double t, std::optional<double> temperature);

    ThermalTrend trend() const;
    bool alertFiring() const { return alertFiring_; }
    // Forgets what was sent, so the next tick sends every target again.
    void resend();
    // Takes over from the loop this one replaces (a reload): its clock, its temperature history
    // and each fan's last target, so the first tick moves a fan no faster than the slew rate.
    void continueFrom(const ControlLoop& previous);

private:
    struct FanState {
        ControlPipeline pipeline;
        SlewLimiter slew{slewRPMPerSecond};
        TargetDeadband deadband;
        std::optional<double> sent;
    };
    FanState makeFanState(const FanStatus& fan) const;
    double floor() const;

    FanProfile profile_;
    std::optional<CustomMode> mode_;
    AlertRule alert_;
    WorkloadPolicy workload_;
    std::map<long, FanState> fans_;
    // What a replaced loop last did with each fan, taken up when the fan is first seen.
    struct Carried {
        TargetDeadband deadband;
        std::optional<double> sent;
    };
    std::map<long, Carried> carried_;
    std::deque<ThermalSample> history_;
    std::optional<double> lastT_;
    bool alertFiring_ = false;
};

}  // namespace quorvane::ctl
