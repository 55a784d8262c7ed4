#include "shared/smc/smc_data_type.hpp"

namespace quorvane {

SMCDataType SMCDataType::fromRaw(std::uint32_t rawType) {
    // Compared in a fixed order; the first match wins.
    static constexpr Kind order[] = {Kind::fpe2, Kind::sp78, Kind::flt, Kind::ui8,
                                     Kind::ui16, Kind::ui32, Kind::flag};
    for (Kind k : order) {
        const SMCDataType t = of(k);
        if (t.raw_ == rawType) return t;
    }
    return {Kind::other, rawType};
}

std::size_t SMCDataType::size() const {
    switch (kind_) {
        case Kind::ui8:
        case Kind::flag: return 1;
        case Kind::fpe2:
        case Kind::sp78:
        case Kind::ui16: return 2;
        case Kind::flt:
        case Kind::ui32: return 4;
        case Kind::other: break;
    }
    return 0;
}

std::string SMCDataType::name() const {
    switch (kind_) {
        case Kind::fpe2: return "fpe2";
        case Kind::sp78: return "sp78";
        case Kind::flt: return "flt";
        case Kind::ui8: return "ui8";
        case Kind::ui16: return "ui16";
        case Kind::ui32: return "ui32";
        case Kind::flag: return "flag";
        case Kind::other: break;
    }
    return "other";
}

}  // namespace quorvane
