// What every JSON document quorvanectl prints has in common: a top-level object that opens with
// "version" (it changes only when a key changes meaning or goes away), null for an absent
// reading. Pure, thread-safe.
#pragma once

#include <optional>

#include <nlohmann/json.hpp>

namespace quorvane::ctl {

inline constexpr int kJSONVersion = 1;

inline nlohmann::ordered_json jsonDocument() { return {{"version", kJSONVersion}}; }

inline nlohmann::ordered_json optionalNumber(std::optional<double> value) {
    return value ? nlohmann::ordered_json(*value) : nlohmann::ordered_json(nullptr);
}

}  // namespace quorvane::ctl
