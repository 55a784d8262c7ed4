#include "shared/sensors/device_sensor_map.hpp"

#include <algorithm>
#include <array>
#include <cmath>

#include "shared/sensors/sensor_selection.hpp"

namespace quorvane::DeviceSensorMap {

namespace {

using Values = std::vector<std::optional<double>>;

bool valid(double v) { return std::isfinite(v) && v > SensorSelection::activeSiliconFloor; }
std::optional<double> validOrNone(double v) { return valid(v) ? std::optional<double>(v) : std::nullopt; }

bool startsWith(std::string_view s, std::string_view prefix) { return s.substr(0, prefix.size()) == prefix; }

// Index of each byte in 0-9A-Za-z, -1 elsewhere; built once and shared.
const std::array<signed char, 256>& alphabet() {
    static const std::array<signed char, 256> table = [] {
        std::array<signed char, 256> t{};
        t.fill(-1);
        constexpr std::string_view chars = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
        for (std::size_t i = 0; i < chars.size(); ++i) t[static_cast<unsigned char>(chars[i])] = static_cast<signed char>(i);
        return t;
    }();
    return table;
}

const SMCSensor* find(std::span<const SMCSensor> sensors, std::string_view key) {
    for (const SMCSensor& s : sensors)
        if (s.key == key) return &s;
    return nullptr;
}

// Mean of the present values (list order); absent when none.
std::optional<double> mean(std::span<const std::optional<double>> values) {
    double sum = 0;
    int n = 0;
    for (const auto& v : values)
        if (v) sum += *v, ++n;
    return n == 0 ? std::nullopt : std::optional<double>(sum / n);
}

std::optional<double> largest(const Values& values) {
    std::optional<double> best;
    for (const auto& v : values)
        if (v && (!best || *v > *best)) best = v;
    return best;
}

// Group values of the core groups of prefix (minus excluded), lowest ordinals first.
Values coreGroups(std::span<const SMCSensor> sensors, std::string_view prefix, std::string_view excluded = {}) {
    struct Pair {
        int ordinal;
        std::uint32_t position;  // list order breaks ties: a stable sort without its buffer
        double temp;
    };
    std::vector<Pair> pairs;
    for (std::size_t i = 0; i < sensors.size(); ++i) {
        const SMCSensor& s = sensors[i];
        if (s.key.size() != 4 || !startsWith(s.key, prefix)) continue;
        if (!excluded.empty() && startsWith(s.key, excluded)) continue;
        if (auto o = keyOrdinal(s.key)) pairs.push_back({*o, static_cast<std::uint32_t>(i), s.currentTemp});
    }
    std::sort(pairs.begin(), pairs.end(), [](const Pair& a, const Pair& b) {
        return a.ordinal != b.ordinal ? a.ordinal < b.ordinal : a.position < b.position;
    });
    Values groups;
    for (std::size_t i = 0; i < pairs.size(); ++i) {
        if (i == 0 || pairs[i].ordinal - pairs[i - 1].ordinal >= 2) groups.emplace_back();
        auto& g = groups.back();
        if (valid(pairs[i].temp) && (!g || pairs[i].temp > *g)) g = pairs[i].temp;
    }
    return groups;
}

Values firstGroups(Values groups, long count) {
    if (count < 1) return {};
    if (groups.size() > static_cast<std::size_t>(count)) groups.resize(static_cast<std::size_t>(count));
    return groups;
}

Values performanceValues(std::span<const SMCSensor> sensors, CoreCounts counts) {
    if (counts.performance < 1) return {};
    return firstGroups(coreGroups(sensors, "Tp"), counts.performance);
}

Values efficiencyValues(std::span<const SMCSensor> sensors, CoreCounts counts) {
    std::vector<const SMCSensor*> tex;
    for (const SMCSensor& s : sensors)
        if (s.key.size() == 4 && startsWith(s.key, "Tex")) tex.push_back(&s);
    if (static_cast<long>(tex.size()) == counts.efficiency) {
        std::stable_sort(tex.begin(), tex.end(), [](const SMCSensor* a, const SMCSensor* b) { return a->key < b->key; });
        Values values;
        for (const SMCSensor* s : tex) values.push_back(validOrNone(s->currentTemp));
        return values;
    }
    if (counts.efficiency < 1) return {};
    return firstGroups(coreGroups(sensors, "Te", "Tex"), counts.efficiency);
}

Values gpuValues(std::span<const SMCSensor> sensors) {
    Values groups = coreGroups(sensors, "Tg");
    Values upper = coreGroups(sensors, "TG");
    groups.insert(groups.end(), upper.begin(), upper.end());
    if (groups.size() <= 5) return groups;
    const double ratio = static_cast<double>(groups.size()) / 5.0;
    Values buckets;
    for (int i = 0; i < 5; ++i) {
        const auto start = static_cast<std::size_t>(std::floor(ratio * i));
        const auto end = std::min(std::max(start + 1, static_cast<std::size_t>(std::floor(ratio * (i + 1)))),
                                  groups.size());
        buckets.push_back(mean(std::span(groups).subspan(start, end - start)));
    }
    return buckets;
}

std::optional<double> categoryAverage(std::span<const SMCSensor> sensors, SensorCategory category) {
    double sum = 0;
    int n = 0;
    for (const SMCSensor& s : sensors)
        if (s.sensorClass == SensorClass::temperature && s.category == category && valid(s.currentTemp))
            sum += s.currentTemp, ++n;
    return n == 0 ? std::nullopt : std::optional<double>(sum / n);
}

bool hasCategorySensor(std::span<const SMCSensor> sensors, SensorCategory category) {
    return std::any_of(sensors.begin(), sensors.end(), [&](const SMCSensor& s) {
        return s.sensorClass == SensorClass::temperature && s.category == category;
    });
}

Values concat(Values a, const Values& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

}  // namespace

std::optional<int> keyOrdinal(std::string_view key) {
    if (key.size() != 4) return std::nullopt;
    const auto& t = alphabet();
    const int hi = t[static_cast<unsigned char>(key[2])], lo = t[static_cast<unsigned char>(key[3])];
    if (hi < 0 || lo < 0) return std::nullopt;
    return hi * 62 + lo;
}

std::vector<DeviceSensorReading> fixedList(std::span<const SMCSensor> sensors, CoreCounts counts) {
    std::vector<DeviceSensorReading> rows;
    rows.reserve(32);
    auto exact = [&](const char* key, const char* name, const char* symbol) {
        if (const SMCSensor* s = find(sensors, key)) rows.push_back({key, name, symbol, validOrNone(s->currentTemp)});
    };
    auto numbered = [&](const Values& values, const char* id, const char* name, const char* symbol) {
        for (std::size_t i = 0; i < values.size(); ++i)
            rows.push_back({id + std::to_string(i), name + std::to_string(i + 1), symbol, values[i]});
    };

    exact("TW0P", "Airport Proximity", "wifi");
    exact("TB0T", "Battery", "minus.plus.batteryblock");
    exact("TB1T", "Battery Gas Gauge", "minus.plus.batteryblock");

    const Values perf = performanceValues(sensors, counts);
    const Values eff = efficiencyValues(sensors, counts);
    if (!perf.empty() || !eff.empty()) {
        rows.push_back({"cpu.avg", "CPU Core Average", "cpu.fill", mean(concat(perf, eff))});
    } else {
        if (hasCategorySensor(sensors, SensorCategory::cpu))
            rows.push_back({"cpu.generic", "CPU", "cpu.fill", categoryAverage(sensors, SensorCategory::cpu)});
        if (hasCategorySensor(sensors, SensorCategory::gpu))
            rows.push_back({"gpu.generic", "GPU", "memorychip", categoryAverage(sensors, SensorCategory::gpu)});
    }
    numbered(eff, "eff.", "CPU Efficiency Core ", "cpu");
    numbered(perf, "perf.", "CPU Performance Core ", "cpu");
    const Values gpu = gpuValues(sensors);
    numbered(gpu, "gpu.", "GPU Cluster ", "memorychip");
    if (!gpu.empty()) rows.push_back({"gpu.avg", "GPU Cluster Average", "memorychip", mean(gpu)});

    Values die;
    for (const SMCSensor& s : sensors)
        if (startsWith(s.key, "TPD")) die.push_back(validOrNone(s.currentTemp));
    if (!die.empty()) rows.push_back({"pwr.die", "Power Manager Die Average", "bolt.fill", mean(die)});

    exact("TPSP", "Power Supply Proximity", "powerplug.fill");
    exact("TDeL", "Thunderbolt Left Proximity", "bolt.horizontal.fill");
    exact("TDeR", "Thunderbolt Right Proximity", "bolt.horizontal.fill");
    exact("TH0x", "SSD", "internaldrive.fill");
    return rows;
}

std::optional<double> aggregate(ControlSource source, std::span<const SMCSensor> sensors, CoreCounts counts) {
    switch (source) {
        case ControlSource::hottest: return SensorSelection::trustedMaxTemperature(sensors);
        case ControlSource::cpuAverage: {
            const Values perf = performanceValues(sensors, counts);
            const Values eff = efficiencyValues(sensors, counts);
            if (perf.empty() && eff.empty()) return categoryAverage(sensors, SensorCategory::cpu);
            return mean(concat(perf, eff));
        }
        case ControlSource::cpuPerformance: return largest(performanceValues(sensors, counts));
        case ControlSource::cpuEfficiency: return largest(efficiencyValues(sensors, counts));
        case ControlSource::gpuAverage: {
            const Values gpu = gpuValues(sensors);
            if (gpu.empty()) return categoryAverage(sensors, SensorCategory::gpu);
            return mean(gpu);
        }
    }
    return std::nullopt;
}

bool feedsAggregate(ControlSource source, const SMCSensor& sensor) {
    if (sensor.sensorClass != SensorClass::temperature) return false;
    switch (source) {
        case ControlSource::hottest: return SensorSelection::isNamed(sensor);
        // The core groups ("Tp", "Te", "Tex"; "Tg", "TG") and their fallbacks all lie in the category.
        case ControlSource::cpuAverage: return sensor.category == SensorCategory::cpu;
        case ControlSource::cpuPerformance: return startsWith(sensor.key, "Tp");
        case ControlSource::cpuEfficiency: return startsWith(sensor.key, "Te");
        case ControlSource::gpuAverage: return sensor.category == SensorCategory::gpu;
    }
    return false;
}

}  // namespace quorvane::DeviceSensorMap
