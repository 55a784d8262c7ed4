// Typed reads from parsed JSON that fail with DecodingError naming the key path, shared by every
// stored record's decoder. Pure, thread-safe.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "shared/common/decoding_error.hpp"
#include "shared/common/uuid.hpp"

namespace quorvane::json_decoding {

// Largest JSON text parseJSON accepts; stored records are a few kilobytes.
inline constexpr std::size_t maximumTextBytes = 4 * 1024 * 1024;

// Parses text (UTF-8 checked by the parser, nesting handled without recursion). Malformed or
// oversized text is dataCorrupted at the top level.
nlohmann::json parseJSON(std::string_view text);

// "curvePoints" + 2 → "curvePoints[2]"; "" + "id" → "id"; "speed" + "fixed" → "speed.fixed".
std::string childPath(const std::string& path, std::string_view key);
std::string childPath(const std::string& path, std::size_t index);

// Each fails with typeMismatch when the value has another JSON type (null included).
double number(const nlohmann::json& value, const std::string& path);
bool boolean(const nlohmann::json& value, const std::string& path);
std::string string(const nlohmann::json& value, const std::string& path);
// A number with an integral value within signed 64 bits; other numbers are dataCorrupted.
std::int64_t int64(const nlohmann::json& value, const std::string& path);
// The 36-character form in either case; other strings are dataCorrupted.
Uuid uuid(const nlohmann::json& value, const std::string& path);

// The fields of one JSON object; constructing it from anything else is a typeMismatch.
class ObjectReader {
public:
    ObjectReader(const nlohmann::json& object, std::string path);

    const std::string& path() const { return path_; }
    std::string pathOf(std::string_view key) const { return childPath(path_, key); }
    // The key is there, whatever its value (null included).
    bool has(std::string_view key) const { return object_.contains(key); }
    // The key's value when present and not null.
    const nlohmann::json* find(std::string_view key) const;
    // The key's value; keyNotFound when absent (a null is left to the typed read to refuse).
    const nlohmann::json& require(std::string_view key) const;

    double number(std::string_view key) const { return json_decoding::number(require(key), pathOf(key)); }
    bool boolean(std::string_view key) const { return json_decoding::boolean(require(key), pathOf(key)); }
    std::string string(std::string_view key) const { return json_decoding::string(require(key), pathOf(key)); }
    std::int64_t int64(std::string_view key) const { return json_decoding::int64(require(key), pathOf(key)); }
    Uuid uuid(std::string_view key) const { return json_decoding::uuid(require(key), pathOf(key)); }

private:
    const nlohmann::json& object_;
    std::string path_;
};

}  // namespace quorvane::json_decoding
