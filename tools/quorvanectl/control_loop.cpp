#include "control_loop.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "client_error.hpp"

namespace quorvane::ctl {

namespace {

// The curve a pipeline carries when a fixed speed drives it instead.
FanCurve placeholderCurve() { return FanCurve(std::vector<std::pair<double, double>>{{0, 0}, {100, 1}}); }

bool usableBounds(const FanStatus& fan) {
    return std::isfinite(fan.minRPM) && std::isfinite(fan.maxRPM) && fan.maxRPM > 0 && fan.minRPM <= fan.maxRPM;
}

}  // namespace

ControlLoop::ControlLoop(FanProfile profile, std::optional<CustomMode> mode, AlertRule alert, WorkloadPolicy workload)
    : profile_(std::move(profile)), mode_(std::move(mode)), alert_(alert), workload_(std::move(workload)) {
    if (profile_.mode == ControlMode::adaptiveCurve && profile_.curvePoints.size() < 2) {
        throw ClientError("profile \"" + profile_.name + "\" has fewer than two curve points", ExitStatus::usage);
    }
}

ControlLoop::FanState ControlLoop::makeFanState(const FanStatus& fan) const {
    const bool curve = profile_.mode == ControlMode::adaptiveCurve;
    ControlPipeline pipeline(curve ? FanCurve(profile_.curvePoints) : placeholderCurve(), EMAFilter(emaAlpha));
    if (profile_.mode == ControlMode::constantRPM) {
        pipeline.fixedOverride =
            ControlPipeline::rpmToPercentage(static_cast<double>(profile_.constantTargetRPM), fan.minRPM, fan.maxRPM);
    }
    if (mode_ && mode_->speed().kind == ModeSpeed::Kind::fixed) pipeline.fixedOverride = mode_->speed().percentage;
    return FanState{std::move(pipeline), SlewLimiter(slewRPMPerSecond), TargetDeadband(), std::nullopt};
}

double ControlLoop::floor() const {
    double f = workload_.currentBoost();
    if (mode_ && mode_->speed().kind == ModeSpeed::Kind::floor) f = std::max(f, mode_->speed().percentage);
    if (alertFiring_ && alert_.autoBoost) f = 1.0;
    return f;
}

void ControlLoop::record(double t, std::optional<double> temperature) {
    alertFiring_ = alert_.enabled && temperature && *temperature >= alert_.thresholdCelsius;
    if (temperature) history_.push_back({t, *temperature});
    while (!history_.empty() && history_.front().t < t - trendWindowSeconds) history_.pop_front();
}

std::vector<FanCommand> ControlLoop::step(double t, std::optional<double> temperature, const std::vector<FanStatus>& fans) {
    record(t, temperature);
    const double dt = lastT_ ? t - *lastT_ : 0;
    lastT_ = t;
    const double input = temperature.value_or(std::numeric_limits<double>::quiet_NaN());
    std::vector<FanCommand> commands;
    for (const auto& fan : fans) {
        if (!usableBounds(fan)) continue;
        auto it = fans_.find(fan.id);
        if (it == fans_.end()) {
            it = fans_.emplace(fan.id, makeFanState(fan)).first;
            if (const auto carried = carried_.find(fan.id); carried != carried_.end()) {
                it->second.deadband = carried->second.deadband;
                it->second.sent = carried->second.sent;
                carried_.erase(carried);
            }
        }
        FanState& state = it->second;
        state.pipeline.proactiveFloor = floor();
        const double duty = state.pipeline.targetPercentage(input);
        const double desired = ControlPipeline::percentageToRPM(duty, fan.minRPM, fan.maxRPM);
        // The first tick starts from where the fan is.
        const double from = state.deadband.committed().value_or(fan.currentRPMValid ? fan.currentRPM : desired);
        const double limited = std::clamp(state.slew.step(from, desired, dt), fan.minRPM, fan.maxRPM);
        const double target = state.deadband.commit(limited);
        const bool send = !state.sent || *state.sent != target || !fan.isManaged;
        if (send) state.sent = target;
        commands.push_back({static_cast<long>(fan.id), duty, target, send});
    }
    return commands;
}

void ControlLoop::resend() {
    for (auto& [id, state] : fans_) state.sent.reset();
    for (auto& [id, carried] : carried_) carried.sent.reset();
}

void ControlLoop::continueFrom(const ControlLoop& previous) {
    lastT_ = previous.lastT_;
    history_ = previous.history_;
    carried_ = previous.carried_;
    for (const auto& [id, state] : previous.fans_) carried_.insert_or_assign(id, Carried{state.deadband, state.sent});
}

ThermalTrend ControlLoop::trend() const {
    const std::vector<ThermalSample> samples(history_.begin(), history_.end());
    return ThermalTrend::fit(samples, alert_.thresholdCelsius);
}

}  // namespace quorvane::ctl
