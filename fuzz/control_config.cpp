// The control service's configuration file: any bytes give a configuration or a usage error
// naming positions, never a crash or a hang.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "client_error.hpp"
#include "control_config.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    try {
        quorvane::ctl::ControlConfig::parse(std::string_view(reinterpret_cast<const char*>(data), size), "fuzz");
    } catch (const quorvane::ctl::ClientError&) {
    }
    return 0;
}
