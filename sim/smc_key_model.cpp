#include "sim/smc_key_model.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <stdexcept>

#include "shared/sensors/sensor_classifier.hpp"
#include "shared/smc/four_cc.hpp"

namespace quorvane::sim {

namespace {

// Counting arbitrary keys must not grow without bound when a peer sends garbage.
constexpr std::size_t kKeyCounterCapacity = 65536;

std::uint32_t codeOf(const std::string& key) {
    std::uint32_t code = 0;
    if (!FourCC::tryCode(key, code)) throw std::invalid_argument("SMC key \"" + key + "\" is not four bytes");
    return code;
}

std::optional<double> decodeBytes(const std::uint8_t* bytes, std::size_t n, std::uint32_t type) {
    try {
        return SMCDataCodec::decode(std::span<const std::uint8_t>(bytes, n), SMCDataType::fromRaw(type));
    } catch (const SMCCodecError&) {
        return std::nullopt;
    }
}

}  // namespace

SMCKeyModel::SMCKeyModel(const MachineProfile& profile, const clock::Clock& clock)
    : clock_(clock),
      profileName_(profile.name),
      keyCountKey_(FourCC::code("#KEY")),
      firmware_(profile.firmware, profile.fans, clock.now()),
      thermal_(KeyStore{}, {}, clock.now()) {
    for (const KeyDefinition& k : profile.allKeys()) keys_.insert(k);
    thermal_ = ThermalModel(keys_, profile.hidServices, clock.now());
}

void SMCKeyModel::advanceLocked(clock::Instant now) {
    firmware_.advance(now, keys_);
    thermal_.advance(now, firmware_.coolingFraction(), keys_);
}

SMCKeyModel::~SMCKeyModel() { shutdown(); }

void SMCKeyModel::shutdown() {
    {
        std::lock_guard lock(mutex_);
        shutdown_ = true;
    }
    hangChanged_.notify_all();
    fileFaults_.stop();
}

kern_return_t SMCKeyModel::openConnection(std::uint64_t& connectionId) {
    std::lock_guard lock(mutex_);
    if (shutdown_) return kIOReturnNoDevice;
    if (refuseOpen_) return *refuseOpen_;
    connectionId = ++openGeneration_;
    return kIOReturnSuccess;
}

std::uint64_t SMCKeyModel::openCount() const {
    std::lock_guard lock(mutex_);
    return openGeneration_;
}

kern_return_t SMCKeyModel::call(std::uint64_t connectionId, std::uint32_t selector, const void* input,
                                std::size_t inputSize, void* output, std::size_t* outputSize) {
    if (selector != kSMCSelector || input == nullptr || inputSize != SMCRecord::kSize || output == nullptr ||
        outputSize == nullptr || *outputSize < SMCRecord::kSize)
        return kIOReturnBadArgument;
    const SMCRecord request = SMCRecord::fromBytes(input);

    std::unique_lock lock(mutex_);
    if (hang_ && connectionId <= hangGeneration_ && !shutdown_) {
        ++hungCalls_;
        hungCountChanged_.notify_all();
        hangChanged_.wait(lock, [&] { return !hang_ || connectionId > hangGeneration_ || shutdown_; });
        --hungCalls_;
        hungCountChanged_.notify_all();
    }
    if (shutdown_) return kIOReturnNotResponding;
    if (transportFault_ && (!transportFault_->key || *transportFault_->key == request.key()))
        return transportFault_->code;

    const SMCRecord reply = exchangeLocked(request);
    const std::size_t reported = shortOutput_ ? std::min(*shortOutput_, SMCRecord::kSize) : SMCRecord::kSize;
    std::memcpy(output, reply.raw().data(), reported);
    *outputSize = reported;
    return kIOReturnSuccess;
}

SMCRecord SMCKeyModel::exchange(const SMCRecord& request) {
    std::lock_guard lock(mutex_);
    return exchangeLocked(request);
}

std::optional<std::uint8_t> SMCKeyModel::takeFaultLocked(std::uint32_t key, std::uint8_t command) {
    auto it = keyFaults_.find(key);
    if (it == keyFaults_.end()) return std::nullopt;
    auto& faults = it->second;
    for (auto f = faults.begin(); f != faults.end(); ++f) {
        if (f->command && *f->command != command) continue;
        const std::uint8_t result = f->result;
        if (f->remaining > 0 && --f->remaining == 0) {
            faults.erase(f);
            if (faults.empty()) keyFaults_.erase(it);
        }
        return result;
    }
    return std::nullopt;
}

SMCRecord SMCKeyModel::exchangeLocked(const SMCRecord& request) {
    const clock::Instant now = clock_.now();
    const std::uint8_t command = request.command();
    const std::uint32_t code = request.key();

    ++commandCounts_[command];
    if (command != smc_command::keyByIndex) {
        const auto counter = std::make_pair(command, code);
        if (keyCounts_.size() < kKeyCounterCapacity || keyCounts_.count(counter) != 0) ++keyCounts_[counter];
    }

    advanceLocked(now);

    SMCRecord reply = request;
    if (command != smc_command::keyByIndex) {
        if (auto fault = takeFaultLocked(code, command)) {
            reply.setResult(*fault);
            return reply;
        }
    }

    std::uint8_t result = smc_result::success;
    switch (command) {
        case smc_command::keyInfo: {
            const SimKey* k = keys_.find(code);
            if (k == nullptr) { result = smc_result::keyNotFound; break; }
            reply.setDataSize(k->size);
            reply.setDataType(k->type);
            reply.setAttributes(k->attributes);
            break;
        }
        case smc_command::readBytes: {
            const SimKey* k = keys_.find(code);
            if (k == nullptr) { result = smc_result::keyNotFound; break; }
            if (!k->readable) { result = smc_result::notReadable; break; }
            if (request.dataSize() != k->size) { result = smc_result::sizeMismatch; break; }
            reply.setValue(k->value.begin(), k->value.size());
            break;
        }
        case smc_command::writeBytes: {
            SimKey* k = keys_.find(code);
            if (k == nullptr) { result = smc_result::keyNotFound; break; }
            if (!k->writable) { result = smc_result::notWritable; break; }
            if (request.dataSize() != k->size || request.dataType() != k->type) {
                result = smc_result::sizeMismatch;
                break;
            }
            const auto value = decodeBytes(request.value(), k->size, k->type);
            result = firmware_.vetWrite(code, value, now, keys_);
            if (result != smc_result::success) break;
            k->value = SMCBytes(std::span<const std::uint8_t>(request.value(), k->size));
            firmware_.keyChanged(code, now, keys_);
            if (writeLog_.size() == kWriteLogCapacity) writeLog_.pop_front();
            writeLog_.push_back({FourCC::string(code), value.value_or(std::numeric_limits<double>::quiet_NaN())});
            break;
        }
        case smc_command::keyByIndex: {
            const SimKey* k = keys_.atIndex(request.data32());
            if (k == nullptr) { result = smc_result::keyNotFound; break; }
            reply.setKey(k->code);
            break;
        }
        default:
            result = smc_result::badCommand;
            break;
    }
    reply.setResult(result);
    return reply;
}

// ---- direct state access ----

SimKey& SMCKeyModel::requireKeyLocked(const std::string& key) {
    SimKey* k = keys_.find(codeOf(key));
    if (k == nullptr) throw std::invalid_argument("no SMC key \"" + key + "\"");
    return *k;
}

void SMCKeyModel::setKey(const std::string& key, double value) {
    std::lock_guard lock(mutex_);
    const clock::Instant now = clock_.now();
    advanceLocked(now);
    SimKey& k = requireKeyLocked(key);
    try {
        SMCBytes bytes = SMCDataCodec::encode(value, SMCDataType::fromRaw(k.type));
        if (bytes.size() != k.size) throw std::invalid_argument("SMC key \"" + key + "\" has a size its type does not encode");
        k.value = bytes;
    } catch (const SMCCodecError& e) {
        throw std::invalid_argument("SMC key \"" + key + "\" cannot hold " + shortestDecimal(value) + ": " +
                                    e.description());
    }
    firmware_.keyChanged(k.code, now, keys_);
}

void SMCKeyModel::setKeyBytes(const std::string& key, const std::vector<std::uint8_t>& bytes) {
    std::lock_guard lock(mutex_);
    const clock::Instant now = clock_.now();
    advanceLocked(now);
    SimKey& k = requireKeyLocked(key);
    if (bytes.size() != k.size)
        throw std::invalid_argument("SMC key \"" + key + "\" holds " + std::to_string(k.size) + " bytes, not " +
                                    std::to_string(bytes.size()));
    k.value = SMCBytes(std::span<const std::uint8_t>(bytes));
    firmware_.keyChanged(k.code, now, keys_);
}

double SMCKeyModel::readKey(const std::string& key) {
    std::lock_guard lock(mutex_);
    advanceLocked(clock_.now());
    const SimKey& k = requireKeyLocked(key);
    const auto v = decodeValue(k);
    if (!v) throw std::invalid_argument("SMC key \"" + key + "\" has no numeric value (type \"" +
                                        FourCC::string(k.type) + "\")");
    return *v;
}

std::vector<std::uint8_t> SMCKeyModel::readKeyBytes(const std::string& key) {
    std::lock_guard lock(mutex_);
    advanceLocked(clock_.now());
    const SimKey& k = requireKeyLocked(key);
    return {k.value.begin(), k.value.end()};
}

bool SMCKeyModel::hasKey(const std::string& key) const {
    std::uint32_t code = 0;
    if (!FourCC::tryCode(key, code)) return false;
    std::lock_guard lock(mutex_);
    return keys_.find(code) != nullptr;
}

void SMCKeyModel::addKey(const KeyDefinition& definition) {
    codeOf(definition.name);
    if (definition.size > SMCRecord::kValueCapacity || definition.value.size() != definition.size)
        throw std::invalid_argument("SMC key \"" + definition.name + "\": value must hold exactly its size in bytes");
    std::lock_guard lock(mutex_);
    keys_.insert(definition);
    updateKeyCountLocked();
}

bool SMCKeyModel::removeKey(const std::string& key) {
    std::uint32_t code = 0;
    if (!FourCC::tryCode(key, code)) return false;
    std::lock_guard lock(mutex_);
    const bool removed = keys_.erase(code);
    if (removed) updateKeyCountLocked();
    return removed;
}

std::size_t SMCKeyModel::keyCount() const {
    std::lock_guard lock(mutex_);
    return keys_.size();
}

void SMCKeyModel::updateKeyCountLocked() {
    keys_.storeDecoded(keyCountKey_, static_cast<double>(keys_.size()));
}

// ---- counters ----

std::uint64_t SMCKeyModel::exchangeCount(std::uint8_t command) const {
    std::lock_guard lock(mutex_);
    auto it = commandCounts_.find(command);
    return it == commandCounts_.end() ? 0 : it->second;
}

std::uint64_t SMCKeyModel::exchangeCount(std::uint8_t command, const std::string& key) const {
    const std::uint32_t code = codeOf(key);
    std::lock_guard lock(mutex_);
    auto it = keyCounts_.find({command, code});
    return it == keyCounts_.end() ? 0 : it->second;
}

std::uint64_t SMCKeyModel::totalExchanges() const {
    std::lock_guard lock(mutex_);
    std::uint64_t total = 0;
    for (const auto& [command, n] : commandCounts_) total += n;
    return total;
}

std::vector<WriteEntry> SMCKeyModel::writeLog() const {
    std::lock_guard lock(mutex_);
    return {writeLog_.begin(), writeLog_.end()};
}

void SMCKeyModel::resetCounters() {
    std::lock_guard lock(mutex_);
    commandCounts_.clear();
    keyCounts_.clear();
    writeLog_.clear();
}

// ---- faults ----

void SMCKeyModel::failKey(const std::string& key, std::uint8_t result, std::optional<std::uint8_t> command) {
    const std::uint32_t code = codeOf(key);
    std::lock_guard lock(mutex_);
    auto& faults = keyFaults_[code];
    std::erase_if(faults, [&](const KeyFault& f) { return f.remaining < 0 && f.command == command; });
    faults.push_back({command, result, -1});
}

void SMCKeyModel::failNext(const std::string& key, int count, std::uint8_t result,
                           std::optional<std::uint8_t> command) {
    const std::uint32_t code = codeOf(key);
    if (count <= 0) return;
    std::lock_guard lock(mutex_);
    auto& faults = keyFaults_[code];
    // Counted faults come before a permanent one so that "fail three times" is seen first.
    auto at = std::find_if(faults.begin(), faults.end(), [](const KeyFault& f) { return f.remaining < 0; });
    faults.insert(at, {command, result, count});
}

void SMCKeyModel::clearFault(const std::string& key) {
    const std::uint32_t code = codeOf(key);
    std::lock_guard lock(mutex_);
    keyFaults_.erase(code);
}

void SMCKeyModel::failTransport(std::optional<kern_return_t> code, std::optional<std::string> key) {
    std::optional<std::uint32_t> keyCode;
    if (key) keyCode = codeOf(*key);
    std::lock_guard lock(mutex_);
    if (code) transportFault_ = TransportFault{*code, keyCode};
    else transportFault_.reset();
}

void SMCKeyModel::setShortOutput(std::optional<std::size_t> size) {
    std::lock_guard lock(mutex_);
    shortOutput_ = size;
}

void SMCKeyModel::refuseOpen(std::optional<kern_return_t> code) {
    std::lock_guard lock(mutex_);
    refuseOpen_ = code;
}

void SMCKeyModel::setHang(bool on) {
    {
        std::lock_guard lock(mutex_);
        if (on && !hang_) hangGeneration_ = openGeneration_;
        hang_ = on;
    }
    hangChanged_.notify_all();
}

bool SMCKeyModel::hanging() const {
    std::lock_guard lock(mutex_);
    return hang_;
}

std::size_t SMCKeyModel::hungCalls() const {
    std::lock_guard lock(mutex_);
    return hungCalls_;
}

bool SMCKeyModel::waitForHungCalls(std::size_t n, std::chrono::milliseconds timeout) const {
    std::unique_lock lock(mutex_);
    return hungCountChanged_.wait_for(lock, timeout, [&] { return hungCalls_ >= n; });
}

void SMCKeyModel::clearFaults() {
    {
        std::lock_guard lock(mutex_);
        keyFaults_.clear();
        transportFault_.reset();
        shortOutput_.reset();
        refuseOpen_.reset();
        hang_ = false;
    }
    hangChanged_.notify_all();
}

// ---- sleep ----

void SMCKeyModel::sleep(double seconds) {
    if (!(seconds > 0 && seconds <= kMaxSleepSeconds))
        throw std::invalid_argument("sleep lasts more than 0 and at most " + shortestDecimal(kMaxSleepSeconds) +
                                    " seconds");
    std::lock_guard lock(mutex_);
    const clock::Instant now = clock_.now();
    advanceLocked(now);
    if (SimKey* bits = keys_.find(FourCC::code("FS! "))) {
        bits->value = SMCBytes(std::vector<std::uint8_t>(bits->size, 0));
        firmware_.keyChanged(bits->code, now, keys_);
    }
    for (std::size_t i = 0; i < firmware_.fanCount(); ++i) {
        const std::string n = "F" + std::to_string(i);
        keys_.storeDecoded(FourCC::code(n + "Md"), 0);
        if (const auto minimum = keys_.decoded(FourCC::code(n + "Mn"))) keys_.storeDecoded(FourCC::code(n + "Tg"), *minimum);
        if (keys_.storeDecoded(FourCC::code(n + "Ac"), 0)) firmware_.keyChanged(FourCC::code(n + "Ac"), now, keys_);
    }
    // Clearing "Ftst" also ends the firmware's unlock, so manual mode needs it again after wake.
    if (keys_.storeDecoded(FourCC::code("Ftst"), 0)) firmware_.keyChanged(FourCC::code("Ftst"), now, keys_);
}

// ---- thermal model and HID services ----

void SMCKeyModel::setLoad(double load) {
    std::lock_guard lock(mutex_);
    advanceLocked(clock_.now());
    thermal_.setLoad(load);
}

double SMCKeyModel::load() const {
    std::lock_guard lock(mutex_);
    return thermal_.load();
}

std::vector<hid::ServiceRecord> SMCKeyModel::hidServices() {
    std::lock_guard lock(mutex_);
    advanceLocked(clock_.now());
    return thermal_.hidServices();
}

// ---- state ----

std::size_t SMCKeyModel::fanCount() const {
    std::lock_guard lock(mutex_);
    return firmware_.fanCount();
}

nlohmann::ordered_json SMCKeyModel::stateJSON() {
    std::lock_guard lock(mutex_);
    advanceLocked(clock_.now());
    auto value = [&](const std::string& key) -> nlohmann::ordered_json {
        const auto v = keys_.decoded(FourCC::code(key));
        if (!v) return nullptr;
        return *v;
    };
    nlohmann::ordered_json state;
    state["profile"] = profileName_;
    nlohmann::ordered_json fans = nlohmann::ordered_json::array();
    for (std::size_t i = 0; i < firmware_.fanCount(); ++i) {
        const std::string n = "F" + std::to_string(i);
        nlohmann::ordered_json fan;
        fan["index"] = i;
        fan["mode"] = value(n + "Md");
        fan["manual"] = firmware_.isManual(i, keys_);
        fan["target"] = value(n + "Tg");
        fan["actual"] = value(n + "Ac");
        fan["minimum"] = value(n + "Mn");
        fan["maximum"] = value(n + "Mx");
        fans.push_back(std::move(fan));
    }
    state["fans"] = std::move(fans);
    state["Ftst"] = value("Ftst");
    if (keys_.find(FourCC::code("FS! "))) state["FS! "] = value("FS! ");
    state["load"] = thermal_.load();
    nlohmann::ordered_json sensors = nlohmann::ordered_json::array();
    for (const auto& [code, key] : keys_.keys()) {
        const std::string name = FourCC::string(code);
        const auto v = key.readable ? decodeValue(key) : std::nullopt;
        if (!v) continue;
        auto [sensorClass, display] = SensorClassifier::classify(name, SMCDataType::fromRaw(key.type), *v);
        if (sensorClass == SensorClass::other) continue;
        sensors.push_back({{"key", name}, {"name", display}, {"class", rawValue(sensorClass)}, {"value", *v}});
    }
    state["sensors"] = std::move(sensors);
    nlohmann::ordered_json hid = nlohmann::ordered_json::array();
    for (const auto& r : thermal_.hidServices()) {
        nlohmann::ordered_json product = nullptr;
        if (const auto* text = std::get_if<std::string>(&r.product)) product = *text;
        else if (const auto* number = std::get_if<double>(&r.product)) product = *number;
        hid.push_back({{"product", product},
                       {"temperature", r.temperature ? nlohmann::ordered_json(*r.temperature) : nullptr}});
    }
    state["hid"] = std::move(hid);
    // Every exchange served so far: what a client's reads cost, counted from outside the process.
    std::uint64_t exchanges = 0;
    for (const auto& [command, n] : commandCounts_) exchanges += n;
    state["exchanges"] = exchanges;
    state["files"] = fileFaults_.stateJSON();
    return state;
}

}  // namespace quorvane::sim
