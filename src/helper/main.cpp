// com.quorvane.SMCService: opens the SMC, hands every fan back to automatic control, starts the
// watchdog, arranges a restore on SIGTERM, SIGINT and exit, publishes the Mach service and parks.
// The process ends with a failure status when a fan could not be confirmed back under automatic
// control.
#include <sys/stat.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "helper/helper_listener.hpp"
#include "helper/helper_service.hpp"
#include "helper/smc_wait.hpp"
#include "platform/bootstrap/bootstrap.hpp"
#include "platform/bootstrap/service_manager.hpp"
#include "platform/iokit/kernel_smc_service.hpp"
#include "platform/dispatch/dispatch.hpp"
#include "platform/log/log.hpp"
#include "platform/xpc/listener.hpp"
#include "platform/xpc/mach_service_lookup.hpp"
#include "shared/smc/helper_constants.hpp"
#include "smc/smc_kernel_bridge.hpp"

using namespace quorvane;

#if defined(__SANITIZE_THREAD__)
// The daemon ends with exit() while its queues and connection threads still exist, on purpose: a
// hung hardware queue must never block the way out. ThreadSanitizer would call those threads leaks.
extern "C" const char* __tsan_default_options() { return "report_thread_leaks=0"; }
#endif

namespace {

// Process-wide state. Deliberately never destroyed: the exit hook and the signal queue still use
// it while the process ends, and a hung hardware queue must not block exit in a destructor.
const log::Logger* mainLog = nullptr;
HelperService* exitService = nullptr;
std::vector<std::shared_ptr<dispatch::SignalSource>>* signalSources = nullptr;
int exitStatus = 0;  // what exit() was asked for, once the exit hook is registered

void exitHook() {
    if (!exitService) return;
    exitService->beginTermination();
    // The last word on the fans: the signal's restore may have run before, but only what holds now
    // decides the status.
    if (const auto left = exitService->exitRestore(); !left.empty()) {
        mainLog->error("exit restore: %{public}s still under manual control after %.0f s — exiting with failure",
                       FanRelease::describeFans(left), HelperService::exitRestoreBudget);
        exitStatus = 1;
    }
    // Queue and connection threads go on running until the process is gone, and the static
    // destructors that would run next tear down what they use (the dispatch clocks): end here.
    std::fflush(nullptr);
    std::_Exit(exitStatus);
}

[[noreturn]] void handleSignal(int signo) {
    mainLog->notice("received signal %d — restoring Apple automatic control and exiting", signo);
    exitService->beginTermination();
    exitService->exitRestore();
    std::exit(0);
}

[[noreturn]] void cannotPublish(const char* reason) {
    mainLog->fault("cannot publish %s: %s — exiting", HelperConstants::machServiceName, reason);
    exitStatus = 1;
    std::exit(1);
}

// Whether there is an SMC to open: the kernel driver's device, looked for afresh each time (the
// process's own choice is made once, at the first open), or the virtual Mac's socket. A backend
// named wrongly counts as present: opening it says what is wrong.
bool smcPresent() {
    const auto backend = iokit::resolveSMCBackend(std::getenv("QUORVANE_SMC_BACKEND"), iokit::sysRoot());
    if (!backend.error.empty() || backend.kind != iokit::SMCBackend::Kind::socket) return true;
    struct stat st {};
    return ::stat(bootstrap::socketPath("AppleSMC").c_str(), &st) == 0 && S_ISSOCK(st.st_mode);
}

// Waits, with one log line, for an SMC that is not there yet; exits with SMCWait::noSMCStatus
// when none comes within the budget.
void waitForSMC() {
    if (smcPresent()) return;
    mainLog->notice("waiting for AppleSMC: no applesmc, APP0001 or macsmc_hwmon device and no virtual Mac "
                    "socket at %{public}s yet",
                    bootstrap::socketPath("AppleSMC"));
    bootstrap::notifyServiceManager("STATUS=waiting for AppleSMC (the SMC driver or the virtual Mac)");
    const auto start = std::chrono::steady_clock::now();
    std::chrono::milliseconds pause{0};
    for (;;) {
        const auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
        const auto next = SMCWait::nextPause(waited, pause);
        if (!next) break;
        pause = *next;
        std::this_thread::sleep_for(pause);
        if (smcPresent()) {
            mainLog->notice("AppleSMC appeared after %.1f s",
                            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
            return;
        }
    }
    mainLog->fault("no AppleSMC after %.0f s: no SMC driver is loaded and no virtual Mac runs — exiting",
                   std::chrono::duration<double>(SMCWait::budget).count());
    std::exit(SMCWait::noSMCStatus);
}

}  // namespace

int main() {
    mainLog = new log::Logger(HelperConstants::daemonLabel, "main");
    exitService = nullptr;

    // launchd runs one instance per label, a person at a shell may start a second, even at the
    // same instant as the first: it must not touch the fans the running one controls, so it
    // leaves before it opens the SMC.
    if (const auto claim = xpc::claimMachService(HelperConstants::machServiceName)) {
        if (claim != std::errc::operation_would_block) cannotPublish(("cannot claim the name: " + claim.message()).c_str());
        cannotPublish("already served by another instance");
    }
    if (xpc::machServiceIsServed(HelperConstants::machServiceName)) cannotPublish("already served by another instance");

    waitForSMC();
    std::shared_ptr<SMCKernelBridge> bridge;
    try {
        bridge = SMCKernelBridge::open();
    } catch (const SMCError& e) {
        mainLog->fault("cannot open AppleSMC: %s — exiting", e.description());
        std::exit(1);
    }

    auto& backend = dispatch::realBackend();
    auto* service = new std::shared_ptr<HelperService>(std::make_shared<HelperService>(
        std::move(bridge), HelperConstants::manualEngageUnlockTimeout, 0.1, HelperConstants::heartbeatTimeout, backend));
    exitService = service->get();

    if (const auto left = exitService->exitRestore(); !left.empty()) {
        // The hand-back goes on being retried; a daemon that stays is what can still finish it.
        mainLog->error("launch restore: %{public}s still under manual control after %.0f s — retrying in the background",
                       FanRelease::describeFans(left), HelperService::exitRestoreBudget);
    }
    exitService->startWatchdog();
    std::atexit(exitHook);

    auto signalQueue = backend.makeQueue("com.quorvane.SMCService.signal");
    signalSources = new std::vector<std::shared_ptr<dispatch::SignalSource>>();
    for (int signo : {SIGTERM, SIGINT}) {
        std::signal(signo, SIG_IGN);
        auto source = backend.makeSignalSource(signo, signalQueue);
        source->setEventHandler([signo] { handleSignal(signo); });
        source->resume();
        signalSources->push_back(std::move(source));
    }

    auto* listener = new xpc::Listener(HelperConstants::machServiceName);
    auto* delegate = new HelperListener(*service);
    listener->setDelegate(delegate);
    try {
        listener->resume();
    } catch (const std::system_error& e) {
        // The bootstrap directory is unusable, or another instance won a race to it; the exit
        // hook still hands the fans back.
        cannotPublish(e.what());
    }

    mainLog->notice("Quorvane SMC helper %s started", helperBuildVersion);
    dispatch::dispatchMain();
}
