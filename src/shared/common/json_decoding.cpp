#include "shared/common/json_decoding.hpp"

#include <cmath>

#include "shared/smc/smc_data_codec.hpp"

namespace quorvane::json_decoding {

namespace {
std::string found(const nlohmann::json& value) { return std::string(", found ") + value.type_name(); }
}  // namespace

nlohmann::json parseJSON(std::string_view text) {
    if (text.size() > maximumTextBytes)
        throw DecodingError::dataCorrupted("", "JSON text of " + std::to_string(text.size()) +
                                                   " bytes exceeds the limit of " +
                                                   std::to_string(maximumTextBytes));
    try {
        return nlohmann::json::parse(text);
    } catch (const nlohmann::json::exception& e) {
        throw DecodingError::dataCorrupted("", std::string("The given data was not valid JSON: ") + e.what());
    }
}

std::string childPath(const std::string& path, std::string_view key) {
    if (path.empty()) return std::string(key);
    std::string p = path;
    p += '.';
    p += key;
    return p;
}

std::string childPath(const std::string& path, std::size_t index) {
    return path + "[" + std::to_string(index) + "]";
}

double number(const nlohmann::json& value, const std::string& path) {
    if (!value.is_number()) throw DecodingError::typeMismatch(path, "expected a number" + found(value));
    return value.get<double>();
}

bool boolean(const nlohmann::json& value, const std::string& path) {
    if (!value.is_boolean()) throw DecodingError::typeMismatch(path, "expected a boolean" + found(value));
    return value.get<bool>();
}

std::string string(const nlohmann::json& value, const std::string& path) {
    if (!value.is_string()) throw DecodingError::typeMismatch(path, "expected a string" + found(value));
    return value.get<std::string>();
}

std::int64_t int64(const nlohmann::json& value, const std::string& path) {
    if (value.is_number_integer() && !value.is_number_unsigned()) return value.get<std::int64_t>();
    if (value.is_number_unsigned()) {
        const std::uint64_t u = value.get<std::uint64_t>();
        if (u <= static_cast<std::uint64_t>(INT64_MAX)) return static_cast<std::int64_t>(u);
        throw DecodingError::dataCorrupted(path, "Parsed JSON number <" + std::to_string(u) +
                                                     "> does not fit in a signed 64-bit integer.");
    }
    if (value.is_number_float()) {
        // Range-checked before the cast. A literal beyond either end of the range is parsed as the
        // nearest double, which may be ±2^63 exactly: neither end is taken from a double. (An
        // integer literal of -2^63 itself stays an integer and never comes here.)
        const double d = value.get<double>();
        if (d == std::trunc(d) && d > -9223372036854775808.0 && d < 9223372036854775808.0)
            return static_cast<std::int64_t>(d);
        throw DecodingError::dataCorrupted(path, "Parsed JSON number <" + shortestDecimal(d) +
                                                     "> does not fit in a signed 64-bit integer.");
    }
    throw DecodingError::typeMismatch(path, "expected an integer" + found(value));
}

Uuid uuid(const nlohmann::json& value, const std::string& path) {
    const std::string text = string(value, path);
    if (auto u = Uuid::parse(text)) return *u;
    throw DecodingError::dataCorrupted(path, "Attempted to decode UUID from invalid UUID string.");
}

ObjectReader::ObjectReader(const nlohmann::json& object, std::string path) : object_(object), path_(std::move(path)) {
    if (!object_.is_object()) throw DecodingError::typeMismatch(path_, "expected an object" + found(object_));
}

const nlohmann::json* ObjectReader::find(std::string_view key) const {
    const auto it = object_.find(key);
    if (it == object_.end() || it->is_null()) return nullptr;
    return &*it;
}

const nlohmann::json& ObjectReader::require(std::string_view key) const {
    const auto it = object_.find(key);
    if (it == object_.end()) throw DecodingError::keyNotFound(pathOf(key));
    return *it;
}

}  // namespace quorvane::json_decoding
