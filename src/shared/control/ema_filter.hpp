// Exponential moving average of a control loop's duty fraction; the first sample is taken
// unsmoothed. Value type, owned by one control loop.
#pragma once

#include <optional>

namespace quorvane {

class EMAFilter {
public:
    // alpha is stored clamped to 0.05…1.0; a NaN alpha means no smoothing (1.0).
    explicit EMAFilter(double alpha);

    double alpha() const { return alpha_; }
    // Clamped to 0.05…1.0; a NaN alpha is ignored (the previous alpha holds).
    void setAlpha(double alpha);
    const std::optional<double>& value() const { return value_; }

    // raw × alpha + previous × (1 − alpha), or raw itself for the first sample. A non-finite raw
    // counts as no sample: the previous value holds and is returned (raw when there is none).
    double update(double raw);
    void reset() { value_.reset(); }

    friend bool operator==(const EMAFilter&, const EMAFilter&) = default;

private:
    double alpha_ = 1.0;
    std::optional<double> value_;
};

}  // namespace quorvane
