// The control service's API request lines: any bytes give a request or an error status, never a
// crash; every reply is one JSON line. The API has a few ticks recorded, so a simulation request
// (a percent-encoded profile or mode) runs the loop over them.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "control_api.hpp"

namespace {

quorvane::ctl::ControlApi& recorded() {
    static quorvane::ctl::ControlApi a;
    static const bool ready = [] {
        a.following("Quorvane Standard", quorvane::ctl::ControlLoop(quorvane::FanProfile::quorvaneStandard(), std::nullopt,
                                                                    {true, 80, true}, {}));
        for (int i = 0; i < 20; ++i) {
            quorvane::ctl::RunTick tick;
            tick.t = i;
            tick.temperature = 40 + 3 * i;
            quorvane::FanStatus fan;
            fan.currentRPM = 1500 + 100 * i;
            fan.minRPM = 1200;
            fan.maxRPM = 6000;
            tick.fans = {fan};
            a.record(tick, 1000 + i);
        }
        return true;
    }();
    (void)ready;
    return a;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view line(reinterpret_cast<const char*>(data), size);
    const auto parsed = quorvane::ctl::parseApiRequest(line);
    if (const auto* e = std::get_if<quorvane::ctl::ApiError>(&parsed); e && (e->status < 400 || e->status > 499)) std::abort();
    const std::string reply = recorded().answer(line, 1020);
    if (reply.empty() || reply.find('\n') != std::string::npos) std::abort();
    return 0;
}
