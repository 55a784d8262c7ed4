// Reads the vendor temperature services of the HID event system and condenses them into one
// median reading per product name, in first-seen order. Never fails: without a client, services
// or plausible values the result is just shorter. Where the services are the machine's hwmon die
// sensors (Linux), a refresh reads their files directly. Not thread-safe: its owner serialises use.
#pragma once

#include <memory>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "platform/hid/hid.hpp"
#include "platform/hid/hwmon_temperatures.hpp"

namespace quorvane {

struct HIDSensorReading {
    std::string name;
    double celsius = 0;
    friend bool operator==(const HIDSensorReading&, const HIDSensorReading&) = default;
};

class HIDSensorSource {
public:
    static constexpr std::int64_t primaryUsagePage = 0xFF00;
    static constexpr std::int64_t primaryUsage = 5;
    static constexpr const char* placeholderName = "?";

    HIDSensorSource();
    ~HIDSensorSource();
    HIDSensorSource(const HIDSensorSource&) = delete;
    HIDSensorSource& operator=(const HIDSensorSource&) = delete;

    std::vector<HIDSensorReading> readAll() const;
    // Brings a list readAll() returned up to date. Over hwmon die sensors only the values change,
    // read from their files (no copy of the services, no allocation once the list is mapped); a
    // value that does not read now is NaN until it does. Otherwise the list is read again.
    void refresh(std::vector<HIDSensorReading>& readings) const;

    // The condensing step on raw (name, value) pairs: drops empty and "?" names and values that
    // are NaN or outside -40…130 °C, then takes each name's median.
    static std::vector<HIDSensorReading> condense(std::span<const std::pair<std::string, double>> pairs);

private:
    // Maps each reading to its hwmon channel; false when one has none.
    bool mapChannels(const std::vector<HIDSensorReading>& readings) const;

    IOHIDEventSystemClientRef client_ = nullptr;  // owned; none when it could not be created
    std::shared_ptr<hid::HwmonTemperatures> direct_;  // null unless hwmon serves the services
    mutable std::vector<std::string> mappedNames_;    // the names channelOf_ was made for
    mutable std::vector<std::size_t> channelOf_;      // reading index → channel
    mutable std::vector<double> values_;              // one per channel, reused every refresh
};

}  // namespace quorvane
