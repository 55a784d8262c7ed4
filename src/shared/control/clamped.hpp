// Pins a value into a closed range with the exact comparisons the control code relies on: a value
// that is not a number (NaN) passes through unchanged. Pure, thread-safe.
#pragma once

namespace quorvane {

// lowerBound…upperBound, both included.
template <class T>
struct ClosedRange {
    T lowerBound;
    T upperBound;
    // False for NaN.
    constexpr bool contains(const T& v) const { return v >= lowerBound && v <= upperBound; }
};

// Raised to the lower bound, then lowered to the upper bound. Any NaN in `value` survives, so
// callers that feed hardware must check finiteness themselves.
template <class T>
constexpr T clamped(const T& value, const ClosedRange<T>& to) {
    const T& raised = (to.lowerBound >= value) ? to.lowerBound : value;
    return (to.upperBound < raised) ? to.upperBound : raised;
}

// The duty-fraction range used throughout the control code.
inline constexpr ClosedRange<double> unitRange{0.0, 1.0};

}  // namespace quorvane
