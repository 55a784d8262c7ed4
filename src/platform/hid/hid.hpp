// HID event-system stand-in: the IOHIDEventSystemClient calls the temperature reader makes, with
// the small Core Foundation subset they need (strings, numbers, arrays, dictionaries; retain and
// release). Services come from an in-process event system (tests) or, when none is registered,
// from the virtual Mac's socket in the bootstrap directory. Thread-safe; each object is immutable
// after creation except the client's matching, which its owner sets before use.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

// ---- Core Foundation subset ----
using CFIndex = long;
using CFTypeID = unsigned long;
using CFAllocatorRef = const void*;
inline constexpr CFAllocatorRef kCFAllocatorDefault = nullptr;

struct CFTypeObject {
    virtual ~CFTypeObject() = default;
    virtual CFTypeID typeID() const = 0;
    mutable std::atomic<long> retainCount{1};
};
struct CFStringObject;
struct CFNumberObject;
struct CFArrayObject;
struct CFDictionaryObject;
struct HIDServiceClientObject;
struct HIDEventObject;
struct HIDEventSystemClientObject;
// As on the Mac, any object converts to CFTypeRef; every object derives from CFTypeObject alone.
using CFTypeRef = const void*;
using CFStringRef = const CFStringObject*;
using CFNumberRef = const CFNumberObject*;
using CFArrayRef = const CFArrayObject*;
// A CFDictionary; named apart because the IOKit stand-in already owns the name CFDictionaryRef
// for its service matching dictionaries.
using HIDMatchingDictionaryRef = const CFDictionaryObject*;
using IOHIDServiceClientRef = const HIDServiceClientObject*;
using IOHIDEventRef = const HIDEventObject*;
using IOHIDEventSystemClientRef = HIDEventSystemClientObject*;

enum CFNumberType { kCFNumberSInt64Type = 4, kCFNumberDoubleType = 13 };

CFTypeID CFGetTypeID(CFTypeRef object);
CFTypeID CFStringGetTypeID();
CFTypeID CFNumberGetTypeID();
CFTypeID CFArrayGetTypeID();
CFTypeRef CFRetain(CFTypeRef object);
// Releases one reference; null is ignored (Apple's traps; a stand-in need not).
void CFRelease(CFTypeRef object);

CFStringRef CFStringCreateWithUTF8(CFAllocatorRef allocator, const std::string& text);
// The UTF-8 bytes of a string object (the stand-in of CFStringGetCString with UTF-8).
std::string CFStringGetUTF8(CFStringRef string);
CFNumberRef CFNumberCreate(CFAllocatorRef allocator, CFNumberType type, const void* value);
bool CFNumberGetValue(CFNumberRef number, CFNumberType type, void* value);
// Keys are strings; values are retained.
HIDMatchingDictionaryRef CFDictionaryCreate(CFAllocatorRef allocator, const CFStringRef* keys, const CFTypeRef* values,
                                   CFIndex count);
CFIndex CFArrayGetCount(CFArrayRef array);
// Not retained (the Get rule).
CFTypeRef CFArrayGetValueAtIndex(CFArrayRef array, CFIndex index);

// ---- IOKit HID event system ----
inline constexpr std::int64_t kIOHIDEventTypeTemperature = 15;
inline constexpr std::int32_t kIOHIDEventFieldTemperatureLevel = 15 << 16;

// None when no event system can be reached.
IOHIDEventSystemClientRef IOHIDEventSystemClientCreate(CFAllocatorRef allocator);
// Keys "PrimaryUsagePage" and "PrimaryUsage" with integer values filter the services.
void IOHIDEventSystemClientSetMatching(IOHIDEventSystemClientRef client, HIDMatchingDictionaryRef matching);
// The matching services (IOHIDServiceClientRef elements), or none when the system cannot be asked.
CFArrayRef IOHIDEventSystemClientCopyServices(IOHIDEventSystemClientRef client);
// "Product": a string, a number, or none, as the service publishes it.
CFTypeRef IOHIDServiceClientCopyProperty(IOHIDServiceClientRef service, CFStringRef key);
// The service's current event of that type, or none.
IOHIDEventRef IOHIDServiceClientCopyEvent(IOHIDServiceClientRef service, std::int64_t type, std::int32_t options,
                                          std::int64_t timestamp);
// The temperature level for kIOHIDEventFieldTemperatureLevel; 0 for any other field.
double IOHIDEventGetFloatValue(IOHIDEventRef event, std::int32_t field);

namespace quorvane::hid {

// One published service as the event system holds it.
struct ServiceRecord {
    std::int64_t usagePage = 0;
    std::int64_t usage = 0;
    std::variant<std::monostate, std::string, double> product;  // none, a string, or a number
    std::optional<double> temperature;                           // none: the service has no event
};

// Something that publishes HID services: the virtual Mac, or a test double.
class EventSystem {
public:
    virtual ~EventSystem() = default;
    virtual std::vector<ServiceRecord> services() = 0;
};

inline constexpr const char* kEventSystemSocketName = "com.apple.iohideventsystem";
// Bounds on one socket exchange: a peer cannot make the reader wait or allocate without limit.
inline constexpr std::size_t kMaxReplyBytes = 1 << 20;
inline constexpr int kReplyTimeoutMilliseconds = 2000;

class HwmonTemperatures;
// The hwmon die sensors behind the event system's services, when that is what serves them (an
// Intel Mac under Linux, nothing registered in-process): a reader can take the values straight
// from their files instead of copying the services each time. Null otherwise.
std::shared_ptr<HwmonTemperatures> directTemperatures();

// In-process event system; hides the socket while registered.
void registerEventSystem(std::shared_ptr<EventSystem> system);
void unregisterEventSystem();

class ScopedEventSystemRegistration {
public:
    explicit ScopedEventSystemRegistration(std::shared_ptr<EventSystem> system) {
        registerEventSystem(std::move(system));
    }
    ~ScopedEventSystemRegistration() { unregisterEventSystem(); }
    ScopedEventSystemRegistration(const ScopedEventSystemRegistration&) = delete;
    ScopedEventSystemRegistration& operator=(const ScopedEventSystemRegistration&) = delete;
};

// Wire form of a service list (one JSON array line); decoding refuses anything malformed.
std::string encodeServices(const std::vector<ServiceRecord>& services);
std::optional<std::vector<ServiceRecord>> decodeServices(const std::string& text);

// Serves an event system on a Unix socket: each connection sends "services\n" and gets one line.
// Serves one connection at a time on its own thread with a receive deadline. Thread-safe.
class SocketEventSystemServer {
public:
    // Throws std::system_error when the socket cannot be bound.
    SocketEventSystemServer(std::string path, std::shared_ptr<EventSystem> system);
    ~SocketEventSystemServer();
    SocketEventSystemServer(const SocketEventSystemServer&) = delete;
    SocketEventSystemServer& operator=(const SocketEventSystemServer&) = delete;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace quorvane::hid
