// A machine profile of the virtual Mac: its fans, firmware behaviour and key population, loaded
// from a JSON data file in the profile directory (sim/profiles/<name>.json).
// Value type, not shared; loading is thread-safe.
#pragma once

#include <cstdint>
#include <istream>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "platform/hid/hid.hpp"
#include "shared/smc/smc_data_codec.hpp"

namespace quorvane::sim {

// A profile that cannot be found or does not parse. The message names the profile and the fault.
class ProfileError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// One SMC key as the controller holds it.
struct KeyDefinition {
    std::string name;               // exactly four bytes
    std::uint32_t type = 0;         // four-character type code
    std::uint32_t size = 0;         // value size in bytes (a real table may report more than 32)
    std::uint8_t attributes = 0;    // reported by key information, not interpreted
    bool readable = true;
    bool writable = false;
    SMCBytes value;                 // exactly min(size, 32) bytes
};

struct FanDefinition {
    std::uint32_t type = 0;         // type of F<n>Ac/Mn/Mx/Tg ("flt " or "fpe2"); F<n>Md is ui8
    double minimum = 0;
    double maximum = 0;
    double autoSpeed = 0;           // where the firmware drives the fan in automatic mode
};

struct FirmwareSettings {
    // Manual mode (F<n>Md = 1) is refused until "Ftst" = 1 and unlockDelay has passed since.
    bool manualModeNeedsForceTest = false;
    double unlockDelay = 3.5;       // seconds
    double fanTimeConstant = 1.5;   // seconds, first-order lag of the actual speed
};

// The CPU as sysctl describes it: one performance level (Intel) or two (performance and
// efficiency cores, Apple silicon).
struct CPUTopology {
    int performanceLevels = 1;  // 1 or 2
    int performanceCores = 1;   // at least 1
    int efficiencyCores = 0;    // 0 exactly when there is one level

    // "P,E" as given on the command line; E = 0 means one performance level.
    // Throws ProfileError naming the fault.
    static CPUTopology fromText(const std::string& text);
    // Throws ProfileError when the counts cannot describe a Mac.
    void validate(const std::string& where) const;
    friend bool operator==(const CPUTopology&, const CPUTopology&) = default;
};

struct MachineProfile {
    std::string name;
    std::string description;
    FirmwareSettings firmware;
    std::vector<FanDefinition> fans;   // at most 10
    bool hasForceTest = false;         // the profile has the "Ftst" key
    std::vector<KeyDefinition> keys;   // every other key ("FNum", fan keys, "Ftst", "#KEY" are generated)
    // Loaded from a real machine's key table: keys holds every key as recorded ("#KEY", "FNum"
    // and the fan keys included) and nothing is generated; fans are read from the table.
    bool realKeyTable = false;
    std::vector<hid::ServiceRecord> hidServices;  // the HID temperature services it publishes
    // Answered to sysctl; none when nothing describes the machine's CPU (sysctl then knows nothing).
    std::optional<CPUTopology> cpu;

    // Loads <directory()>/<name>.json. Throws ProfileError for an unknown name (listing the known
    // ones) or a malformed file.
    static MachineProfile load(const std::string& name);
    // Parses a profile document. Throws ProfileError.
    static MachineProfile fromJSON(const nlohmann::json& document, const std::string& name);
    // Names of the profiles in directory(), sorted.
    static std::vector<std::string> available();
    static std::string directory();
    // A real machine's key table (CSV "key,type,size,hex,value", as in the SMC dump collection):
    // every key with its recorded type, size, order and bytes; unreadable keys stay unreadable.
    // The CPU comes from topology/topology.csv beside the table, where it has a row.
    // Throws ProfileError for a missing or malformed file (the message names line and fault).
    static MachineProfile fromDump(const std::string& path);
    // Where the real key tables are (configured at build time); a profile's "dump" is relative to it.
    static std::string dumpDirectory();
    // The key table a command line names: an existing file as given, else the table in
    // dumpDirectory() for a model ("MacBookPro11,4" or "MacBookPro11_4"; a table named after the
    // model and its chip, "Mac16_10_M4_j773g_MacMini", is found by "Mac16,10"). Throws
    // ProfileError naming the folder searched when none or more than one table fits.
    static std::string findDump(const std::string& nameOrPath);
    // The row of the topology table (CSV "table,chip,performance_levels,performance_cores,
    // efficiency_cores,note") for a table name; none when the file or the row is missing.
    // Throws ProfileError for a malformed row or file.
    static std::optional<CPUTopology> topologyOf(const std::string& topologyPath, const std::string& table);
    static std::optional<CPUTopology> topologyOf(std::istream& topologyTable, const std::string& table);

    // The complete key population: the explicit keys plus FNum, fan keys, Ftst and #KEY.
    // Throws ProfileError on a duplicate key.
    std::vector<KeyDefinition> allKeys() const;
};

// "flt" or "flt " → the code of "flt "; any one-to-four byte text is padded with spaces.
// Throws ProfileError when the text is empty or longer than four bytes.
std::uint32_t typeCodeFromText(const std::string& text);

}  // namespace quorvane::sim
