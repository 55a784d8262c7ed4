// A person-written mode file on arbitrary bytes: anything must give a mode whose percentage is a
// fraction, or a usage error with a message; never a crash or a silent clamp.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "client_error.hpp"
#include "mode_file.hpp"

using namespace quorvane;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    try {
        const CustomMode mode = ctl::customModeFromText(text, "fuzz.json");
        const double p = mode.speed().percentage;
        if (!(p >= 0 && p <= 1)) std::abort();
    } catch (const ctl::ClientError& e) {
        if (e.exitStatus() != ctl::ExitStatus::usage || std::string(e.what()).empty()) std::abort();
    }
    return 0;
}
