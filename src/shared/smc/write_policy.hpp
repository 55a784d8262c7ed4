// Decides whether a requested fan speed may be written and which value: rejects invalid requests
// and unusable bounds, clamps everything else into [min, max]. Pure, thread-safe.
#pragma once

#include <string>
#include <variant>

namespace quorvane::WritePolicy {

struct Apply {
    double value;
    friend bool operator==(const Apply&, const Apply&) = default;
};
struct Reject {
    std::string reason;
    friend bool operator==(const Reject&, const Reject&) = default;
};
using Verdict = std::variant<Apply, Reject>;

Verdict vet(double requestedRPM, double hardwareMin, double hardwareMax);

}  // namespace quorvane::WritePolicy
