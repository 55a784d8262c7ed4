// Lets a new target through only when it moved far enough from the committed one: a rise of at
// least 50, a fall of at least 150 (units of the values, sized for RPM). Value type, owned by one
// control loop.
#pragma once

#include <cmath>
#include <optional>

namespace quorvane {

class TargetDeadband {
public:
    static constexpr double risingThreshold = 50.0;
    static constexpr double fallingThreshold = 150.0;

    // A non-finite committed value would hold every later commit: it starts empty instead.
    explicit TargetDeadband(std::optional<double> committed = std::nullopt)
        : committed_(committed && std::isfinite(*committed) ? committed : std::nullopt) {}

    const std::optional<double>& committed() const { return committed_; }
    // The committed value after considering `desired`. A non-finite desired changes nothing and
    // returns the committed value, or desired itself when nothing is committed yet.
    double commit(double desired);
    void reset() { committed_.reset(); }

    friend bool operator==(const TargetDeadband&, const TargetDeadband&) = default;

private:
    std::optional<double> committed_;
};

}  // namespace quorvane
