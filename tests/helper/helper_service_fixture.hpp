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
#include "sim/virtual_mac.hpp"
#include "smc/smc_kernel_bridge.hpp"

namespace quorvane::testing {

struct Reply {
    int calls = 0;
    double applied = -1;
    OptionalError error;
};

class HelperServiceTest : public ::testing::Test {
protected:
    void start(const std::string& profile) {
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
    std::size_t lines(log::Level level, const std::string& text) const { return logs->count(level, "service", text); }
    static std::string message(const OptionalError& e) { return e ? e->localizedDescription() : std::string("<nil>"); }

    dispatch::MockTimeBackend backend;
    log::ScopedCapture logs;
    std::shared_ptr<sim::VirtualMac> mac;
    std::unique_ptr<iokit::ScopedServiceRegistration> registration;
    std::shared_ptr<SMCKernelBridge> bridge;
    std::shared_ptr<HelperService> service;
};

}  // namespace quorvane::testing
