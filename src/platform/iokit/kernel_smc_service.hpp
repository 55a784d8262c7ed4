// The "AppleSMC" service of a real Mac running Linux: the five SMC operations the system uses
// (key information, read, write, key by index, "#KEY") translated onto the files of the kernel's
// driver: mainline applesmc (Intel), its T2 variant (same files on the ACPI device), the hwmon
// layout with fanN_target / pwmN_enable, and macsmc-hwmon (Apple silicon). Thread-safe: every
// open is a new user client with its own descriptors; the key index and the driver lock are shared.
// Without the cursor (no root) fans and temperatures still read from their world-readable files.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/iokit/iokit.hpp"

namespace quorvane::iokit {

// Where the "AppleSMC" service comes from, chosen once per process from QUORVANE_SMC_BACKEND:
// "socket", "applesmc:DIR", "macsmc-hwmon:DIR" or "auto" (the default).
struct SMCBackend {
    enum class Kind { socket, applesmc, macsmcHwmon };
    Kind kind = Kind::socket;
    std::string directory;  // the driver's device directory (kernel kinds)
    std::string error;      // the variable names nothing usable: no service at all, and this says why
};

// value null or empty means "auto", which tries the mainline device, the T2 device, then a hwmon
// device named "macsmc_hwmon" under sysRoot, else the socket.
SMCBackend resolveSMCBackend(const char* value, const std::string& sysRoot = "/sys");
// The process's choice, resolved from the environment on first use.
const SMCBackend& smcBackend();
// Where sysfs is looked for: "/sys", or $QUORVANE_SYS_ROOT (a stand-in tree, for tests).
std::string sysRoot();
// Whether the daemon could write the file: it runs as root without capabilities, so only the
// owner write bit of a root-owned file (or the others' bit) counts; as root, also the mount and
// the kernel's own say (access).
bool writableByDaemon(const std::string& path);
std::string describe(SMCBackend::Kind kind);

// What the driver's files offer, found once when the service is made.
struct KernelDeviceLayout {
    SMCBackend::Kind kind = SMCBackend::Kind::applesmc;
    std::string keyDirectory;     // key_count, key_at_index*: applesmc kinds only
    std::string fanDirectory;     // fanN_* (the device itself, or its hwmon child)
    int fanCount = 0;             // fanN_input files, N = 1 … 10; fan N is SMC fan N - 1
    std::string targetAttribute;  // "output" (mainline) or "target"
    std::string modeAttribute;    // "manual" (fanN_manual), "pwm" (pwmN_enable) or "" (none)
    bool targetWritable = false;  // writableByDaemon(target of fan 0)
    int keyCount = 0;             // key_count (applesmc kinds)
    std::vector<std::string> temperatureLabels;  // tempN_label for N = 1 …, as read

    std::string fanPath(int fan, const std::string& attribute) const;  // fan is the SMC index
    std::string targetPath(int fan) const { return fanPath(fan, targetAttribute); }
    std::string modePath(int fan) const;
};

struct KernelSMCOptions {
    SMCBackend::Kind kind = SMCBackend::Kind::applesmc;
    std::string directory;
    std::chrono::milliseconds deadline{1000};  // longest wait for the driver lock
    // Runs after each write that succeeded, on the accessing thread. A plain directory has none
    // of the driver's read-after-write files; a test stands in for them here.
    std::function<void(const std::string& path, const std::string& text)> afterWrite;
    // Our processes' lock on the key cursor; empty: "smc-driver.lock" in the bootstrap directory.
    std::string lockFile = {};
};

// A temperature channel of a hwmon device (macsmc-hwmon), for the HID stand-in.
struct KernelTemperature {
    std::string label;
    double celsius = 0;
};

class KernelSMCService final : public Service, public std::enable_shared_from_this<KernelSMCService> {
public:
    // Probes the directory. Null, with error set, when it is not the driver's.
    static std::shared_ptr<KernelSMCService> create(const KernelSMCOptions& options, std::string& error);
    ~KernelSMCService() override;

    kern_return_t open(std::uint32_t type, std::shared_ptr<UserClient>& client) override;
    const KernelDeviceLayout& layout() const;
    // File accesses made by every client of this service so far (cost figures).
    std::uint64_t fileOperations() const;
    // Every tempN_input of a hwmon device with its label; channels that do not read are left out.
    std::vector<KernelTemperature> readTemperatures();

    struct Shared;

private:
    explicit KernelSMCService(std::shared_ptr<Shared> shared) : shared_(std::move(shared)) {}
    std::shared_ptr<Shared> shared_;
};

// The kernel service of the process's own backend (null for the socket or on error), made once.
std::shared_ptr<KernelSMCService> kernelSMCService();

}  // namespace quorvane::iokit
