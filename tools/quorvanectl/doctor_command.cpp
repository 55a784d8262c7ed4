// quorvanectl doctor: where the SMC is reached, how this Mac takes a fan, its fans and bounds,
// whether targets can be written, whether the daemon answers, and what to do about each problem.
// Exits 0 only when the fans can be controlled.
#include <cstdlib>
#include <iostream>
#include <string>
#include <vector>

#include "client_error.hpp"
#include "commands.hpp"
#include "daemon_client.hpp"
#include "display_text.hpp"
#include "sensor_feed.hpp"
#include "platform/iokit/kernel_smc_service.hpp"
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

int doctorCommand() {
    using Kind = iokit::SMCBackend::Kind;
    Findings f;
    const iokit::SMCBackend& backend = iokit::smcBackend();
    const char* variable = std::getenv("QUORVANE_SMC_BACKEND");
    std::cout << "QUORVANE_SMC_BACKEND: " << (variable && *variable ? variable : "auto (unset)") << "\n";

    std::shared_ptr<iokit::KernelSMCService> kernel;
    if (!backend.error.empty()) {
        f.problem(backend.error);
    } else if (backend.kind == Kind::socket) {
        std::cout << "backend: the virtual Mac's socket (no applesmc, APP0001 or macsmc_hwmon device found)\n";
    } else {
        std::cout << "backend: " << iokit::describe(backend.kind) << " at " << backend.directory << "\n";
        kernel = iokit::kernelSMCService();
        std::string error;
        if (!kernel) iokit::KernelSMCService::create({backend.kind, backend.directory, std::chrono::milliseconds(1000), {}}, error);
        if (!kernel) f.problem(error + ": check that the driver is loaded (lsmod, dmesg) and the path is its device");
    }

    std::shared_ptr<SMCKernelBridge> bridge;
    if (backend.error.empty()) {
        try {
            bridge = SMCKernelBridge::open();
        } catch (const SMCError& e) {
            f.problem("the SMC cannot be opened (" + e.description() + "): " +
                      (backend.kind == Kind::socket ? "start the virtual Mac, or run on a Mac with its kernel driver"
                                                    : "check the driver's files and this process's rights"));
        }
    }
    const iokit::KernelDeviceLayout* layout = kernel ? &kernel->layout() : nullptr;
    if (layout && layout->fanDirectory != layout->keyDirectory && layout->kind == Kind::applesmc)
        std::cout << "fan files: " << layout->fanDirectory << "\n";
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
    if (layout && layout->fanCount > 0) {
        std::cout << "targets: " << layout->targetPath(0) << (layout->targetWritable ? " is writable" : " is read-only")
                  << "\n";
        if (!layout->targetWritable) {
            f.problem(layout->kind == Kind::macsmcHwmon
                          ? "fan targets are read-only: load the driver with fan control on (modprobe macsmc_hwmon "
                            "fan_control=1, or fan_control=1 in /sys/module/macsmc_hwmon/parameters) and restart "
                            "the daemon"
                          : "fan targets are read-only: the driver does not let fans be set on this machine");
        }
        if (layout->kind == Kind::applesmc && layout->modeAttribute.empty())
            f.problem("the driver offers no fanN_manual or pwmN_enable: fans cannot be taken under manual control");
    }

    try {
        DaemonClient::Options options;
        options.heartbeats = false;
        DaemonClient client(options);
        const std::string version = client.helperVersion();
        std::cout << "daemon: running, version " << version << ", at " << DaemonClient::socketPath() << "\n";
    } catch (const ClientError& e) {
        std::cout << "daemon: not answering\n";
        f.problem(std::string(e.what()) + " Start it: systemctl start com.quorvane.SMCService");
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
