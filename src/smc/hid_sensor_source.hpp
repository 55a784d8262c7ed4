// Reads the vendor temperature services of the HID event system and condenses them into one
// median reading per product name, in first-seen order. Never fails: without a client, services
// or plausible values the result is just shorter. Not thread-safe: its owner serialises use.
#pragma once

#include <span>
#include <string>
#include <utility>
#include <vector>

#include "platform/hid/hid.hpp"

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

    // The condensing step on raw (name, value) pairs: drops empty and "?" names and values that
    // are NaN or outside -40…130 °C, then takes each name's median.
    static std::vector<HIDSensorReading> condense(std::span<const std::pair<std::string, double>> pairs);

private:
    IOHIDEventSystemClientRef client_ = nullptr;  // owned; none when it could not be created
};

}  // namespace quorvane
