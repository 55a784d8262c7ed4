// A HelperService in mock time over an in-process virtual Mac, with helpers that issue a command
// and collect its reply. Test-only; single-threaded.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "helper/helper_service.hpp"
#include "platform/dispatch/mock_time.hpp"
#include "platform/log/log.hpp"
#include "shared/smc/fan_key.hpp"
#include "shared/smc/service_error.hpp"
#include "sim/machine_profile.hpp"
#include "sim/virtual_mac.hpp"
#include "smc/smc_kernel_bridge.hpp"

namespace quorvane::testing {

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

struct Reply {
    int calls = 0;
    double applied = -1;
    OptionalError error;
};

class HelperServiceTest : public ::testing::Test {
protected:
    void start(const std::string& profile) { start(sim::MachineProfile::load(profile)); }
    void start(const sim::MachineProfile& profile) {
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
        service->setTargetRPM(fan, rpm, [r](double applied, OptionalError e) {
            ++r->calls;
            r->applied = applied;
            r->error = std::move(e);
        });
        return r;
    }
    std::shared_ptr<Reply> setManual(std::int64_t fan, bool enabled) {
        auto r = std::make_shared<Reply>();
        service->setManualControl(fan, enabled, [r](OptionalError e) {
            ++r->calls;
            r->error = std::move(e);
        });
        return r;
    }
    std::shared_ptr<Reply> restore() {
        auto r = std::make_shared<Reply>();
        service->restoreAutomaticControl([r](OptionalError e) {
            ++r->calls;
            r->error = std::move(e);
        });
        return r;
    }
    std::vector<std::string> writes() const {
        std::vector<std::string> out;
        for (const auto& w : mac->writeLog()) out.push_back(w.key + "=" + std::to_string(static_cast<int>(w.value)));
        return out;
    }
    bool everyFanAutomatic() {
        for (long i = 0; i < 10 && mac->hasKey(FanKey::mode(i)); ++i) {
            if (mac->readKey(FanKey::mode(i)) != 0) return false;
        }
        return !mac->hasKey("Ftst") || mac->readKey("Ftst") == 0;
    }
    std::size_t lines(log::Level level, const std::string& text) const { return logs->count(level, "service", text); }
    std::size_t linesAt(log::Level level) const {
        std::size_t n = 0;
        for (const auto& r : logs->records()) n += r.level == level && r.category == "service";
        return n;
    }
    static std::string message(const OptionalError& e) { return e ? e->localizedDescription() : std::string("<nil>"); }

    dispatch::MockTimeBackend backend;
    log::ScopedCapture logs;
    std::shared_ptr<sim::VirtualMac> mac;
    std::unique_ptr<iokit::ScopedServiceRegistration> registration;
    std::shared_ptr<SMCKernelBridge> bridge;
    std::shared_ptr<HelperService> service;
};

}  // namespace quorvane::testing
