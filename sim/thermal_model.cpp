#include "sim/thermal_model.hpp"

#include <algorithm>
#include <cmath>
#include <string>

#include "shared/sensors/sensor_classifier.hpp"
#include "shared/smc/four_cc.hpp"

namespace quorvane::sim {

namespace {

// How much of the heat a key family feels: dies most, the enclosure and battery least.
double shareOf(std::string_view key) {
    const std::string_view p = key.substr(0, 2);
    if (p == "Tp" || p == "Te" || p == "TC" || p == "Tf" || p == "Tn") return 1.0;
    if (p == "Tg" || p == "TG") return 0.8;
    if (key.substr(0, 3) == "TPD") return 0.6;
    if (p == "Tm" || p == "TM" || p == "TH") return 0.4;
    if (p == "TB" || p == "Tb") return 0.1;
    return 0.25;
}

}  // namespace

ThermalModel::ThermalModel(const KeyStore& keys, std::vector<hid::ServiceRecord> hidServices, clock::Instant start)
    : last_(start) {
    for (const auto& [code, key] : keys.keys()) {
        const std::string name = FourCC::string(code);
        const auto kind = SMCDataType::fromRaw(key.type).kind();
        if (name[0] != 'T' || (kind != SMCDataType::Kind::flt && kind != SMCDataType::Kind::sp78) || !key.readable)
            continue;
        const auto v = decodeValue(key);
        if (v && SensorClassifier::plausibleTemperatureRange.contains(*v)) sensors_.push_back({code, *v, shareOf(name)});
    }
    for (auto& r : hidServices) {
        const double base = r.temperature.value_or(0);
        const bool moves = r.temperature && SensorClassifier::plausibleTemperatureRange.contains(base);
        const auto* name = std::get_if<std::string>(&r.product);
        const bool die = name && (name->find("tdie") != std::string::npos || name->find("tdev") != std::string::npos);
        hid_.push_back({std::move(r), base, moves ? (die ? 1.0 : 0.3) : 0.0});
    }
}

void ThermalModel::setLoad(double load) {
    if (!std::isnan(load)) load_ = std::clamp(load, 0.0, 1.0);
}

void ThermalModel::advance(clock::Instant now, double cooling, KeyStore& keys) {
    const double dt = now > last_ ? clock::toSeconds(now - last_) : 0.0;
    if (now > last_) last_ = now;
    const double goal = load_ * fullLoadHeat / (1.0 + fanCoolingGain * std::clamp(cooling, 0.0, 1.0));
    heat_ = goal + (heat_ - goal) * std::exp(-dt / timeConstant);
    // Rewrite only on a visible change: an idle machine keeps its recorded bytes.
    if (std::fabs(heat_ - written_) < 0.01) return;
    written_ = heat_;
    for (const Sensor& s : sensors_) keys.storeDecoded(s.code, s.base + heat_ * s.share);
}

std::vector<hid::ServiceRecord> ThermalModel::hidServices() const {
    std::vector<hid::ServiceRecord> out;
    out.reserve(hid_.size());
    for (const HIDSensor& h : hid_) {
        hid::ServiceRecord r = h.record;
        if (h.share > 0) r.temperature = h.base + written_ * h.share;
        out.push_back(std::move(r));
    }
    return out;
}

}  // namespace quorvane::sim
