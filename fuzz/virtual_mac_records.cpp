// Arbitrary 80-byte records (and control lines, the driver files' faults included) against the
// virtual Mac: no input may crash it, corrupt its key table or grow its memory without bound.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "sim/control_protocol.hpp"
#include "sim/driver_file_faults.hpp"
#include "sim/smc_key_model.hpp"

namespace {

class StillClock final : public quorvane::clock::Clock {
public:
    quorvane::clock::Instant now() const override { return t; }
    quorvane::clock::Instant t{};
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace quorvane::sim;
    static StillClock clock;
    static const MachineProfile profile = MachineProfile::load("apple-silicon-laptop");
    SMCKeyModel model(profile, clock);
    std::uint64_t id = 0;
    model.openConnection(id);
    // First byte chooses: control line, or a run of records with time passing between them,
    // followed by a state dump after an 'S'. The dump costs far more than the records, so it is
    // asked for rather than paid on every run.
    if (size > 0 && data[0] == 'C') {
        // Control lines, one per newline; then the driver files' accesses under whatever file
        // faults they set (delays stopped first: a fuzzer run must not sleep).
        std::string_view lines(reinterpret_cast<const char*>(data + 1), size - 1);
        while (!lines.empty()) {
            const auto end = lines.find('\n');
            handleControlRequest(model, lines.substr(0, end));
            lines = end == std::string_view::npos ? std::string_view() : lines.substr(end + 1);
        }
        auto& files = model.fileFaults();
        files.stop();
        std::uint64_t generation = 0;
        files.open(generation);
        for (int i = 0; i < 8; ++i)
            files.access(static_cast<DriverFileFaults::Access>(i % 3), i < 4 ? generation : generation + 1);
        return 0;
    }
    const bool dump = size > 0 && data[0] == 'S';
    for (std::size_t at = dump ? 1 : 0; at + SMCRecord::kSize <= size; at += SMCRecord::kSize) {
        std::uint8_t out[SMCRecord::kSize];
        std::size_t outSize = sizeof out;
        model.call(id, kSMCSelector, data + at, SMCRecord::kSize, out, &outSize);
        clock.t = clock.t + quorvane::clock::Duration(data[at] * 10'000'000LL);
    }
    if (dump) model.stateJSON();
    return 0;
}
