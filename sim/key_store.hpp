// The controller's key table: every key the virtual SMC holds, ordered by key code (the order the
// key-by-index command walks). Not thread-safe: the key model guards it with its mutex.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>

#include "shared/smc/smc_data_codec.hpp"
#include "sim/machine_profile.hpp"

namespace quorvane::sim {

struct SimKey {
    std::uint32_t code = 0;
    std::uint32_t type = 0;
    std::uint32_t size = 0;
    std::uint8_t attributes = 0;
    bool readable = true;
    bool writable = false;
    SMCBytes value;  // exactly min(size, 32) bytes
};

class KeyStore {
public:
    void insert(const KeyDefinition& definition);
    bool erase(std::uint32_t code);
    SimKey* find(std::uint32_t code);
    const SimKey* find(std::uint32_t code) const;
    // nullptr when index >= size().
    const SimKey* atIndex(std::uint64_t index) const;
    std::size_t size() const { return keys_.size(); }
    const std::map<std::uint32_t, SimKey>& keys() const { return keys_; }

    // The key's value decoded by its type; nullopt when absent or not decodable.
    std::optional<double> decoded(std::uint32_t code) const;
    // Encodes value by the key's type into its bytes; false (key unchanged) when absent, the type
    // has no numeric encoding, or the value does not fit.
    bool storeDecoded(std::uint32_t code, double value);

private:
    std::map<std::uint32_t, SimKey> keys_;
};

std::optional<double> decodeValue(const SimKey& key);

}  // namespace quorvane::sim
