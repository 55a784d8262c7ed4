// quorvane-virtual-mac: serves a machine profile's (or a real key table's) SMC as the "AppleSMC"
// service and its HID temperature services as the HID event system, on sockets in the bootstrap
// directory until SIGTERM or SIGINT, with a control socket beside them; "ctl" sends one control
// request to a running instance.
#include <charconv>
#include <csignal>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <iostream>
#include <cstdint>
#include <string>

#include <pthread.h>

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include "platform/bootstrap/bootstrap.hpp"
#include "platform/bootstrap/service_manager.hpp"
#include "platform/clock/clock.hpp"
#include "platform/hid/hid.hpp"
#include "platform/iokit/iokit.hpp"
#include "sim/control_protocol.hpp"
#include "sim/control_socket.hpp"
#include "sim/driver_file_faults.hpp"
#include "sim/sysfs_mount.hpp"
#include "sim/sysfs_tree.hpp"
#include "sim/virtual_mac.hpp"

namespace {

using namespace quorvane;

constexpr const char* kProgram = "quorvane-virtual-mac";

struct SysfsOptions {
    std::string directory;  // empty: no driver files
    sim::SysfsLayout layout = sim::SysfsLayout::applesmc;
    bool fanControl = true;
    std::string coretempDirectory;  // empty: no coretemp files
};

int serve(const std::string& profileName, const std::string& dumpPath, const SysfsOptions& sysfs,
          const std::string& cores) {
    // Signals become a sigwait on the main thread; every thread started below inherits the mask.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    static const clock::SuspendingClock suspendingClock;
    std::shared_ptr<sim::VirtualMac> mac;
    try {
        auto profile = dumpPath.empty() ? sim::MachineProfile::load(profileName)
                                        : sim::MachineProfile::fromDump(sim::MachineProfile::findDump(dumpPath));
        if (!cores.empty()) profile.cpu = sim::CPUTopology::fromText(cores);
        mac = sim::VirtualMac::create(profile, suspendingClock);
    } catch (const std::exception& e) {
        std::cerr << kProgram << ": " << e.what() << "\n";
        return 1;
    }

    const std::string smcPath = bootstrap::socketPath(sim::kAppleSMCServiceClass);
    const std::string ctlPath = bootstrap::socketPath(sim::kControlSocketName);
    try {
        std::filesystem::create_directories(bootstrap::directory());
        iokit::SocketServiceServer smcServer(smcPath, mac);
        hid::SocketEventSystemServer hidServer(bootstrap::socketPath(hid::kEventSystemSocketName), mac->eventSystem());
        sysctl::SocketSysctlServer sysctlServer(bootstrap::socketPath(sysctl::kSysctlSocketName), mac->sysctlProvider());
        sim::ControlServer controlServer(ctlPath, mac->sharedModel());
        std::unique_ptr<sim::SysfsMount> sysfsMount;
        if (!sysfs.directory.empty()) {
            auto tree = std::make_shared<const sim::SysfsTree>(mac->sharedModel(), sysfs.layout, sysfs.fanControl);
            sysfsMount = std::make_unique<sim::SysfsMount>(tree, sysfs.directory);
            std::cerr << kProgram << ": driver files on " << sysfs.directory << "\n";
        }
        std::unique_ptr<sim::SysfsMount> coretempMount;
        if (!sysfs.coretempDirectory.empty()) {
            coretempMount = std::make_unique<sim::SysfsMount>(sim::SysfsTree::coretemp(mac->sharedModel()),
                                                              sysfs.coretempDirectory);
            std::cerr << kProgram << ": coretemp files on " << sysfs.coretempDirectory << "\n";
        }
        std::cerr << kProgram << ": serving profile \"" << mac->profileName() << "\" on " << smcPath << "\n";
        bootstrap::notifyServiceManager("READY=1");

        int signo = 0;
        while (sigwait(&signals, &signo) != 0) {
        }
        std::cerr << kProgram << ": signal " << signo << ", stopping\n";
        // Hung calls must end before the servers join their connection threads.
        mac->model().shutdown();
        sysfsMount.reset();
        coretempMount.reset();
    } catch (const std::exception& e) {
        std::cerr << kProgram << ": " << e.what() << "\n";
        mac->model().shutdown();
        return 1;
    }
    return 0;
}

int control(const std::string& request) {
    std::string reply;
    try {
        reply = sim::sendControlRequest(bootstrap::socketPath(sim::kControlSocketName), request);
    } catch (const sim::ControlUnavailable& e) {
        std::cerr << kProgram << ": " << e.what() << "\n";
        return 1;
    }
    if (reply.rfind("ok", 0) == 0 && (reply.size() == 2 || reply[2] == ' ')) {
        const std::string payload = reply.size() > 3 ? reply.substr(3) : std::string();
        if (request == "state" || request == "files") {
            const auto state = nlohmann::ordered_json::parse(payload, nullptr, false);
            std::cout << (state.is_discarded() ? payload : state.dump(2)) << "\n";
        } else if (!payload.empty()) {
            std::cout << payload << "\n";
        }
        return 0;
    }
    const std::string message = reply.rfind("error ", 0) == 0 ? reply.substr(6) : reply;
    std::cerr << kProgram << ": " << message << "\n";
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"The virtual Mac: an SMC with fans and firmware behaviour, served as AppleSMC"};
    app.name(kProgram);
    std::string profile = "apple-silicon-laptop";
    app.add_option("--profile", profile, "Machine profile (" + [] {
        std::string names;
        for (const auto& n : sim::MachineProfile::available()) names += (names.empty() ? "" : ", ") + n;
        return names;
    }() + ")")->capture_default_str();

    std::string dump;
    auto* dumpOption = app.add_option("--dump", dump,
                   "Serve a real Mac's key table instead: a CSV file (key,type,size,hex,value), or a model such "
                   "as MacBookPro11,4 in " + sim::MachineProfile::dumpDirectory());
    std::string cores;
    app.add_option("--cores", cores, "The table's CPU as P,E performance and efficiency cores (E = 0: one level, as on Intel)")
        ->needs(dumpOption);

    SysfsOptions sysfs;
    app.add_option("--sysfs", sysfs.directory, "Also mount the Linux driver's files on this directory (FUSE)");
    app.add_option("--coretemp", sysfs.coretempDirectory,
                   "Also mount the CPU's coretemp hwmon files (Intel tables) on this directory (FUSE)");
    std::string layout = "applesmc";
    app.add_option("--sysfs-layout", layout, "Driver whose files to serve")
        ->check(CLI::IsMember({"applesmc", "t2", "macsmc-hwmon"}))
        ->capture_default_str();
    bool noFanControl = false;
    app.add_flag("--sysfs-no-fan-control", noFanControl,
                 "macsmc-hwmon loaded without fan_control: fan targets read-only");

    CLI::App* ctl = app.add_subcommand("ctl", "Send a control request to the running virtual Mac");
    ctl->require_subcommand(1);
    std::string key, value, onoff, result;
    std::string request;

    auto* read = ctl->add_subcommand("read", "Print a key's value");
    read->add_option("KEY", key)->required();
    read->callback([&] { request = "read " + key; });

    auto* write = ctl->add_subcommand("write", "Set a key's value as firmware state would be");
    write->add_option("KEY", key)->required();
    write->add_option("VALUE", value)->required();
    write->callback([&] { request = "write " + key + " " + value; });

    for (const char* name : {"hang", "refuse-open"}) {
        auto* sub = ctl->add_subcommand(name, std::string(name) == "hang"
                                                  ? "Block calls on every connection opened so far"
                                                  : "Make opening the service fail");
        sub->add_option("STATE", onoff)->required()->check(CLI::IsMember({"on", "off"}));
        sub->callback([&request, &onoff, name] { request = std::string(name) + " " + onoff; });
    }

    auto* fail = ctl->add_subcommand("fail", "Answer every exchange of a key with a result byte");
    fail->add_option("KEY", key)->required();
    fail->add_option("RESULT", result, "Decimal, 0x-hex or off")->required();
    fail->callback([&] { request = "fail " + key + " " + result; });

    auto* load = ctl->add_subcommand("load", "Set the machine load (0…1) that heats the temperature keys");
    load->add_option("FRACTION", value)->required();
    load->callback([&] { request = "load " + value; });

    auto* sleep = ctl->add_subcommand("sleep", "Suspend and resume: the firmware drops manual mode and targets");
    sleep->add_option("SECONDS", value)->required();
    sleep->callback([&] { request = "sleep " + value; });

    auto* state =
        ctl->add_subcommand("state", "Print the fans, Ftst, FS! (where present), load, sensors and HID services as JSON");
    state->callback([&] { request = "state"; });

    // The driver files' faults (with --sysfs); bounds checked here and again by the instance.
    auto* files =
        ctl->add_subcommand("files", "Make the driver files slow, failing or vanish; alone: print their faults");
    files->require_subcommand(0, 1);
    files->callback([&] {
        if (request.empty()) request = "files";
    });
    std::uint32_t delayMs = 0, count = 0;
    double probability = 0;
    std::string seed;
    auto* delay =
        files->add_subcommand("delay", "Every open, read and write of the files takes MS milliseconds more (0: off)");
    delay->add_option("MS", delayMs)->required()->check(CLI::Range(0u, sim::DriverFileFaults::kMaxDelayMs));
    delay->callback([&] { request = "files delay " + std::to_string(delayMs); });
    for (const char* name : {"fail-reads", "fail-writes"}) {
        auto* sub = files->add_subcommand(name, std::string("The next N ") + (name[5] == 'r' ? "reads" : "writes") +
                                                    " of the files fail with EIO (0: off)");
        sub->add_option("N", count)->required()->check(CLI::Range(0u, sim::DriverFileFaults::kMaxCount));
        sub->callback(
            [&request, &count, name] { request = std::string("files ") + name + " " + std::to_string(count); });
    }
    auto* chance =
        files->add_subcommand("fail-probability", "Each read and write of the files fails with EIO with probability P");
    chance->add_option("P", probability)->required()->check(CLI::Range(0.0, 1.0));
    chance->callback([&] { request = "files fail-probability " + sim::formatControlNumber(probability); });
    auto* seedCommand = files->add_subcommand("seed", "Restart the failure draws from seed N");
    // Checked as text: CLI11's conversion takes "-1" as the largest number and saturates an overflow.
    seedCommand->add_option("N", seed)->required()->check(CLI::Validator(
        [](const std::string& text) {
            std::uint64_t value = 0;
            const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
            return !text.empty() && ec == std::errc() && end == text.data() + text.size()
                       ? std::string()
                       : "a seed is a whole number 0…18446744073709551615";
        },
        "UINT64"));
    seedCommand->callback([&] { request = "files seed " + seed; });
    auto* vanish =
        files->add_subcommand("vanish", "on: the files are gone (files open stay dead); off: they come back");
    vanish->add_option("STATE", onoff)->required()->check(CLI::IsMember({"on", "off"}));
    vanish->callback([&] { request = "files vanish " + onoff; });
    auto* filesOff = files->add_subcommand("off", "Clear every fault of the files");
    filesOff->callback([&] { request = "files off"; });

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        // 2 for a wrong command line, whatever CLI11 numbers it: the documented statuses are 0, 1, 2.
        return app.exit(e) == 0 ? 0 : 2;
    }
    if (ctl->parsed()) return control(request);
    sysfs.layout = *sim::sysfsLayoutFromName(layout);
    sysfs.fanControl = !noFanControl;
    return serve(profile, dump, sysfs, cores);
}
