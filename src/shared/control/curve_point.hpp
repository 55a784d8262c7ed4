// One point of a fan curve: a temperature (°C) and a duty fraction (0 = fan minimum, 1 = fan
// maximum), identified by a UUID for editors. Neither value is range-checked. Value type.
#pragma once

#include "shared/common/uuid.hpp"

namespace quorvane {

struct CurvePoint {
    Uuid id;
    double temperature = 0;
    double rpmPercentage = 0;

    friend bool operator==(const CurvePoint&, const CurvePoint&) = default;
};

}  // namespace quorvane
