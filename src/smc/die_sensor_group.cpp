#include "smc/die_sensor_group.hpp"

#include <algorithm>
#include <cmath>
#include <map>

#include "shared/sensors/sensor_classifier.hpp"
#include "platform/hid/hwmon_temperatures.hpp"
#include "shared/sensors/sensor_selection.hpp"

namespace quorvane {

namespace {

bool counts(double celsius) {
    return celsius > SensorSelection::activeSiliconFloor && SensorClassifier::plausibleTemperatureRange.contains(celsius);
}

bool digit(char c) { return c >= '0' && c <= '9'; }

// The family of a key that can carry a die reading on this Mac; empty for any other key.
std::string keyFamily(const std::string& key, bool appleSilicon) {
    if (key.size() != 4 || key[0] != 'T') return {};
    const std::string prefix = key.substr(0, 2);
    if (appleSilicon) return (prefix == "Tp" || prefix == "Te" || prefix == "Tg") ? key.substr(0, 3) : std::string();
    const char n = key[2], s = key[3];
    if (prefix == "TC") {
        const bool core = (digit(n) || n == 'X' || n == 'G') && (s == 'C' || s == 'c');
        const bool package = digit(n) && (s == 'D' || s == 'E' || s == 'F');
        return core || package ? prefix : std::string();
    }
    if (prefix == "TG" && digit(n) && (s == 'D' || s == 'd')) return prefix;
    return {};
}

// "PMU tdie3" → "PMU tdie"; empty unless the service measures a die or a CPU/GPU cluster. A service
// named by its SMC key (the Linux hwmon driver can label its channels so) is judged like that key.
std::string serviceFamily(const std::string& name, bool appleSilicon) {
    if (std::string key = keyFamily(name, appleSilicon); !key.empty()) return key;
    std::string family = name;
    while (!family.empty() && (digit(family.back()) || family.back() == ' ')) family.pop_back();
    const bool die = family.find("tdie") != std::string::npos || family.find("ACC MTR") != std::string::npos ||
                     family.rfind("GPU MTR", 0) == 0 || hid::hwmonDieKind(name).has_value();
    return die ? family : std::string();
}

struct Family {
    std::vector<std::string> members;  // with a counted first reading
    std::vector<double> readings;
};

// Keeps a family's members when its readings look like live silicon.
void keepLive(const Family& f, std::vector<std::string>& out) {
    if (f.readings.empty()) return;
    const bool flat = !hid::hwmonDieKind(f.members.front()) && f.readings.size() >= DieSensorGroup::flatFamilyMinimum &&
                      std::all_of(f.readings.begin(), f.readings.end(), [&](double r) { return r == f.readings.front(); });
    if (!flat) out.insert(out.end(), f.members.begin(), f.members.end());
}

template <class Item, class NameOf, class ValueOf, class FamilyOf>
std::vector<std::string> liveMembers(std::span<const Item> items, NameOf nameOf, ValueOf valueOf, FamilyOf familyOf) {
    std::map<std::string, Family> families;
    std::vector<std::string> order;  // families in first-seen order keep the output stable
    for (const Item& item : items) {
        const std::string family = familyOf(item);
        if (family.empty() || !counts(valueOf(item))) continue;
        auto [it, inserted] = families.try_emplace(family);
        if (inserted) order.push_back(family);
        it->second.members.push_back(nameOf(item));
        it->second.readings.push_back(valueOf(item));
    }
    std::vector<std::string> out;
    for (const auto& f : order) keepLive(families.at(f), out);
    return out;
}

// The die an SMC key family measures.
std::optional<hid::DieKind> familyDie(const std::string& family) {
    const std::string prefix = family.substr(0, 2);
    if (prefix == "TC" || prefix == "Tp" || prefix == "Te") return hid::DieKind::cpu;
    if (prefix == "TG" || prefix == "Tg") return hid::DieKind::gpu;
    return std::nullopt;
}

}  // namespace

DieSensorGroup DieSensorGroup::select(std::span<const SMCSensor> sensors, std::span<const HIDSensorReading> hid,
                                      const CPUTopology& cpu) {
    const bool appleSilicon = cpu.hasEfficiencyLevel();
    DieSensorGroup g;
    g.keys_ = liveMembers(
        sensors, [](const SMCSensor& s) { return s.key; }, [](const SMCSensor& s) { return s.currentTemp; },
        [&](const SMCSensor& s) {
            return s.sensorClass == SensorClass::temperature ? keyFamily(s.key, appleSilicon) : std::string();
        });
    g.hidNames_ = liveMembers(
        hid, [](const HIDSensorReading& r) { return r.name; }, [](const HIDSensorReading& r) { return r.celsius; },
        [&](const HIDSensorReading& r) { return serviceFamily(r.name, appleSilicon); });
    g.applyHwmonCoverage(appleSilicon);
    if (g.keys_.empty() && g.hidNames_.empty()) {
        g.fallback_ = true;
        for (const auto& s : sensors)
            if (s.sensorClass == SensorClass::temperature && SensorSelection::isNamed(s)) g.keys_.push_back(s.key);
        // A kernel that shows no SMC temperature at all (Apple silicon under Linux) still has its
        // temperature channels as services: the hottest of those is better than none.
        if (g.keys_.empty())
            for (const auto& r : hid)
                if (counts(r.celsius)) g.hidNames_.push_back(r.name);
    }
    g.sortedKeys_ = g.keys_;
    std::sort(g.sortedKeys_.begin(), g.sortedKeys_.end());
    return g;
}

std::optional<std::pair<std::string, double>> DieSensorGroup::hottestReading(
    std::span<const SMCSensor> sensors, std::span<const HIDSensorReading> hid) const {
    std::optional<std::pair<std::string, double>> best;
    auto consider = [&](const std::string& name, double celsius) {
        if (counts(celsius) && (!best || celsius > best->second)) best.emplace(name, celsius);
    };
    for (const auto& s : sensors)
        if (contains(s)) consider(s.key, s.currentTemp);
    for (const auto& r : hid)
        if (std::find(hidNames_.begin(), hidNames_.end(), r.name) != hidNames_.end()) consider(r.name, r.celsius);
    return best;
}

void DieSensorGroup::applyHwmonCoverage(bool appleSilicon) {
    auto dieOfKey = [&](const std::string& key) { return familyDie(keyFamily(key, appleSilicon)); };
    const bool smcGPU = std::any_of(keys_.begin(), keys_.end(),
                                    [&](const std::string& k) { return dieOfKey(k) == hid::DieKind::gpu; });
    if (!smcGPU)
        std::erase_if(hidNames_, [](const std::string& n) { return hid::hwmonDieKind(n) == hid::DieKind::gpu; });
    bool cpu = false, gpu = false;
    for (const auto& n : hidNames_) {
        const auto kind = hid::hwmonDieKind(n);
        if (!kind) continue;
        ++hwmonCount_;
        (*kind == hid::DieKind::cpu ? cpu : gpu) = true;
        const std::string driver = n.substr(0, n.find_first_of(" ."));
        if (std::find(hwmonDrivers_.begin(), hwmonDrivers_.end(), driver) == hwmonDrivers_.end())
            hwmonDrivers_.push_back(driver);
    }
    if (cpu) covered_.push_back("CPU");
    if (gpu) covered_.push_back("GPU");
    std::erase_if(keys_, [&](const std::string& k) {
        const auto die = dieOfKey(k);
        return (die == hid::DieKind::cpu && cpu) || (die == hid::DieKind::gpu && gpu);
    });
}

bool DieSensorGroup::contains(const SMCSensor& sensor) const {
    return sensor.sensorClass == SensorClass::temperature &&
           std::binary_search(sortedKeys_.begin(), sortedKeys_.end(), sensor.key);
}

}  // namespace quorvane
