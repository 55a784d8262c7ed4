// Shared by the helper tests: a HelperService in mock time over an in-process virtual Mac, with
// helpers that issue a command (as a given connection, if need be) and collect its reply; one on
// real threads; and the log texts the tests look for. Test-only; the mock-time fixture is
// single-threaded.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "helper/helper_service.hpp"
#include "platform/dispatch/mock_time.hpp"
#include "platform/log/log.hpp"
#include "platform/xpc/connection.hpp"
#include "shared/smc/fan_key.hpp"
#include "shared/smc/service_error.hpp"
#include "sim/machine_profile.hpp"
#include "sim/virtual_mac.hpp"
#include "smc/smc_kernel_bridge.hpp"

namespace quorvane::testing {

constexpr std::uint8_t kWrite = SMCCommand::writeBytes;
using Strings = std::vector<std::string>;

inline const std::string kIgnoring = "ignoring disconnect from a connection that never held fan control";
inline const std::string kFailingSafe = "client disconnected while manual engaged — failing safe";
inline const std::string kHeartbeatLost = "heartbeat lost — failing safe, restoring Apple automatic control";
inline const std::string kEmergencyStart =
    "EMERGENCY restore: watchdog handoff to the hw queue did not complete in time — restoring via a throwaway SMC "
    "connection";
inline const std::string kEmergencyCompleted = "EMERGENCY restore: completed";
inline const std::string kEmergencyOpenFailed =
    "EMERGENCY restore: failed to open a second AppleSMC connection — cannot fail safe from the watchdog queue";
inline const std::string kEmergencyExhausted =
    "EMERGENCY restore: exhausted retry budget without a working SMC connection — releasing the handoff so the next "
    "watchdog tick can re-escalate";

inline const std::string kCancelled =
    "Error Domain=com.quorvane.SMCService Code=1004 \"manual-mode engage canceled by restore\" "
    "UserInfo={NSLocalizedDescription=manual-mode engage canceled by restore}";

// The whole error object: domain, code and the message as its only user-info entry.
inline void expectServiceError(const OptionalError& error, std::int64_t code, const std::string& message) {
    ASSERT_TRUE(error.has_value()) << "expected error " << code << " \"" << message << "\"";
    EXPECT_EQ(error->domain, "com.quorvane.SMCService");
    EXPECT_EQ(error->code, code);
    ASSERT_EQ(error->userInfo.size(), 1u) << "the message is the only user-info entry";
    EXPECT_EQ(error->userInfo.begin()->first, kLocalizedDescriptionKey);
    EXPECT_EQ(error->userInfo.begin()->second, message);
}

// Polls for up to 30 s; for tests on real threads.
template <class Predicate>
bool eventually(Predicate predicate) {
    for (auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30); !predicate();) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

struct Reply {
    int calls = 0;
    double applied = -1;
    OptionalError error;
    int order = 0;                // among all replies the test collected, from 1
    std::int64_t generation = 0;  // the engage generation when it came
};

class HelperServiceTest : public ::testing::Test {
protected:
    // Starts afresh: a table row drops the previous row's service and log lines.
    void start(const std::string& profile) { start(sim::MachineProfile::load(profile)); }
    void start(const sim::MachineProfile& profile) {
        TearDown();
        logs->clear();
        mac = sim::VirtualMac::create(profile, backend.suspendingClock());
        registration = mac->registerInProcess();
        bridge = SMCKernelBridge::open();
        service = std::make_shared<HelperService>(bridge, 10.0, 0.1, 5.0, backend);
    }
    void TearDown() override {
        service.reset();
        bridge.reset();
        registration.reset();
        mac.reset();
    }

    std::shared_ptr<Reply> setRPM(std::int64_t fan, double rpm) {
        auto r = std::make_shared<Reply>();
        service->setTargetRPM(fan, rpm,
                              [this, r](double applied, OptionalError e) { answer(*r, std::move(e), applied); });
        return r;
    }
    std::shared_ptr<Reply> setManual(std::int64_t fan, bool enabled) {
        auto r = std::make_shared<Reply>();
        service->setManualControl(fan, enabled, [this, r](OptionalError e) { answer(*r, std::move(e)); });
        return r;
    }
    std::shared_ptr<Reply> restore() {
        auto r = std::make_shared<Reply>();
        service->restoreAutomaticControl([this, r](OptionalError e) { answer(*r, std::move(e)); });
        return r;
    }
    void answer(Reply& r, OptionalError e, double applied = -1) {
        r = {r.calls + 1, applied, std::move(e), ++answers, service->engageGeneration()};
    }
    // Runs f as the connection with this identity would.
    static void as(std::uint64_t connection, const std::function<void()>& f) {
        xpc::ScopedCurrentConnection current(connection);
        f();
    }
    std::vector<std::string> writes() const {
        std::vector<std::string> out;
        for (const auto& w : mac->writeLog()) out.push_back(w.key + "=" + std::to_string(static_cast<int>(w.value)));
        return out;
    }
    // Every mode key, the force bitmask and Ftst at 0, where the Mac has them.
    bool everyFanAutomatic() {
        for (long i = 0; i < 10 && mac->hasKey(FanKey::mode(i)); ++i) {
            if (mac->readKey(FanKey::mode(i)) != 0) return false;
        }
        for (const char* key : {FanKey::forceBitmask, FanKey::forceTest}) {
            if (mac->hasKey(key) && mac->readKey(key) != 0) return false;
        }
        return true;
    }
    // A real Mac's key table from the tables shipped with the virtual Mac.
    static sim::MachineProfile table(const std::string& model) {
        return sim::MachineProfile::fromDump(sim::MachineProfile::findDump(model));
    }
    std::size_t lines(log::Level level, const std::string& text) const { return logs->count(level, "service", text); }
    std::size_t linesAt(log::Level level) const {
        std::size_t n = 0;
        for (const auto& r : logs->records()) n += r.level == level && r.category == "service";
        return n;
    }

    dispatch::MockTimeBackend backend;
    log::ScopedCapture logs;
    std::shared_ptr<sim::VirtualMac> mac;
    std::unique_ptr<iokit::ScopedServiceRegistration> registration;
    std::shared_ptr<SMCKernelBridge> bridge;
    std::shared_ptr<HelperService> service;
    int answers = 0;
};

// A service on real threads over an in-process virtual Mac.
class RealThreadsTest : public ::testing::Test {
protected:
    clock::SuspendingClock clock;
    std::shared_ptr<sim::VirtualMac> mac = sim::VirtualMac::create("intel-desktop", clock);
    std::unique_ptr<iokit::ScopedServiceRegistration> registration = mac->registerInProcess();
    std::shared_ptr<HelperService> service = std::make_shared<HelperService>(SMCKernelBridge::open(), 10.0, 0.1, 5.0);
};

}  // namespace quorvane::testing
