// Helpers for the virtual Mac tests: a clock the test moves by hand, a private bootstrap directory
// and builders of raw 80-byte request records. Test-only; FakeClock is thread-safe.
#pragma once

#include <stdlib.h>

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <optional>
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

// Points QUORVANE_BOOTSTRAP at `sub` inside a fresh directory for the object's lifetime (`sub` is
// not created), then restores the old value and removes the directory.
class ScopedBootstrap {
public:
    explicit ScopedBootstrap(const std::string& sub = "") {
        char pattern[] = "/tmp/quorvane-test-XXXXXX";
        if (::mkdtemp(pattern)) root_ = pattern;
        dir_ = sub.empty() ? root_ : root_ / sub;
        if (const char* old = ::getenv("QUORVANE_BOOTSTRAP")) old_ = old;
        ::setenv("QUORVANE_BOOTSTRAP", dir_.c_str(), 1);
    }
    ~ScopedBootstrap() {
        if (old_) ::setenv("QUORVANE_BOOTSTRAP", old_->c_str(), 1);
        else ::unsetenv("QUORVANE_BOOTSTRAP");
        std::error_code ec;
        if (!root_.empty()) std::filesystem::remove_all(root_, ec);
    }
    ScopedBootstrap(const ScopedBootstrap&) = delete;
    ScopedBootstrap& operator=(const ScopedBootstrap&) = delete;
    const std::filesystem::path& dir() const { return dir_; }

private:
    std::filesystem::path root_, dir_;
    std::optional<std::string> old_;
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
