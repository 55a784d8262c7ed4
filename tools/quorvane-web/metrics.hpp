// The Prometheus text form of the control service's state (its /v1/state reply): fans, the
// control temperature, duty, the alert, tick counters and quorvane_up. Pure; thread-safe.
#pragma once

#include <optional>
#include <string>

#include <nlohmann/json.hpp>

namespace quorvane::web {

// `state` absent (the service did not answer, or answered with an error): only quorvane_up 0.
std::string metricsText(const std::optional<nlohmann::json>& state);

}  // namespace quorvane::web
