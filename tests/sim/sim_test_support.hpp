// Helpers for the virtual Mac tests: a clock the test moves by hand and builders of raw 80-byte
// request records. Test-only; FakeClock is thread-safe.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/clock/clock.hpp"
#include "shared/smc/four_cc.hpp"
#include "sim/smc_record.hpp"

namespace quorvane::sim::testing {

class FakeClock final : public clock::Clock {
public:
    clock::Instant now() const override { return clock::Instant{clock::Duration{ns_.load()}}; }
    void advance(double seconds) { ns_ += clock::seconds(seconds).count(); }

private:
    std::atomic<std::int64_t> ns_{1'000'000'000};
};

inline SMCRecord request(std::uint8_t command, const std::string& key = "") {
    SMCRecord r;
    r.setCommand(command);
    if (!key.empty()) r.setKey(FourCC::code(key));
    return r;
}
inline SMCRecord keyInfoRequest(const std::string& key) { return request(smc_command::keyInfo, key); }
inline SMCRecord readRequest(const std::string& key, std::uint32_t size) {
    SMCRecord r = request(smc_command::readBytes, key);
    r.setDataSize(size);
    return r;
}
inline SMCRecord writeRequest(const std::string& key, std::uint32_t type, std::vector<std::uint8_t> bytes) {
    SMCRecord r = request(smc_command::writeBytes, key);
    r.setDataSize(static_cast<std::uint32_t>(bytes.size()));
    r.setDataType(type);
    r.setValue(bytes.data(), bytes.size());
    return r;
}
inline SMCRecord indexRequest(std::uint32_t index) {
    SMCRecord r = request(smc_command::keyByIndex);
    r.setData32(index);
    return r;
}
inline std::vector<std::uint8_t> valueOf(const SMCRecord& r, std::size_t n) {
    return {r.value(), r.value() + n};
}

}  // namespace quorvane::sim::testing
