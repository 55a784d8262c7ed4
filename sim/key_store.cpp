#include "sim/key_store.hpp"

#include <iterator>

#include "shared/smc/four_cc.hpp"

namespace quorvane::sim {

void KeyStore::insert(const KeyDefinition& d) {
    SimKey k;
    k.code = FourCC::code(d.name);
    k.type = d.type;
    k.size = d.size;
    k.attributes = d.attributes;
    k.readable = d.readable;
    k.writable = d.writable;
    k.value = d.value;
    keys_[k.code] = k;
}

bool KeyStore::erase(std::uint32_t code) { return keys_.erase(code) != 0; }

SimKey* KeyStore::find(std::uint32_t code) {
    auto it = keys_.find(code);
    return it == keys_.end() ? nullptr : &it->second;
}

const SimKey* KeyStore::find(std::uint32_t code) const {
    auto it = keys_.find(code);
    return it == keys_.end() ? nullptr : &it->second;
}

const SimKey* KeyStore::atIndex(std::uint64_t index) const {
    if (index >= keys_.size()) return nullptr;
    return &std::next(keys_.begin(), static_cast<std::ptrdiff_t>(index))->second;
}

std::optional<double> decodeValue(const SimKey& key) {
    try {
        return SMCDataCodec::decode(key.value.span(), SMCDataType::fromRaw(key.type));
    } catch (const SMCCodecError&) {
        return std::nullopt;
    }
}

std::optional<double> KeyStore::decoded(std::uint32_t code) const {
    const SimKey* k = find(code);
    if (k == nullptr) return std::nullopt;
    return decodeValue(*k);
}

bool KeyStore::storeDecoded(std::uint32_t code, double value) {
    SimKey* k = find(code);
    if (k == nullptr) return false;
    try {
        SMCBytes bytes = SMCDataCodec::encode(value, SMCDataType::fromRaw(k->type));
        if (bytes.size() != k->size) return false;
        k->value = bytes;
        return true;
    } catch (const SMCCodecError&) {
        return false;
    }
}

}  // namespace quorvane::sim
