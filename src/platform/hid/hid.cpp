#include "platform/hid/hid.hpp"

#include <sys/socket.h>
#include <unistd.h>

#include <cmath>
#include <map>
#include <mutex>

#include <nlohmann/json.hpp>

#include "platform/bootstrap/bootstrap.hpp"
#include "platform/hid/hwmon_temperatures.hpp"
#include "platform/iokit/kernel_smc_service.hpp"
#include "platform/bootstrap/line_socket.hpp"
#include "platform/iokit/socket_io.hpp"

namespace {

enum : CFTypeID { kStringID = 7, kNumberID = 22, kArrayID = 19, kDictionaryID = 18, kServiceID = 40, kEventID = 41,
                  kClientID = 42 };

const CFTypeObject* object(CFTypeRef ref) { return static_cast<const CFTypeObject*>(ref); }

}  // namespace

struct CFStringObject final : CFTypeObject {
    explicit CFStringObject(std::string t) : text(std::move(t)) {}
    CFTypeID typeID() const override { return kStringID; }
    const std::string text;
};
struct CFNumberObject final : CFTypeObject {
    explicit CFNumberObject(double v) : value(v) {}
    CFTypeID typeID() const override { return kNumberID; }
    const double value;
};
struct CFArrayObject final : CFTypeObject {
    explicit CFArrayObject(std::vector<CFTypeRef> v) : values(std::move(v)) {}
    ~CFArrayObject() override {
        for (CFTypeRef v : values) CFRelease(v);
    }
    CFTypeID typeID() const override { return kArrayID; }
    const std::vector<CFTypeRef> values;  // each retained
};
struct CFDictionaryObject final : CFTypeObject {
    CFTypeID typeID() const override { return kDictionaryID; }
    std::map<std::string, double> numbers;  // the stand-in keeps the numeric entries only
};
struct HIDServiceClientObject final : CFTypeObject {
    explicit HIDServiceClientObject(quorvane::hid::ServiceRecord r) : record(std::move(r)) {}
    CFTypeID typeID() const override { return kServiceID; }
    const quorvane::hid::ServiceRecord record;
};
struct HIDEventObject final : CFTypeObject {
    explicit HIDEventObject(double t) : temperature(t) {}
    CFTypeID typeID() const override { return kEventID; }
    const double temperature;
};
struct HIDEventSystemClientObject final : CFTypeObject {
    CFTypeID typeID() const override { return kClientID; }
    std::optional<std::int64_t> usagePage, usage;  // set by the owner before use
};

CFTypeID CFGetTypeID(CFTypeRef ref) { return ref ? object(ref)->typeID() : 0; }
CFTypeID CFStringGetTypeID() { return kStringID; }
CFTypeID CFNumberGetTypeID() { return kNumberID; }
CFTypeID CFArrayGetTypeID() { return kArrayID; }

CFTypeRef CFRetain(CFTypeRef ref) {
    if (ref) object(ref)->retainCount.fetch_add(1, std::memory_order_relaxed);
    return ref;
}

void CFRelease(CFTypeRef ref) {
    if (ref && object(ref)->retainCount.fetch_sub(1, std::memory_order_acq_rel) == 1) delete object(ref);
}

CFStringRef CFStringCreateWithUTF8(CFAllocatorRef, const std::string& text) { return new CFStringObject(text); }
std::string CFStringGetUTF8(CFStringRef string) { return string ? string->text : std::string(); }

CFNumberRef CFNumberCreate(CFAllocatorRef, CFNumberType type, const void* value) {
    if (value == nullptr) return nullptr;
    if (type == kCFNumberSInt64Type) return new CFNumberObject(static_cast<double>(*static_cast<const std::int64_t*>(value)));
    if (type == kCFNumberDoubleType) return new CFNumberObject(*static_cast<const double*>(value));
    return nullptr;
}

bool CFNumberGetValue(CFNumberRef number, CFNumberType type, void* value) {
    if (number == nullptr || value == nullptr) return false;
    if (type == kCFNumberDoubleType) {
        *static_cast<double*>(value) = number->value;
        return true;
    }
    // Integers only from values an int64 holds exactly; anything else would be undefined.
    if (type == kCFNumberSInt64Type && std::isfinite(number->value) && number->value >= -9.2e18 &&
        number->value <= 9.2e18) {
        *static_cast<std::int64_t*>(value) = static_cast<std::int64_t>(number->value);
        return number->value == std::trunc(number->value);
    }
    return false;
}

HIDMatchingDictionaryRef CFDictionaryCreate(CFAllocatorRef, const CFStringRef* keys, const CFTypeRef* values, CFIndex count) {
    auto* d = new CFDictionaryObject;
    for (CFIndex i = 0; i < count; ++i) {
        if (keys[i] && CFGetTypeID(values[i]) == kNumberID)
            d->numbers[keys[i]->text] = static_cast<const CFNumberObject*>(object(values[i]))->value;
    }
    return d;
}

CFIndex CFArrayGetCount(CFArrayRef array) { return array ? static_cast<CFIndex>(array->values.size()) : 0; }
CFTypeRef CFArrayGetValueAtIndex(CFArrayRef array, CFIndex index) {
    if (!array || index < 0 || index >= CFArrayGetCount(array)) return nullptr;
    return array->values[static_cast<std::size_t>(index)];
}

namespace quorvane::hid {

namespace {

std::mutex registryMutex;
std::shared_ptr<EventSystem> registered;  // guarded by registryMutex

// Apple silicon under Linux: the temperature channels of the macsmc-hwmon device, published as
// the vendor temperature services the Mac's event system would show.
class HwmonEventSystem final : public EventSystem {
public:
    explicit HwmonEventSystem(std::shared_ptr<iokit::KernelSMCService> smc) : smc_(std::move(smc)) {}
    std::vector<ServiceRecord> services() override {
        std::vector<ServiceRecord> out;
        for (const auto& t : smc_->readTemperatures()) out.push_back({0xFF00, 5, t.label, t.celsius});
        return out;
    }

private:
    std::shared_ptr<iokit::KernelSMCService> smc_;
};

// An Intel Mac under Linux: the CPU's coretemp and the GPU drivers' die inputs, published as the
// die services of the Mac's event system.
class HwmonDieEventSystem final : public EventSystem {
public:
    explicit HwmonDieEventSystem(std::shared_ptr<HwmonTemperatures> sensors) : sensors_(std::move(sensors)) {}
    std::vector<ServiceRecord> services() override {
        std::vector<ServiceRecord> out;
        const auto& channels = sensors_->channels();
        for (std::size_t i = 0; i < channels.size(); ++i) {
            const double celsius = sensors_->read(i);
            out.push_back({0xFF00, 5, channels[i].name, std::isnan(celsius) ? std::nullopt : std::optional(celsius)});
        }
        return out;
    }

private:
    std::shared_ptr<HwmonTemperatures> sensors_;
};

std::shared_ptr<EventSystem> inProcess() {
    {
        std::lock_guard lock(registryMutex);
        if (registered) return registered;
    }
    const auto kind = iokit::smcBackend().kind;
    if (kind == iokit::SMCBackend::Kind::applesmc) {
        // Only beside the kernel's own SMC driver: the virtual Mac over sockets brings its own.
        static const std::shared_ptr<EventSystem> dies = []() -> std::shared_ptr<EventSystem> {
            auto sensors = hwmonTemperatures();
            return sensors ? std::make_shared<HwmonDieEventSystem>(std::move(sensors)) : nullptr;
        }();
        return dies;
    }
    if (kind != iokit::SMCBackend::Kind::macsmcHwmon) return nullptr;
    static const std::shared_ptr<EventSystem> hwmon = [] {
        auto smc = iokit::kernelSMCService();
        return smc ? std::make_shared<HwmonEventSystem>(std::move(smc)) : nullptr;
    }();
    return hwmon;
}

// One request over the socket; none when the virtual Mac is absent, slow, or answers badly.
std::optional<std::vector<ServiceRecord>> askSocket() {
    const auto reply = bootstrap::askLine(bootstrap::socketPath(kEventSystemSocketName), "services", kMaxReplyBytes,
                                          kReplyTimeoutMilliseconds);
    if (!reply) return std::nullopt;
    return decodeServices(*reply);
}

nlohmann::json temperatureJSON(double t) {
    if (std::isnan(t)) return "nan";
    if (std::isinf(t)) return t > 0 ? "inf" : "-inf";
    return t;
}

std::optional<double> temperatureFromJSON(const nlohmann::json& j, bool& ok) {
    if (j.is_null()) return std::nullopt;
    if (j.is_number()) return j.get<double>();
    if (j == "nan") return std::nan("");
    if (j == "inf") return HUGE_VAL;
    if (j == "-inf") return -HUGE_VAL;
    ok = false;
    return std::nullopt;
}

}  // namespace

std::shared_ptr<HwmonTemperatures> directTemperatures() {
    {
        std::lock_guard lock(registryMutex);
        if (registered) return nullptr;
    }
    return iokit::smcBackend().kind == iokit::SMCBackend::Kind::applesmc ? hwmonTemperatures() : nullptr;
}

void registerEventSystem(std::shared_ptr<EventSystem> system) {
    std::lock_guard lock(registryMutex);
    registered = std::move(system);
}

void unregisterEventSystem() {
    std::lock_guard lock(registryMutex);
    registered.reset();
}

std::string encodeServices(const std::vector<ServiceRecord>& services) {
    nlohmann::json list = nlohmann::json::array();
    for (const ServiceRecord& s : services) {
        nlohmann::json j;
        j["usagePage"] = s.usagePage;
        j["usage"] = s.usage;
        if (const auto* text = std::get_if<std::string>(&s.product)) j["product"] = *text;
        else if (const auto* number = std::get_if<double>(&s.product)) j["product"] = temperatureJSON(*number);
        else j["product"] = nullptr;
        j["temperature"] = s.temperature ? temperatureJSON(*s.temperature) : nlohmann::json(nullptr);
        list.push_back(std::move(j));
    }
    // Product names are outside text: never let one break the line framing.
    return list.dump(-1, ' ', true, nlohmann::json::error_handler_t::replace);
}

std::optional<std::vector<ServiceRecord>> decodeServices(const std::string& text) {
    const auto list = nlohmann::json::parse(text, nullptr, false);
    if (!list.is_array()) return std::nullopt;
    std::vector<ServiceRecord> services;
    for (const auto& j : list) {
        if (!j.is_object()) return std::nullopt;
        ServiceRecord s;
        const auto page = j.find("usagePage"), usage = j.find("usage"), product = j.find("product"),
                   temperature = j.find("temperature");
        if (page == j.end() || !page->is_number_integer() || usage == j.end() || !usage->is_number_integer() ||
            product == j.end() || temperature == j.end())
            return std::nullopt;
        s.usagePage = page->get<std::int64_t>();
        s.usage = usage->get<std::int64_t>();
        bool ok = true;
        if (product->is_string()) s.product = product->get<std::string>();
        else if (product->is_number()) s.product = product->get<double>();
        else if (!product->is_null()) ok = false;
        s.temperature = temperatureFromJSON(*temperature, ok);
        if (!ok) return std::nullopt;
        services.push_back(std::move(s));
    }
    return services;
}

}  // namespace quorvane::hid

IOHIDEventSystemClientRef IOHIDEventSystemClientCreate(CFAllocatorRef) {
    using namespace quorvane;
    if (!hid::inProcess()) {
        const int fd = iokit::socket_io::connectUnix(bootstrap::socketPath(hid::kEventSystemSocketName));
        if (fd < 0) return nullptr;
        ::close(fd);
    }
    return new HIDEventSystemClientObject;
}

void IOHIDEventSystemClientSetMatching(IOHIDEventSystemClientRef client, HIDMatchingDictionaryRef matching) {
    if (!client || !matching) return;
    auto integer = [&](const char* key) -> std::optional<std::int64_t> {
        auto it = matching->numbers.find(key);
        if (it == matching->numbers.end()) return std::nullopt;
        return static_cast<std::int64_t>(std::llround(it->second));
    };
    client->usagePage = integer("PrimaryUsagePage");
    client->usage = integer("PrimaryUsage");
}

CFArrayRef IOHIDEventSystemClientCopyServices(IOHIDEventSystemClientRef client) {
    using namespace quorvane;
    if (!client) return nullptr;
    std::optional<std::vector<hid::ServiceRecord>> records;
    if (auto system = hid::inProcess()) records = system->services();
    else records = hid::askSocket();
    if (!records) return nullptr;
    std::vector<CFTypeRef> matched;
    for (auto& r : *records) {
        if (client->usagePage && r.usagePage != *client->usagePage) continue;
        if (client->usage && r.usage != *client->usage) continue;
        matched.push_back(static_cast<const CFTypeObject*>(new HIDServiceClientObject(std::move(r))));
    }
    return new CFArrayObject(std::move(matched));
}

CFTypeRef IOHIDServiceClientCopyProperty(IOHIDServiceClientRef service, CFStringRef key) {
    if (!service || !key || key->text != "Product") return nullptr;
    if (const auto* text = std::get_if<std::string>(&service->record.product)) return new CFStringObject(*text);
    if (const auto* number = std::get_if<double>(&service->record.product)) return new CFNumberObject(*number);
    return nullptr;
}

IOHIDEventRef IOHIDServiceClientCopyEvent(IOHIDServiceClientRef service, std::int64_t type, std::int32_t, std::int64_t) {
    if (!service || type != kIOHIDEventTypeTemperature || !service->record.temperature) return nullptr;
    return new HIDEventObject(*service->record.temperature);
}

double IOHIDEventGetFloatValue(IOHIDEventRef event, std::int32_t field) {
    if (!event || field != kIOHIDEventFieldTemperatureLevel) return 0;
    return event->temperature;
}
