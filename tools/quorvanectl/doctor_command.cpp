// quorvanectl doctor: where the SMC is reached, how this Mac takes a fan, its fans and bounds,
// whether targets can be written, whether the daemon answers, and what to do about each problem.
// Exits 0 only when the fans can be controlled.
#include <unistd.h>

#include <cstdlib>
#include <iostream>
#include <string>
#include <vector>

#include "client_error.hpp"
#include "commands.hpp"
#include "daemon_client.hpp"
#include "display_text.hpp"
#include "doctor_driver.hpp"
#include "sensor_feed.hpp"
#include "platform/iokit/kernel_smc_service.hpp"
#include "smc_session.hpp"
#include "smc/smc_fan_reader.hpp"
#include "smc/smc_kernel_bridge.hpp"

namespace quorvane::ctl {

namespace {

struct Findings {
    std::vector<std::string> problems;  // each: what is wrong, then what to do
    void problem(const std::string& text) { problems.push_back(text); }
};

std::string modeMechanism(SMCKernelBridge& bridge, const iokit::KernelDeviceLayout* layout) {
    using Kind = iokit::SMCBackend::Kind;
    if (layout && layout->kind == Kind::macsmcHwmon)
        return "fanX_target: a speed within the fan's bounds takes the fan, 0 hands it back";
    std::string keys = bridge.hasKey("F0Md") ? "\"F<n>Md\" mode keys" : bridge.hasKey("FS! ") ? "the \"FS! \" bitmask" : "none found";
    if (bridge.hasKey("Ftst")) keys += ", unlocked by \"Ftst\"";
    if (!layout) return keys;
    if (layout->modeAttribute == "manual") return keys + ", through fanN_manual";
    if (layout->modeAttribute == "pwm") return keys + ", through pwmN_enable (1 manual, 2 automatic)";
    return keys + ", but the driver offers no fanN_manual or pwmN_enable file";
}

}  // namespace

DriverFindings examineDriver(const iokit::SMCBackend& backend, const std::string& sysRoot, bool asRoot, bool probed) {
    using Kind = iokit::SMCBackend::Kind;
    DriverFindings f;
    const auto exists = [](const std::string& path) { return ::access(path.c_str(), F_OK) == 0; };
    if (!backend.error.empty()) {
        f.problems.push_back(backend.error);
        return f;
    }
    if (backend.kind == Kind::socket) {
        const std::string t2 = sysRoot + "/bus/acpi/devices/APP0001:00";
        if (probed && exists(t2)) {
            f.lines.push_back("backend: none: " + t2 + " is here but has no key_count");
            f.problems.push_back(
                "this is a T2 Mac, and its kernel lacks the T2 patches for applesmc (the driver does not "
                "serve " + t2 + "): boot a kernel with the t2linux applesmc patches");
        } else {
            f.lines.push_back("backend: the virtual Mac's socket (no applesmc, APP0001 or macsmc_hwmon device found)");
        }
        return f;
    }
    f.lines.push_back("backend: " + iokit::describe(backend.kind) + " at " + backend.directory);
    std::string error;
    f.kernel = iokit::KernelSMCService::create({backend.kind, backend.directory, std::chrono::milliseconds(1000), {}}, error);
    if (!f.kernel) {
        f.problems.push_back(error + ": check that the driver is loaded (lsmod, dmesg) and the path is its device");
        return f;
    }
    const iokit::KernelDeviceLayout& layout = f.kernel->layout();
    // The key walk writes the driver's root-only key index.
    f.needsRoot = layout.kind == Kind::applesmc && !asRoot;
    if (layout.fanDirectory != layout.keyDirectory && layout.kind == Kind::applesmc)
        f.lines.push_back("fan files: " + layout.fanDirectory);
    if (layout.fanCount > 0) {
        f.lines.push_back("targets: " + layout.targetPath(0) +
                          (layout.targetWritable ? " is writable" : " is read-only") + " for the daemon");
        if (!layout.targetWritable) {
            f.problems.push_back(
                layout.kind == Kind::macsmcHwmon
                    ? "fan targets are read-only: macsmc_hwmon was loaded without fan control, and the target "
                      "files' mode is fixed when the driver registers the device, so changing the parameter now "
                      "changes nothing. Reload the module (modprobe -r macsmc_hwmon && modprobe macsmc_hwmon "
                      "fan_control=1) or set it for every boot (\"options macsmc_hwmon fan_control=1\" in "
                      "/etc/modprobe.d/, or macsmc_hwmon.fan_control=1 on the kernel command line), then "
                      "restart the daemon (systemctl restart com.quorvane.SMCService)"
                    : "fan targets are read-only: the driver does not let fans be set on this machine");
        }
        if (layout.kind == Kind::applesmc && layout.modeAttribute.empty())
            f.problems.push_back("the driver offers no fanN_manual or pwmN_enable: fans cannot be taken under manual control");
    }
    return f;
}

int doctorCommand() {
    using Kind = iokit::SMCBackend::Kind;
    Findings f;
    const iokit::SMCBackend& backend = iokit::smcBackend();
    const char* variable = std::getenv("QUORVANE_SMC_BACKEND");
    std::cout << "QUORVANE_SMC_BACKEND: " << (variable && *variable ? variable : "auto (unset)") << "\n";

    const bool probed = !variable || !*variable || std::string(variable) == "auto";
    const DriverFindings driver = examineDriver(backend, iokit::sysRoot(), ::geteuid() == 0, probed);
    for (const auto& line : driver.lines) std::cout << line << "\n";
    for (const auto& p : driver.problems) f.problem(p);
    const bool noDevice = backend.kind == Kind::socket && !f.problems.empty();

    std::shared_ptr<SMCKernelBridge> bridge;
    if (driver.needsRoot) {
        std::cout << "fans: needs root\n";
        f.problem("the driver's key index can be written by root only: run doctor as root to check the fans "
                  "(sudo quorvanectl doctor)");
    } else if (backend.error.empty() && !noDevice && (backend.kind == Kind::socket || driver.kernel)) {
        try {
            bridge = SMCKernelBridge::open();
        } catch (const SMCError& e) {
            if (deniedToThisUser(e)) {
                f.problem("the SMC: " + permissionDeniedText());
            } else {
                f.problem("the SMC cannot be opened (" + e.description() + "): " +
                          (backend.kind == Kind::socket ? "start the virtual Mac, or run on a Mac with its kernel driver"
                                                        : "check the driver's files and this process's rights"));
            }
        }
    }
    const iokit::KernelDeviceLayout* layout = driver.kernel ? &driver.kernel->layout() : nullptr;
    if (bridge) {
        std::cout << "mode mechanism: " << modeMechanism(*bridge, layout) << "\n";
        const auto fans = SMCFanReader(bridge).allFans();
        std::cout << "fans: " << fans.size() << "\n";
        for (const auto& fan : fans) {
            std::cout << "  fan " << fan.id << ": " << (fan.currentRPMValid ? rpmText(fan.currentRPM) : kNoReading)
                      << " rpm, bounds " << rpmText(fan.minRPM) << "-" << rpmText(fan.maxRPM) << " rpm, "
                      << (fan.isManaged ? "manual" : "automatic") << "\n";
            if (!(fan.maxRPM > fan.minRPM && fan.minRPM >= 0))
                f.problem("fan " + std::to_string(fan.id) + " reports no usable bounds: the daemon will refuse it");
        }
        if (fans.empty()) f.problem("no fans found: nothing to control on this machine");
        // Which readings drive the fans under the default sensor group.
        std::cout << "control temperature: " << SensorFeed(bridge).dieGroupSummary() << "\n";
    }

    try {
        DaemonClient::Options options;
        options.heartbeats = false;
        DaemonClient client(options);
        const std::string version = client.helperVersion();
        std::cout << "daemon: running, version " << version << ", at " << DaemonClient::socketPath() << "\n";
    } catch (const ClientError& e) {
        std::cout << "daemon: not answering\n";
        const std::string why = e.what();
        f.problem(why == permissionDeniedText() ? "the daemon: " + why
                                                : why + " Start it: systemctl start com.quorvane.SMCService");
    }

    if (f.problems.empty()) {
        std::cout << "fans can be controlled\n";
        return ExitStatus::ok;
    }
    std::cout << "problems:\n";
    for (const auto& p : f.problems) std::cout << "  - " << p << "\n";
    std::cout.flush();
    return ExitStatus::failed;
}

}  // namespace quorvane::ctl
