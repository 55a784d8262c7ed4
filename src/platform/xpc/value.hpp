// The values an XPC message carries: nil, booleans, signed 64-bit integers, doubles, strings and
// NSError look-alikes, plus the kinds a method signature names them by.
// Value types, not shared.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <variant>
#include <vector>

namespace quorvane::xpc {

// NSError's userInfo key for the human-readable message.
inline constexpr const char* kLocalizedDescriptionKey = "NSLocalizedDescription";

// NSError look-alike.
struct ErrorObject {
    std::string domain;
    std::int64_t code = 0;
    std::map<std::string, std::string> userInfo;

    bool operator==(const ErrorObject&) const = default;
};

// std::monostate is nil.
using Value = std::variant<std::monostate, bool, std::int64_t, double, std::string, ErrorObject>;

// What a signature expects in one position. `errorOrNil` accepts an ErrorObject or nil (a reply
// block's `NSError * _Nullable`); every other kind accepts exactly its own alternative.
enum class ValueKind { nil, boolean, int64, float64, string, error, errorOrNil };

const char* valueKindName(ValueKind kind);
bool matches(ValueKind kind, const Value& value);
// Same length and every position matches.
bool matches(const std::vector<ValueKind>& kinds, const std::vector<Value>& values);

// The errors a client-side call fails with when its connection ends first, as NSXPCConnection
// reports them (NSCocoaErrorDomain, NSXPCConnectionInterrupted / NSXPCConnectionInvalid).
inline constexpr const char* kCocoaErrorDomain = "NSCocoaErrorDomain";
inline constexpr std::int64_t kConnectionInterrupted = 4097;
inline constexpr std::int64_t kConnectionInvalid = 4099;
ErrorObject makeConnectionError(std::int64_t code);

// "<domain> error <code>: <description>" — for log lines and messages.
std::string describe(const ErrorObject& error);

}  // namespace quorvane::xpc
