// The die sensors of a Linux machine's own chips, as the hwmon devices publish them: the CPU's
// `coretemp` (package and per-core inputs) and the discrete GPU drivers' (`amdgpu`, `radeon`,
// `nouveau`: temp1). These stand for the Mac's HID die services. Each input file is opened on its
// first read and read with pread on the caller's thread; one that vanished (ENODEV, ENOENT) is
// opened again.
// Thread-safe: the channel list is immutable; reads are serialised by one mutex.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/iokit/kernel_files.hpp"

namespace quorvane::hid {

enum class DieKind { cpu, gpu };

struct HwmonChannel {
    // The service name: the driver, then the channel's label ("coretemp Package id 0",
    // "coretemp Core 2", "amdgpu edge", "radeon temp1"); a second device of the same driver is
    // "coretemp.1 Core 0".
    std::string name;
    DieKind kind = DieKind::cpu;
    std::string inputPath;  // the tempN_input file
};

// Which die a service of that name measures, when a hwmon driver named it; none otherwise.
std::optional<DieKind> hwmonDieKind(std::string_view serviceName);

// The text of a tempN_input file ("%d\n", millidegrees Celsius) in °C: optional '-', 1 to 9
// digits, at most one trailing newline. None for anything else.
std::optional<double> parseMillidegrees(std::string_view text);

// The directory sysfs is mounted on: QUORVANE_SYSFS_ROOT when set and not empty, else "/sys".
std::string sysfsRoot();

class HwmonTemperatures {
public:
    // Inputs are files of at most this many bytes; a longer one is not the driver's.
    static constexpr std::size_t kMaxInputBytes = 32;

    // Finds the channels under sysRoot/class/hwmon/* (devices in numeric order, inputs by
    // number). No channel at all when nothing matches.
    explicit HwmonTemperatures(const std::string& sysRoot);
    ~HwmonTemperatures();
    HwmonTemperatures(const HwmonTemperatures&) = delete;
    HwmonTemperatures& operator=(const HwmonTemperatures&) = delete;

    const std::vector<HwmonChannel>& channels() const { return channels_; }

    // The channel's reading in °C; NaN when it does not read now.
    double read(std::size_t channel);
    // Every channel into out (at most out.size() of them).
    void readAll(std::span<double> out);
    // Opens made so far, first ones and re-opens (cost figures, tests).
    std::uint64_t opens() const;

private:
    double readLocked(std::size_t channel);

    std::vector<HwmonChannel> channels_;
    mutable std::mutex mutex_;
    iokit::AttributeFiles files_;  // guarded by mutex_
};

// The process's hwmon die sensors under sysfsRoot(), found on first use; null when there are none.
std::shared_ptr<HwmonTemperatures> hwmonTemperatures();

}  // namespace quorvane::hid
