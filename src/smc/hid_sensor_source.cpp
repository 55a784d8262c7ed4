#include "smc/hid_sensor_source.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <unordered_map>

#include "shared/sensors/sensor_classifier.hpp"

namespace quorvane {

namespace {

// Releases a Core Foundation object when it goes out of scope.
template <class Ref>
class Owned {
public:
    explicit Owned(Ref ref) : ref_(ref) {}
    ~Owned() { CFRelease(ref_); }
    Owned(const Owned&) = delete;
    Owned& operator=(const Owned&) = delete;
    Ref get() const { return ref_; }
    explicit operator bool() const { return ref_ != nullptr; }

private:
    Ref ref_;
};

CFNumberRef number(std::int64_t v) { return CFNumberCreate(kCFAllocatorDefault, kCFNumberSInt64Type, &v); }

}  // namespace

HIDSensorSource::HIDSensorSource()
    : client_(IOHIDEventSystemClientCreate(kCFAllocatorDefault)), direct_(hid::directTemperatures()) {
    if (!client_) return;
    Owned page(CFStringCreateWithUTF8(kCFAllocatorDefault, "PrimaryUsagePage"));
    Owned usage(CFStringCreateWithUTF8(kCFAllocatorDefault, "PrimaryUsage"));
    Owned pageValue(number(primaryUsagePage));
    Owned usageValue(number(primaryUsage));
    const CFStringRef keys[] = {page.get(), usage.get()};
    const CFTypeRef values[] = {pageValue.get(), usageValue.get()};
    Owned matching(CFDictionaryCreate(kCFAllocatorDefault, keys, values, 2));
    IOHIDEventSystemClientSetMatching(client_, matching.get());
}

HIDSensorSource::~HIDSensorSource() { CFRelease(client_); }

std::vector<HIDSensorReading> HIDSensorSource::readAll() const {
    if (!client_) return {};
    Owned services(IOHIDEventSystemClientCopyServices(client_));
    if (!services || CFGetTypeID(services.get()) != CFArrayGetTypeID()) return {};
    std::vector<std::pair<std::string, double>> pairs;
    for (CFIndex i = 0; i < CFArrayGetCount(services.get()); ++i) {
        const auto service = static_cast<IOHIDServiceClientRef>(CFArrayGetValueAtIndex(services.get(), i));
        Owned productKey(CFStringCreateWithUTF8(kCFAllocatorDefault, "Product"));
        Owned product(IOHIDServiceClientCopyProperty(service, productKey.get()));
        if (!product || CFGetTypeID(product.get()) != CFStringGetTypeID()) continue;
        Owned event(IOHIDServiceClientCopyEvent(service, kIOHIDEventTypeTemperature, 0, 0));
        if (!event) continue;
        pairs.emplace_back(CFStringGetUTF8(static_cast<CFStringRef>(product.get())),
                           IOHIDEventGetFloatValue(event.get(), kIOHIDEventFieldTemperatureLevel));
    }
    return condense(pairs);
}

bool HIDSensorSource::mapChannels(const std::vector<HIDSensorReading>& readings) const {
    const bool same = mappedNames_.size() == readings.size() &&
                      std::equal(readings.begin(), readings.end(), mappedNames_.begin(),
                                 [](const HIDSensorReading& r, const std::string& name) { return r.name == name; });
    if (same) return true;
    mappedNames_.clear();
    channelOf_.clear();
    const auto& channels = direct_->channels();
    for (const auto& r : readings) {
        const auto it = std::find_if(channels.begin(), channels.end(), [&](const auto& c) { return c.name == r.name; });
        if (it == channels.end()) {
            mappedNames_.clear();
            channelOf_.clear();
            return false;
        }
        mappedNames_.push_back(r.name);
        channelOf_.push_back(static_cast<std::size_t>(it - channels.begin()));
    }
    values_.assign(channels.size(), 0.0);
    return true;
}

void HIDSensorSource::refresh(std::vector<HIDSensorReading>& readings) const {
    if (!direct_ || !mapChannels(readings)) {
        readings = readAll();
        return;
    }
    direct_->readAll(values_);
    for (std::size_t i = 0; i < readings.size(); ++i) {
        const double v = values_[channelOf_[i]];
        readings[i].celsius =
            SensorClassifier::plausibleTemperatureRange.contains(v) ? v : std::numeric_limits<double>::quiet_NaN();
    }
}

std::vector<HIDSensorReading> HIDSensorSource::condense(std::span<const std::pair<std::string, double>> pairs) {
    std::vector<std::string> order;
    std::unordered_map<std::string, std::vector<double>> byName;
    for (const auto& [name, value] : pairs) {
        if (name.empty() || name == placeholderName) continue;
        if (!SensorClassifier::plausibleTemperatureRange.contains(value)) continue;  // NaN included
        auto [it, inserted] = byName.try_emplace(name);
        if (inserted) order.push_back(name);
        it->second.push_back(value);
    }
    std::vector<HIDSensorReading> readings;
    readings.reserve(order.size());
    for (const std::string& name : order) {
        std::vector<double>& v = byName[name];
        std::sort(v.begin(), v.end());
        const std::size_t mid = v.size() / 2;
        readings.push_back({name, v.size() % 2 == 1 ? v[mid] : (v[mid - 1] + v[mid]) / 2.0});
    }
    return readings;
}

}  // namespace quorvane
