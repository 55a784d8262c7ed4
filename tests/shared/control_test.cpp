#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <stdexcept>
#include <vector>

#include "shared/control/clamped.hpp"
#include "shared/control/control_pipeline.hpp"
#include "shared/control/slew_limiter.hpp"
#include "shared/control/target_deadband.hpp"
#include "shared/control/thermal_trend.hpp"
#include "shared/control/workload_policy.hpp"

namespace quorvane {
namespace {

constexpr double inf = std::numeric_limits<double>::infinity();
constexpr double nan = std::numeric_limits<double>::quiet_NaN();

TEST(Clamped, NaNPassesThroughAndBoundsApply) {
    EXPECT_TRUE(std::isnan(clamped(nan, unitRange)));
    EXPECT_EQ(clamped(-inf, unitRange), 0.0);
    EXPECT_EQ(clamped(1.3, unitRange), 1.0);
    EXPECT_EQ(clamped(7, ClosedRange<int>{1, 5}), 5);
}

TEST(FanCurve, EvaluatesEveryRegionOfTheCurve) {
    // Given out of order, with a duplicated temperature (0.3 then 0.6 at 60 °C).
    const FanCurve dup({{80, 1.0}, {60, 0.3}, {40, 0.2}, {60, 0.6}});
    const FanCurve plain({{90, 1.0}, {40, 0}, {75, 0.5}, {60, 0.25}});
    const FanCurve outOfRange({{40, -0.2}, {80, 1.3}});
    const FanCurve nanPoint({{40, 0.2}, {60, nan}, {80, 1.0}});
    struct Row {
        const FanCurve* curve;
        double t;
        double want;
    } rows[] = {
        {&plain, 50, 0.125},  {&plain, 60, 0.25},    {&plain, 39, 0},       {&plain, 95, 1},
        {&plain, -inf, 0},    {&plain, inf, 1},      {&plain, nan, 1},      {&dup, 60, 0.3},
        {&dup, 60.5, 0.61},   {&dup, 59, 0.295},     {&outOfRange, 0, 0},   {&outOfRange, 90, 1},
        {&outOfRange, 60, 0.55}, {&nanPoint, 50, 0}, {&nanPoint, 30, 0.2},
    };
    for (const Row& r : rows) EXPECT_NEAR(r.curve->rpmPercentage(r.t), r.want, 1e-12) << "t=" << r.t;
    EXPECT_EQ(dup.points()[1].rpmPercentage, 0.3) << "stable sort keeps input order at equal temperatures";
    EXPECT_EQ(outOfRange.points()[1].rpmPercentage, 1.3) << "stored fractions are not changed";
}

TEST(FanCurve, PairsGetFreshIdsAndFewerThanTwoPointsThrow) {
    const std::vector<std::pair<double, double>> pairs{{40, 0}, {80, 1}};
    EXPECT_NE(FanCurve(pairs), FanCurve(pairs));
    const FanCurve a(pairs);
    EXPECT_EQ(a, FanCurve(a.points()));
    EXPECT_NE(a.points()[0].id, a.points()[1].id);
    EXPECT_THROW(FanCurve(std::vector<std::pair<double, double>>{{40, 0}}), std::invalid_argument);
    EXPECT_THROW(FanCurve(std::vector<CurvePoint>{}), std::invalid_argument);
}

TEST(EMAFilter, ClampsAlphaAndSmooths) {
    EXPECT_EQ(EMAFilter(0.01).alpha(), 0.05);
    EXPECT_EQ(EMAFilter(3).alpha(), 1.0);
    EXPECT_EQ(EMAFilter(nan).alpha(), 1.0);
    EMAFilter f(0.5);
    f.setAlpha(nan);
    EXPECT_EQ(f.alpha(), 0.5);
    EXPECT_TRUE(std::isnan(f.update(nan))) << "nothing to hold yet";
    EXPECT_FALSE(f.value());
    EXPECT_EQ(f.update(0.2), 0.2);
    EXPECT_EQ(f.update(0.6), 0.4);
    EXPECT_EQ(f.update(inf), 0.4);
    EXPECT_EQ(f.value(), 0.4);
    EMAFilter one(1.0);
    for (double x : {0.3, 0.9, 0.1}) EXPECT_EQ(one.update(x), x);
}

TEST(SlewLimiter, LimitsBothWaysAndPassesOrHoldsOtherwise) {
    struct Row {
        double rate, current, target, dt, want;
    } rows[] = {
        {400, 1000, 2000, 0.5, 1200}, {400, 1000, 900, 0.5, 900},   {400, 1000, 500, 0.5, 800},
        {0, 1000, 2000, 0.5, 2000},   {-1, 1000, 2000, 0.5, 2000},  {inf, 1000, 2000, 0.5, 2000},
        {nan, 1000, 2000, 0.5, 2000}, {400, 1000, 2000, 0, 2000},   {400, 1000, 2000, nan, 2000},
        {400, nan, 2000, 0.5, 2000},  {400, 1000, nan, 0.5, 1000},  {0, 1000, inf, 0.5, inf},
        {400, 1000, -inf, 0.5, 800},  {400, 1000, inf, 0.5, 1200},  {400, inf, 2000, 0.5, 2000},
        {400, -inf, nan, 0.5, nan},   {0, 1000, nan, 0.5, 1000},    {5e-324, 1000, 2000, 1, 1000 + 5e-324},
    };
    for (const Row& r : rows) {
        const double got = SlewLimiter(r.rate).step(r.current, r.target, r.dt);
        EXPECT_TRUE(got == r.want || (std::isnan(got) && std::isnan(r.want)))
            << r.rate << " " << r.current << " " << r.target << " " << r.dt << " gave " << got;
    }
    EXPECT_TRUE(SlewLimiter(5e-324).isLimited());
}

TEST(TargetDeadband, AsymmetricThresholdsIncludeEqualityAndIgnoreNonFinite) {
    struct Row {
        double desired, want;
    } rows[] = {{1040, 1000}, {1050, 1050}, {900, 1000}, {850, 850}, {nan, 1000}, {inf, 1000}};
    for (const Row& r : rows) {
        TargetDeadband d(1000.0);
        EXPECT_EQ(d.commit(r.desired), r.want) << r.desired;
        EXPECT_EQ(d.committed(), r.want);
    }
    for (double start : {nan, inf}) {
        TargetDeadband empty(start);  // nothing finite committed: empty
        EXPECT_EQ(empty.commit(inf), inf);
        EXPECT_TRUE(std::isnan(empty.commit(nan)));
        EXPECT_FALSE(empty.committed());
        EXPECT_EQ(empty.commit(3), 3);
        EXPECT_EQ(empty.commit(40), 3);
    }
}

ControlPipeline pipeline(double alpha, double floor = 0, std::optional<double> fixed = std::nullopt) {
    return ControlPipeline(FanCurve({{40, 0.1}, {80, 0.1}}), EMAFilter(alpha), floor, fixed);
}

TEST(ControlPipeline, FloorAndOverridePassThroughSmoothing) {
    EXPECT_EQ(pipeline(0.5, 0, 1.4).targetPercentage(50), 1.0);
    EXPECT_EQ(pipeline(0.5, 0.3).targetPercentage(50), 0.3);
    EXPECT_EQ(pipeline(0.5, nan).targetPercentage(50), 0.1) << "a NaN floor counts as none";
    EXPECT_EQ(pipeline(0.5, 0, nan).targetPercentage(50), 0.1) << "a NaN override counts as absent";
    auto p = pipeline(0.5);
    EXPECT_EQ(p.targetPercentage(50), 0.1);
    p.fixedOverride = 0.9;
    EXPECT_DOUBLE_EQ(p.targetPercentage(50), 0.5) << "an override arrives at the filter's rate";
    p.fixedOverride = nan;
    EXPECT_DOUBLE_EQ(p.targetPercentage(50), 0.3);
    p.curve = FanCurve({{40, nan}, {80, nan}});
    p.proactiveFloor = 0.2;
    EXPECT_DOUBLE_EQ(p.targetPercentage(50), 0.25) << "a NaN curve point yields the floor";
}

TEST(ControlPipeline, ConvertsBetweenFractionAndRPM) {
    struct Row {
        double in, lo, hi, toRPM, toFraction;
    } rows[] = {
        {0.5, 1200, 6000, 3600, -1}, {-1, 1200, 6000, 1200, -1},   {2, 1200, 6000, 6000, -1},
        {nan, 1200, 6000, 1200, -1}, {3600, 1200, 6000, -1, 0.5},  {7000, 1200, 6000, -1, 1},
        {3000, 3000, 3000, -1, 0},   {nan, 1200, 6000, -1, 0},     {inf, 1200, 6000, -1, 0},
        {3000, 6000, 1200, -1, 0},   {3000, -inf, 6000, -1, 0},    {3000, 1200, nan, -1, 0},
        {1, -1.7e308, 1.7e308, 1.7e308, -1},
    };
    for (const Row& r : rows) {
        if (r.toRPM >= 0) {
            EXPECT_EQ(ControlPipeline::percentageToRPM(r.in, r.lo, r.hi), r.toRPM) << r.in;
        }
        if (r.toFraction >= 0) {
            EXPECT_EQ(ControlPipeline::rpmToPercentage(r.in, r.lo, r.hi), r.toFraction) << r.in;
        }
    }
    for (auto [lo, hi] : {std::pair{6000.0, 1200.0}, {nan, 6000.0}, {1200.0, nan}, {0.0, inf}})
        EXPECT_THROW(ControlPipeline::percentageToRPM(0.5, lo, hi), std::invalid_argument) << lo << " " << hi;
}

TEST(ControlPipeline, AnyFiniteTemperaturesGiveFractionAndRPMWithinBounds) {
    std::mt19937_64 rng(20261207);
    std::uniform_real_distribution<double> temp(-1e6, 1e6), frac(-2, 3), unit(0, 1);
    for (int round = 0; round < 200; ++round) {
        std::vector<std::pair<double, double>> pairs;
        for (int i = 0; i < 2 + round % 6; ++i) pairs.push_back({temp(rng) / 1e4, frac(rng)});
        ControlPipeline p(FanCurve(pairs), EMAFilter(unit(rng)), frac(rng),
                          round % 3 ? std::nullopt : std::optional<double>(frac(rng)));
        const double lo = unit(rng) * 3000, hi = lo + unit(rng) * 5000;
        for (int i = 0; i < 50; ++i) {
            const double t = i % 10 ? temp(rng) : std::ldexp(temp(rng), 1000);
            const double f = p.targetPercentage(t);
            ASSERT_TRUE(f >= 0 && f <= 1) << f;
            const double rpm = ControlPipeline::percentageToRPM(f, lo, hi);
            ASSERT_TRUE(rpm >= lo && rpm <= hi) << rpm;
        }
    }
}

std::vector<ThermalSample> line(int n, double span, double slopePerMinute, double t0 = 1000, double y0 = 50) {
    std::vector<ThermalSample> s;
    for (int i = 0; i < n; ++i) {
        const double t = t0 + span * i / (n - 1);
        s.push_back({t, y0 + slopePerMinute * (t - t0) / 60.0});
    }
    return s;
}

TEST(ThermalTrend, ClassifiesByWindowMinimumsAndThresholds) {
    // Exactly ±0.8 °C/min: times and temperatures are exact in binary, every sum of the fit is
    // exact, and the slope 1/75 per second rounds to 0.8 per minute.
    std::vector<ThermalSample> exactRise, exactFall;
    for (int i = 0; i < 8; ++i) {
        exactRise.push_back({i * 9.375, 40 + i * 0.125});
        exactFall.push_back({i * 9.375, 40 - i * 0.125});
    }
    auto old = line(8, 60, 1);
    for (auto& s : old) s.temp -= 100;  // a steep old climb, left outside the window
    auto windowed = line(10, 60, 0, 1200);
    windowed.insert(windowed.begin(), old.begin(), old.end());
    auto withNaNTime = line(10, 60, -2);
    withNaNTime.push_back({nan, 99});
    withNaNTime.push_back({inf, 99});
    auto unsorted = line(12, 60, 1, 0, 60);
    std::reverse(unsorted.begin(), unsorted.end());
    struct Row {
        const char* name;
        std::vector<ThermalSample> samples;
        double ceiling;
        ThermalTrend want;
    } rows[] = {
        {"empty", {}, 90, ThermalTrend::steady()},
        {"seven samples", line(7, 60, 50), 90, ThermalTrend::steady()},
        {"span under 30 s", line(8, 29.9, 50), 90, ThermalTrend::steady()},
        {"same time stamp", line(8, 0, 0), 90, ThermalTrend::steady()},
        {"exactly +0.8", exactRise, 1000, ThermalTrend::rising(std::nullopt)},
        {"exactly -0.8", exactFall, 90, ThermalTrend::cooling()},
        {"eta exactly 60 min", exactRise, 88.875, ThermalTrend::rising(60.0)},
        {"span exactly 30 s", line(8, 30, 50), 90, ThermalTrend::rising(0.3)},
        {"window includes its start", line(8, 120, 1), 1000, ThermalTrend::rising(std::nullopt)},
        {"flat", line(10, 60, 0.5), 90, ThermalTrend::steady()},
        {"eta 10 min", line(10, 60, 1, 0, 50), 61, ThermalTrend::rising(10.0)},
        {"eta beyond an hour", line(10, 60, 1, 0, 50), 121, ThermalTrend::rising(std::nullopt)},
        {"at the ceiling", line(10, 60, 1, 0, 50), 51, ThermalTrend::rising(std::nullopt)},
        {"old samples ignored", windowed, 90, ThermalTrend::steady()},
        {"non-finite times ignored", withNaNTime, 90, ThermalTrend::cooling()},
        {"unsorted", unsorted, 71, ThermalTrend::rising(10.0)},
    };
    for (const Row& r : rows) {
        const ThermalTrend got = ThermalTrend::fit(r.samples, r.ceiling);
        EXPECT_EQ(got.kind, r.want.kind) << r.name;
        EXPECT_EQ(got.etaMinutes.has_value(), r.want.etaMinutes.has_value()) << r.name;
        if (got.etaMinutes && r.want.etaMinutes) {
            EXPECT_NEAR(*got.etaMinutes, *r.want.etaMinutes, 1e-9) << r.name;
        }
    }
    auto sorted = unsorted;
    std::sort(sorted.begin(), sorted.end(), [](auto& a, auto& b) { return a.t < b.t; });
    EXPECT_EQ(ThermalTrend::fit(unsorted, 71), ThermalTrend::fit(sorted, 71));
}

TEST(WorkloadPolicy, BoostsByPrefixAndMaximum) {
    struct Row {
        const char* id;
        double boost;
    } rows[] = {{"com.apple.dt.Xcode", 0.45},       {"com.apple.FinalCut", 0.55},
                {"com.apple.dt.XcodeBeta", 0.45},    {"com.apple.dt.xcode", 0},
                {"com.apple.dt", 0},                 {"com.adobe.PremierePro.2025", 0.5},
                {"org.blenderfoundation.blender", 0.55}, {"", 0}};
    for (const Row& r : rows) EXPECT_EQ(WorkloadPolicy::boost(r.id), r.boost) << r.id;

    WorkloadPolicy p;
    p.appLaunched("com.apple.Safari");
    EXPECT_TRUE(p.running.empty());
    p.seed({"com.apple.dt.Xcode", "com.blackmagic-design.DaVinciResolve", "com.apple.dt.Xcode"});
    p.seed({"com.apple.dt.Xcode"});
    EXPECT_EQ(p.running.size(), 2u);
    EXPECT_EQ(p.currentBoost(), 0.55);
    p.appTerminated("com.apple.Mail");
    p.appTerminated("com.blackmagic-design.DaVinciResolve");
    EXPECT_EQ(p.currentBoost(), 0.45);
    p.appTerminated("com.apple.dt.Xcode");
    EXPECT_EQ(p.currentBoost(), 0.0);
    EXPECT_EQ(p, WorkloadPolicy());
}

}  // namespace
}  // namespace quorvane
