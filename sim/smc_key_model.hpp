// The virtual SMC controller: answers 80-byte user-client records (key information, read, write,
// key by index) from a machine profile's key table, runs the fan firmware, counts exchanges, logs
// successful writes and injects faults (result bytes, transport failures, short output, refused
// opens, hangs). Thread-safe: one mutex guards all state; hung calls wait on a condition variable
// without holding it.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "platform/clock/clock.hpp"
#include "platform/iokit/iokit.hpp"
#include "sim/driver_file_faults.hpp"
#include "sim/fan_firmware.hpp"
#include "sim/key_store.hpp"
#include "sim/machine_profile.hpp"
#include "sim/smc_record.hpp"
#include "sim/thermal_model.hpp"

namespace quorvane::sim {

// One successful client write: the key and its value decoded by the key's type (NaN for a type
// without a numeric encoding).
struct WriteEntry {
    std::string key;
    double value = 0;
};

class SMCKeyModel {
public:
    // The model reads time from clock for every exchange; clock must outlive it.
    SMCKeyModel(const MachineProfile& profile, const clock::Clock& clock);
    ~SMCKeyModel();
    SMCKeyModel(const SMCKeyModel&) = delete;
    SMCKeyModel& operator=(const SMCKeyModel&) = delete;

    // ---- user-client side ----
    // Opens a connection: its id (an increasing open generation) or the refused-open code.
    kern_return_t openConnection(std::uint64_t& connectionId);
    // One struct-method call on a connection: selector 2, 80 bytes in, an output buffer of at
    // least 80 bytes. Bad arguments give kIOReturnBadArgument; after shutdown kIOReturnNotResponding.
    kern_return_t call(std::uint64_t connectionId, std::uint32_t selector, const void* input,
                       std::size_t inputSize, void* output, std::size_t* outputSize);
    // The controller's answer to one record, with result faults applied; no transport faults, no
    // hang. Counts the exchange.
    SMCRecord exchange(const SMCRecord& request);
    // Successful opens so far.
    std::uint64_t openCount() const;
    // Wakes every hung call and makes later calls and opens fail; ends the driver files' delays.
    // Idempotent.
    void shutdown();

    // ---- direct state access (tests, the control socket); every name is four bytes ----
    // Set a key's value as firmware state would be: no access or firmware checks, not logged,
    // not counted. Throws std::invalid_argument for an absent key or a value its type cannot hold.
    void setKey(const std::string& key, double value);
    void setKeyBytes(const std::string& key, const std::vector<std::uint8_t>& bytes);
    // The key's decoded value; throws std::invalid_argument when absent or not numeric.
    double readKey(const std::string& key);
    std::vector<std::uint8_t> readKeyBytes(const std::string& key);
    bool hasKey(const std::string& key) const;
    // Adds or replaces a key; "#KEY" follows the key count.
    void addKey(const KeyDefinition& definition);
    // False when the key was absent; "#KEY" follows the key count.
    bool removeKey(const std::string& key);
    std::size_t keyCount() const;

    // ---- counters ----
    // Exchanges that reached the controller (injected result faults included; transport failures,
    // refused calls and bad arguments not).
    std::uint64_t exchangeCount(std::uint8_t command) const;
    // Per command and request key ("key by index" requests carry no key: count them by command).
    std::uint64_t exchangeCount(std::uint8_t command, const std::string& key) const;
    std::uint64_t totalExchanges() const;
    // Successful client writes in order (the most recent kWriteLogCapacity).
    std::vector<WriteEntry> writeLog() const;
    void resetCounters();
    static constexpr std::size_t kWriteLogCapacity = 100000;

    // ---- faults ----
    // Every exchange of key (only of command, if given) answers result.
    void failKey(const std::string& key, std::uint8_t result, std::optional<std::uint8_t> command = std::nullopt);
    // The next count exchanges of key (of command, if given) answer result; then it recovers.
    void failNext(const std::string& key, int count, std::uint8_t result,
                  std::optional<std::uint8_t> command = std::nullopt);
    void clearFault(const std::string& key);
    // Calls (for key only, if given) return code without reaching the controller; nullopt clears.
    void failTransport(std::optional<kern_return_t> code, std::optional<std::string> key = std::nullopt);
    // Calls report this output size (and copy no more); nullopt restores 80.
    void setShortOutput(std::optional<std::size_t> size);
    // Opens fail with code; nullopt accepts them again.
    void refuseOpen(std::optional<kern_return_t> code);
    // On: calls on every connection opened so far block until off (connections opened later are
    // not affected). Off wakes them.
    void setHang(bool on);
    bool hanging() const;
    // Calls currently blocked by a hang.
    std::size_t hungCalls() const;
    // Waits (real time, at most timeout) until at least n calls are blocked by a hang.
    bool waitForHungCalls(std::size_t n, std::chrono::milliseconds timeout) const;
    void clearFaults();  // every fault above, the hang included
    // Faults of the Linux driver's files served from this model (not cleared by clearFaults).
    DriverFileFaults& fileFaults() { return fileFaults_; }

    // A suspend and resume, as a Mac's firmware goes through one: every mode key, the "FS! " bits
    // and "Ftst" back to 0, targets back to the fans' minimum, fans standing still at wake.
    // Throws std::invalid_argument unless 0 < seconds <= kMaxSleepSeconds.
    void sleep(double seconds);
    static constexpr double kMaxSleepSeconds = 86400;

    // ---- thermal model and HID services ----
    // Machine load 0…1 (clamped; NaN ignored): heats the temperature keys, fans cool them.
    void setLoad(double load);
    double load() const;
    // The HID temperature services as published now.
    std::vector<hid::ServiceRecord> hidServices();

    // ---- state ----
    const std::string& profileName() const { return profileName_; }
    std::size_t fanCount() const;
    // {"profile", "fans": [{"index", "mode", "manual", "target", "actual", "minimum", "maximum"}],
    //  "Ftst", "FS! " (only where the Mac has it), "load", "sensors": [{"key", "name", "class",
    //  "value"}], "hid": [{"product", "temperature"}], "exchanges", "files" (the driver files'
    // faults, DriverFileFaults::stateJSON)}; a value whose key is absent or not numeric is null.
    // Sensors are the keys the classifier recognises, in key order.
    nlohmann::ordered_json stateJSON();

private:
    struct KeyFault {
        std::optional<std::uint8_t> command;
        std::uint8_t result = 0;
        int remaining = -1;  // -1: for ever
    };
    struct TransportFault {
        kern_return_t code = 0;
        std::optional<std::uint32_t> key;
    };

    SMCRecord exchangeLocked(const SMCRecord& request);
    void advanceLocked(clock::Instant now);
    std::optional<std::uint8_t> takeFaultLocked(std::uint32_t key, std::uint8_t command);
    void updateKeyCountLocked();
    SimKey& requireKeyLocked(const std::string& key);

    const clock::Clock& clock_;
    const std::string profileName_;
    std::uint32_t keyCountKey_;

    mutable std::mutex mutex_;
    mutable std::condition_variable hangChanged_;
    mutable std::condition_variable hungCountChanged_;
    KeyStore keys_;                                                   // guarded by mutex_
    FanFirmware firmware_;                                            // guarded by mutex_
    ThermalModel thermal_;                                            // guarded by mutex_
    std::map<std::uint8_t, std::uint64_t> commandCounts_;             // guarded by mutex_
    std::map<std::pair<std::uint8_t, std::uint32_t>, std::uint64_t> keyCounts_;  // guarded by mutex_
    std::deque<WriteEntry> writeLog_;                                 // guarded by mutex_
    std::map<std::uint32_t, std::vector<KeyFault>> keyFaults_;        // guarded by mutex_
    std::optional<TransportFault> transportFault_;                    // guarded by mutex_
    std::optional<std::size_t> shortOutput_;                          // guarded by mutex_
    std::optional<kern_return_t> refuseOpen_;                         // guarded by mutex_
    std::uint64_t openGeneration_ = 0;                                // guarded by mutex_
    bool hang_ = false;                                               // guarded by mutex_
    std::uint64_t hangGeneration_ = 0;   // connections with id <= this hang; guarded by mutex_
    std::size_t hungCalls_ = 0;                                       // guarded by mutex_
    bool shutdown_ = false;                                           // guarded by mutex_
    DriverFileFaults fileFaults_;                                     // thread-safe on its own
};

}  // namespace quorvane::sim
