// Reads the JSON form of an enumeration with payloads: an object holding exactly one of the case
// keys (other keys ignored) whose value is the payload object. Pure, thread-safe.
#pragma once

#include <array>
#include <cstddef>
#include <string>
#include <string_view>

#include "shared/common/json_decoding.hpp"

namespace quorvane {

struct SingleCaseObject {
    std::size_t index;                   // which case key was found
    json_decoding::ObjectReader payload;  // that key's object

    // Fails with typeMismatch "Invalid number of keys found, expected one." when none or more
    // than one case key is present, and with typeMismatch when either level is not an object.
    template <std::size_t N>
    SingleCaseObject(const nlohmann::json& json, const std::string& path,
                     const std::array<std::string_view, N>& caseKeys)
        : SingleCaseObject(json, path, caseKeys.data(), N) {}

private:
    SingleCaseObject(const nlohmann::json& json, const std::string& path, const std::string_view* keys,
                     std::size_t count);
};

}  // namespace quorvane
