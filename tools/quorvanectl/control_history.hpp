// What the control loop did, for plots and the local API: each tick's control temperature, alert
// state and every fan's actual speed, target and duty, kept for an hour at the tick and for a day
// as per-minute minimum/mean/maximum. Both rings are allocated once: 3600 × 64 B + 1440 × 176 B
// ≈ 472 KiB for up to four fans (checked below). A tick costs one ring write and a minute's
// accumulation. Not thread-safe: the control service guards its one instance with a mutex.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <vector>

namespace quorvane::ctl {

class ControlHistory {
public:
    static constexpr std::size_t maxFans = 4;
    static constexpr std::size_t tickCapacity = 3600;   // one hour at one tick a second
    static constexpr std::size_t minuteCapacity = 1440;  // one day
    static constexpr float absent = std::numeric_limits<float>::quiet_NaN();

    struct FanSample {
        float actualRPM = absent;
        float targetRPM = absent;
        float duty = absent;  // 0…1; absent while the fans are left to Apple
    };
    struct TickSample {
        double t = 0;                  // seconds (the caller's clock: the service uses Unix time)
        float temperature = absent;    // °C; absent when no sensor answered
        std::uint8_t fanCount = 0;
        bool alertFiring = false;
        std::array<FanSample, maxFans> fans{};
    };
    struct Range {
        float min = absent;
        float mean = absent;
        float max = absent;
    };
    struct FanMinute {
        Range actualRPM, targetRPM, duty;
    };
    struct MinuteSample {
        double t = 0;  // the minute's start
        std::uint16_t ticks = 0;
        std::uint16_t alertTicks = 0;  // ticks with the alert firing
        std::uint8_t fanCount = 0;
        Range temperature;
        std::array<FanMinute, maxFans> fans{};
    };

    ControlHistory();

    // One tick. Fans beyond maxFans are not kept; a non-finite value is kept as absent. A tick
    // earlier than the last one (a clock stepped back) is refused.
    bool record(const TickSample& sample);

    // The ticks at or after `since`, oldest first.
    std::vector<TickSample> ticksSince(double since) const;
    // The whole minutes at or after `since`, oldest first, and the current minute so far.
    std::vector<MinuteSample> minutesSince(double since) const;
    std::size_t tickCount() const { return ticksStored_; }
    std::size_t minuteCount() const { return minutesStored_; }
    std::optional<TickSample> latest() const;

    static constexpr std::size_t bytes() { return sizeof(TickSample) * tickCapacity + sizeof(MinuteSample) * minuteCapacity; }

private:
    struct Accumulator {
        double sum = 0;
        std::uint16_t n = 0;
        Range range;
        void add(float v);
        Range finish() const;
    };
    struct MinuteAccumulator {
        double start = 0;
        std::uint16_t ticks = 0;
        std::uint16_t alertTicks = 0;
        std::uint8_t fanCount = 0;
        Accumulator temperature;
        std::array<std::array<Accumulator, 3>, maxFans> fans{};
        MinuteSample finish() const;
    };

    std::vector<TickSample> ticks_;      // tickCapacity, allocated once
    std::vector<MinuteSample> minutes_;  // minuteCapacity, allocated once
    std::size_t tickNext_ = 0, ticksStored_ = 0;
    std::size_t minuteNext_ = 0, minutesStored_ = 0;
    MinuteAccumulator minute_;
    bool minuteOpen_ = false;  // minute_ holds the current minute's ticks
    std::optional<double> lastT_;
};

static_assert(ControlHistory::bytes() <= 512 * 1024, "the history is budgeted at 512 KiB");

}  // namespace quorvane::ctl
