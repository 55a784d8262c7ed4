// The files a Linux kernel driver publishes for a Mac's SMC, answered from the virtual Mac's key
// model: the applesmc platform device (mainline), its T2 variant, or the macsmc-hwmon device of
// Apple silicon. Every value goes through the model's SMC exchanges, as the driver's reads and
// writes go through the SMC. A flat directory; the mount that serves it is SysfsMount.
// Thread-safe: the model is; the one key_at_index cursor has its own mutex.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "sim/smc_key_model.hpp"

namespace quorvane::sim {

enum class SysfsLayout { applesmc, t2, macsmcHwmon };

// "applesmc", "t2", "macsmc-hwmon"; nullopt for any other name.
std::optional<SysfsLayout> sysfsLayoutFromName(std::string_view name);

// A file's content, or a negative errno as the driver would return it.
using SysfsRead = std::variant<std::string, int>;

class SysfsTree {
public:
    // A store takes at most one page, as sysfs hands it.
    static constexpr std::size_t kPageSize = 4096;

    struct File {
        std::string name;
        bool writable = false;  // mode 0644, else 0444
        std::function<SysfsRead()> show;
        std::function<int(std::string_view)> store;  // 0 or a negative errno
    };

    // Reads the key table once, as the driver does when it probes. fanControl is macsmc-hwmon's
    // module parameter: without it fanN_target is read-only.
    SysfsTree(std::shared_ptr<SMCKeyModel> model, SysfsLayout layout, bool fanControl = true);

    // The hwmon directory of the CPU's coretemp driver beside an Intel table's SMC: "name", then
    // tempN_input/_label/_max/_crit with temp1 "Package id 0" (the table's package die key) and
    // temp2… "Core 0"… (its per-core die keys, in key order). Values come from the key model, so
    // its thermal model moves them, without SMC exchanges: the driver reads the CPU's own
    // registers. Throws std::invalid_argument when the table has no per-core die keys.
    static std::shared_ptr<const SysfsTree> coretemp(std::shared_ptr<SMCKeyModel> model);

    const std::vector<File>& files() const { return files_; }
    const File* find(std::string_view name) const;
    // -ENOENT for a name the tree lacks; -EACCES to store into a read-only file.
    SysfsRead read(std::string_view name) const;
    int write(std::string_view name, std::string_view data) const;
    // The faults the mount applies to every access of these files (the model's).
    DriverFileFaults& faults() const { return model_->fileFaults(); }

    struct KeyInfo {
        std::uint32_t type = 0;
        std::uint32_t size = 0;
    };

private:
    struct Empty {};
    SysfsTree(std::shared_ptr<SMCKeyModel> model, Empty);

    // Driver-side SMC access: -EINVAL for a key the SMC lacks, -EIO for any other refusal.
    std::variant<KeyInfo, int> info(std::uint32_t key) const;
    // The key's bytes when it holds exactly size bytes (any size when 0).
    std::variant<std::vector<std::uint8_t>, int> readKey(std::uint32_t key, std::uint32_t size = 0) const;
    int writeKey(std::uint32_t key, const std::vector<std::uint8_t>& bytes) const;

    void addIndexFiles();
    void addApplesmcFans(long fans);
    void addHwmonFans(long fans);
    void addChannels();

    SysfsRead showSpeed(std::uint32_t key) const;
    int storeSpeed(std::uint32_t key, std::string_view text) const;
    SysfsRead showManual(long fan) const;
    int storeManual(long fan, std::string_view text) const;
    int storeHwmonTarget(long fan, std::string_view text) const;

    std::shared_ptr<SMCKeyModel> model_;
    const SysfsLayout layout_;
    std::vector<File> files_;
    mutable std::mutex cursorMutex_;
    mutable std::uint64_t keyAtIndex_ = 0;  // guarded by cursorMutex_
};

// The kernel's kstrtoull in base 10: an optional '+', decimal digits, one optional trailing
// newline; nullopt for anything else or an overflow.
std::optional<std::uint64_t> parseKernelUnsigned(std::string_view text);
// kstrtoll: the same with an optional '-'.
std::optional<std::int64_t> parseKernelSigned(std::string_view text);

}  // namespace quorvane::sim
