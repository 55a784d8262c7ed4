#include "platform/hid/hwmon_temperatures.hpp"

#include <dirent.h>

#include <algorithm>
#include <cstdlib>
#include <limits>
#include <map>

#include "platform/iokit/kernel_files.hpp"

namespace quorvane::hid {

namespace {

struct Driver {
    const char* name;
    DieKind kind;
    bool firstInputOnly;  // GPU drivers: temp1 is the die (edge); later inputs are memory and such
};

constexpr Driver kDrivers[] = {
    {"coretemp", DieKind::cpu, false},
    {"amdgpu", DieKind::gpu, true},
    {"radeon", DieKind::gpu, true},
    {"nouveau", DieKind::gpu, true},
};

const Driver* driverNamed(std::string_view name) {
    for (const Driver& d : kDrivers)
        if (name == d.name) return &d;
    return nullptr;
}

// A small attribute file's text without its trailing newline and padding; none when it does not read.
std::optional<std::string> readSmallFile(const std::string& path) {
    const iokit::FileResult r = iokit::readAttributeOnce(path);
    if (!r.ok()) return std::nullopt;
    std::string text(iokit::attributeText(r.data));
    while (!text.empty() && text.back() == ' ') text.pop_back();
    return text;
}

// "prefix<digits>suffix" → the number; none for any other name.
std::optional<unsigned> numberIn(std::string_view name, std::string_view prefix, std::string_view suffix) {
    if (name.size() <= prefix.size() + suffix.size() || name.substr(0, prefix.size()) != prefix ||
        name.substr(name.size() - suffix.size()) != suffix)
        return std::nullopt;
    const std::string_view digits = name.substr(prefix.size(), name.size() - prefix.size() - suffix.size());
    if (digits.size() > 6) return std::nullopt;
    unsigned value = 0;
    for (char c : digits) {
        if (c < '0' || c > '9') return std::nullopt;
        value = value * 10 + static_cast<unsigned>(c - '0');
    }
    return value;
}

// The entries of a directory whose names are prefix<N>suffix, by N.
std::map<unsigned, std::string> numberedEntries(const std::string& directory, std::string_view prefix,
                                                std::string_view suffix) {
    std::map<unsigned, std::string> out;
    DIR* dir = ::opendir(directory.c_str());
    if (!dir) return out;
    // A directory of a few hundred entries at most; cap what a strange tree can make us hold.
    constexpr std::size_t kMaxEntries = 4096;
    std::size_t seen = 0;
    while (const dirent* entry = ::readdir(dir)) {
        if (++seen > kMaxEntries) break;
        if (const auto n = numberIn(entry->d_name, prefix, suffix)) out.emplace(*n, entry->d_name);
    }
    ::closedir(dir);
    return out;
}

}  // namespace

std::optional<DieKind> hwmonDieKind(std::string_view serviceName) {
    for (const Driver& d : kDrivers) {
        const std::string_view name = d.name;
        if (serviceName.size() > name.size() && serviceName.substr(0, name.size()) == name &&
            (serviceName[name.size()] == ' ' || serviceName[name.size()] == '.'))
            return d.kind;
    }
    return std::nullopt;
}

std::optional<double> parseMillidegrees(std::string_view text) {
    const auto milli = iokit::parseAttributeInteger(text);
    // Nine digits are far beyond any die; more is not the driver's.
    constexpr std::int64_t kLimit = 999'999'999;
    if (!milli || *milli > kLimit || *milli < -kLimit) return std::nullopt;
    return static_cast<double>(*milli) / 1000.0;
}

std::string sysfsRoot() {
    const char* root = std::getenv("QUORVANE_SYSFS_ROOT");
    return root && *root ? std::string(root) : std::string("/sys");
}

HwmonTemperatures::HwmonTemperatures(const std::string& sysRoot) {
    const std::string classDirectory = sysRoot + "/class/hwmon";
    std::map<std::string, unsigned> devicesOfDriver;
    for (const auto& [number, entry] : numberedEntries(classDirectory, "hwmon", "")) {
        const std::string device = classDirectory + "/" + entry;
        const auto driverName = readSmallFile(device + "/name");
        const Driver* driver = driverName ? driverNamed(*driverName) : nullptr;
        if (!driver) continue;
        const unsigned ordinal = devicesOfDriver[driver->name]++;
        const std::string prefix =
            ordinal == 0 ? std::string(driver->name) : std::string(driver->name) + "." + std::to_string(ordinal);
        for (const auto& [input, file] : numberedEntries(device, "temp", "_input")) {
            if (driver->firstInputOnly && input != 1) continue;
            const auto label = readSmallFile(device + "/temp" + std::to_string(input) + "_label");
            const std::string shown = label && !label->empty() ? *label : "temp" + std::to_string(input);
            channels_.push_back({prefix + " " + shown, driver->kind, device + "/" + file});
        }
    }
}

HwmonTemperatures::~HwmonTemperatures() = default;

double HwmonTemperatures::readLocked(std::size_t channel) {
    constexpr double kNone = std::numeric_limits<double>::quiet_NaN();
    if (channel >= channels_.size()) return kNone;
    // A file that did not read is opened afresh next time; one whose device went away under a
    // kept descriptor (ENODEV, ENOENT) is opened again at once.
    const iokit::FileResult r = files_.read(channels_[channel].inputPath);
    if (!r.ok() || r.data.size() >= kMaxInputBytes) return kNone;
    const auto celsius = parseMillidegrees(r.data);
    return celsius ? *celsius : kNone;
}

double HwmonTemperatures::read(std::size_t channel) {
    std::lock_guard lock(mutex_);
    return readLocked(channel);
}

void HwmonTemperatures::readAll(std::span<double> out) {
    std::lock_guard lock(mutex_);
    const std::size_t count = std::min(out.size(), channels_.size());
    for (std::size_t i = 0; i < count; ++i) out[i] = readLocked(i);
}

std::uint64_t HwmonTemperatures::opens() const {
    std::lock_guard lock(mutex_);
    return files_.opens();
}

std::shared_ptr<HwmonTemperatures> hwmonTemperatures() {
    static const std::shared_ptr<HwmonTemperatures> found = []() -> std::shared_ptr<HwmonTemperatures> {
        auto sensors = std::make_shared<HwmonTemperatures>(sysfsRoot());
        return sensors->channels().empty() ? nullptr : sensors;
    }();
    return found;
}

}  // namespace quorvane::hid
