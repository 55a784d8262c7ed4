// The control service's API request lines: any bytes give a request or an error status, never a
// crash; every reply is one JSON line.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "control_api.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view line(reinterpret_cast<const char*>(data), size);
    const auto parsed = quorvane::ctl::parseApiRequest(line);
    if (const auto* e = std::get_if<quorvane::ctl::ApiError>(&parsed); e && (e->status < 400 || e->status > 499)) std::abort();
    static quorvane::ctl::ControlApi api;
    const std::string reply = api.answer(line, 0);
    if (reply.empty() || reply.find('\n') != std::string::npos) std::abort();
    return 0;
}
