#include "platform/xpc/value.hpp"

namespace quorvane::xpc {

const char* valueKindName(ValueKind kind) {
    switch (kind) {
        case ValueKind::nil: return "nil";
        case ValueKind::boolean: return "boolean";
        case ValueKind::int64: return "int64";
        case ValueKind::float64: return "float64";
        case ValueKind::string: return "string";
        case ValueKind::error: return "error";
        case ValueKind::errorOrNil: return "errorOrNil";
    }
    return "unknown";
}

bool matches(ValueKind kind, const Value& value) {
    switch (kind) {
        case ValueKind::nil: return std::holds_alternative<std::monostate>(value);
        case ValueKind::boolean: return std::holds_alternative<bool>(value);
        case ValueKind::int64: return std::holds_alternative<std::int64_t>(value);
        case ValueKind::float64: return std::holds_alternative<double>(value);
        case ValueKind::string: return std::holds_alternative<std::string>(value);
        case ValueKind::error: return std::holds_alternative<ErrorObject>(value);
        case ValueKind::errorOrNil:
            return std::holds_alternative<ErrorObject>(value) || std::holds_alternative<std::monostate>(value);
    }
    return false;
}

bool matches(const std::vector<ValueKind>& kinds, const std::vector<Value>& values) {
    if (kinds.size() != values.size()) return false;
    for (std::size_t i = 0; i < kinds.size(); ++i) {
        if (!matches(kinds[i], values[i])) return false;
    }
    return true;
}

ErrorObject makeConnectionError(std::int64_t code) {
    return ErrorObject{kCocoaErrorDomain, code,
                       {{kLocalizedDescriptionKey, "Couldn't communicate with a helper application."}}};
}

std::string describe(const ErrorObject& error) {
    std::string text = error.domain + " error " + std::to_string(error.code);
    auto it = error.userInfo.find(kLocalizedDescriptionKey);
    if (it != error.userInfo.end()) text += ": " + it->second;
    return text;
}

}  // namespace quorvane::xpc
