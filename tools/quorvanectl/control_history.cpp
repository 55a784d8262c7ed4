#include "control_history.hpp"

#include <algorithm>
#include <cmath>

namespace quorvane::ctl {

namespace {

float kept(float v) { return std::isfinite(v) ? v : ControlHistory::absent; }

}  // namespace

ControlHistory::ControlHistory() : ticks_(tickCapacity), minutes_(minuteCapacity) {}

void ControlHistory::Accumulator::add(float v) {
    if (!std::isfinite(v)) return;
    sum += v;
    ++n;
    range.min = n == 1 ? v : std::min(range.min, v);
    range.max = n == 1 ? v : std::max(range.max, v);
}

ControlHistory::Range ControlHistory::Accumulator::finish() const {
    Range r = range;
    if (n > 0) r.mean = static_cast<float>(sum / n);
    return r;
}

ControlHistory::MinuteSample ControlHistory::MinuteAccumulator::finish() const {
    MinuteSample m;
    m.t = start;
    m.ticks = ticks;
    m.alertTicks = alertTicks;
    m.fanCount = fanCount;
    m.temperature = temperature.finish();
    for (std::size_t i = 0; i < maxFans; ++i) m.fans[i] = {fans[i][0].finish(), fans[i][1].finish(), fans[i][2].finish()};
    return m;
}

bool ControlHistory::record(const TickSample& in) {
    if (!std::isfinite(in.t) || (lastT_ && in.t < *lastT_)) return false;
    lastT_ = in.t;
    TickSample s = in;
    s.fanCount = static_cast<std::uint8_t>(std::min<std::size_t>(in.fanCount, maxFans));
    s.temperature = kept(in.temperature);
    for (std::size_t i = 0; i < maxFans; ++i) {
        auto& f = s.fans[i];
        f = i < s.fanCount ? FanSample{kept(f.actualRPM), kept(f.targetRPM), kept(f.duty)} : FanSample{};
    }
    ticks_[tickNext_] = s;
    tickNext_ = (tickNext_ + 1) % tickCapacity;
    ticksStored_ = std::min(ticksStored_ + 1, tickCapacity);

    const double minuteStart = std::floor(s.t / 60) * 60;
    if (minuteOpen_ && minute_.start != minuteStart) {
        minutes_[minuteNext_] = minute_.finish();
        minuteNext_ = (minuteNext_ + 1) % minuteCapacity;
        minutesStored_ = std::min(minutesStored_ + 1, minuteCapacity);
        minuteOpen_ = false;
    }
    if (!minuteOpen_) {
        minute_ = MinuteAccumulator();
        minute_.start = minuteStart;
        minuteOpen_ = true;
    }
    auto& m = minute_;
    if (m.ticks < UINT16_MAX) ++m.ticks;
    if (s.alertFiring && m.alertTicks < UINT16_MAX) ++m.alertTicks;
    m.fanCount = std::max(m.fanCount, s.fanCount);
    m.temperature.add(s.temperature);
    for (std::size_t i = 0; i < s.fanCount; ++i) {
        m.fans[i][0].add(s.fans[i].actualRPM);
        m.fans[i][1].add(s.fans[i].targetRPM);
        m.fans[i][2].add(s.fans[i].duty);
    }
    return true;
}

std::vector<ControlHistory::TickSample> ControlHistory::ticksSince(double since) const {
    std::vector<TickSample> out;
    const std::size_t first = (tickNext_ + tickCapacity - ticksStored_) % tickCapacity;
    for (std::size_t k = 0; k < ticksStored_; ++k) {
        const auto& s = ticks_[(first + k) % tickCapacity];
        if (s.t >= since) out.push_back(s);
    }
    return out;
}

std::vector<ControlHistory::MinuteSample> ControlHistory::minutesSince(double since) const {
    std::vector<MinuteSample> out;
    const std::size_t first = (minuteNext_ + minuteCapacity - minutesStored_) % minuteCapacity;
    for (std::size_t k = 0; k < minutesStored_; ++k) {
        const auto& m = minutes_[(first + k) % minuteCapacity];
        if (m.t >= since) out.push_back(m);
    }
    if (minuteOpen_ && minute_.start >= since) out.push_back(minute_.finish());
    return out;
}

std::optional<ControlHistory::TickSample> ControlHistory::latest() const {
    if (ticksStored_ == 0) return std::nullopt;
    return ticks_[(tickNext_ + tickCapacity - 1) % tickCapacity];
}

}  // namespace quorvane::ctl
