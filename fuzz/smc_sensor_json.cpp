// SMCSensor JSON decoding on arbitrary input: never crashes, and whatever decodes encodes back to
// a document that decodes to the same record.
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "shared/sensors/smc_sensor.hpp"

using namespace quorvane;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto document = nlohmann::json::parse(data, data + size, nullptr, false);
    if (document.is_discarded()) return 0;
    SMCSensor sensor;
    try {
        sensor = SMCSensor::fromJSON(document);
    } catch (const nlohmann::json::exception&) {
        return 0;
    }
    const SMCSensor again = SMCSensor::fromJSON(nlohmann::json::parse(sensor.toJSON().dump()));
    if (!(again == sensor) && !std::isnan(sensor.currentTemp)) {
        __builtin_printf("smc_sensor_json: round trip changed the record\n");
        std::abort();
    }
    (void)std::hash<SMCSensor>{}(sensor);
    return 0;
}
