// The virtual Mac as an IOKit service: every open makes a user client (one connection) on the
// shared SMC key model, so a daemon under test talks 80-byte records to it exactly as to AppleSMC.
// Registered in-process as "AppleSMC" for unit tests, or served on a socket by the virtual Mac
// process. Thread-safe.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/clock/clock.hpp"
#include "platform/hid/hid.hpp"
#include "platform/iokit/iokit.hpp"
#include "platform/sysctl/sysctl.hpp"
#include "sim/machine_profile.hpp"
#include "sim/smc_key_model.hpp"

namespace quorvane::sim {

inline constexpr const char* kAppleSMCServiceClass = "AppleSMC";

class VirtualMac final : public iokit::Service, public std::enable_shared_from_this<VirtualMac> {
public:
    // Loads the named profile (throws ProfileError). clock must outlive the virtual Mac and
    // every connection opened on it.
    static std::shared_ptr<VirtualMac> create(const std::string& profileName, const clock::Clock& clock);
    static std::shared_ptr<VirtualMac> create(const MachineProfile& profile, const clock::Clock& clock);
    // Wakes hung calls; connections still open answer kIOReturnNotResponding from then on.
    ~VirtualMac() override;

    kern_return_t open(std::uint32_t type, std::shared_ptr<iokit::UserClient>& client) override;

    // Registers this virtual Mac as the in-process "AppleSMC" service until the returned object
    // is destroyed (the registry keeps the virtual Mac alive meanwhile).
    std::unique_ptr<iokit::ScopedServiceRegistration> registerInProcess();

    // Registers this virtual Mac's HID temperature services as the in-process event system until
    // the returned object is destroyed.
    std::unique_ptr<hid::ScopedEventSystemRegistration> registerHIDInProcess();
    // The HID event system this virtual Mac publishes (for the socket server).
    std::shared_ptr<hid::EventSystem> eventSystem() const;

    // The CPU topology this virtual Mac answers to sysctl (for the socket server), and its
    // in-process registration until the returned object is destroyed.
    std::shared_ptr<sysctl::Provider> sysctlProvider() const;
    std::unique_ptr<sysctl::ScopedProviderRegistration> registerSysctlInProcess();

    SMCKeyModel& model() { return *model_; }
    std::shared_ptr<SMCKeyModel> sharedModel() const { return model_; }

    // Convenience forwarders to the model (see SMCKeyModel for the rules).
    const std::string& profileName() const { return model_->profileName(); }
    void setKey(const std::string& key, double value) { model_->setKey(key, value); }
    double readKey(const std::string& key) { return model_->readKey(key); }
    bool hasKey(const std::string& key) const { return model_->hasKey(key); }
    bool removeKey(const std::string& key) { return model_->removeKey(key); }
    void addKey(const KeyDefinition& definition) { model_->addKey(definition); }
    std::uint64_t exchangeCount(std::uint8_t command) const { return model_->exchangeCount(command); }
    std::uint64_t exchangeCount(std::uint8_t command, const std::string& key) const {
        return model_->exchangeCount(command, key);
    }
    std::vector<WriteEntry> writeLog() const { return model_->writeLog(); }
    // The keys of the write log in order, e.g. {"F0Md", "F1Md", "Ftst"}.
    std::vector<std::string> writtenKeys() const;
    void resetCounters() { model_->resetCounters(); }
    void failKey(const std::string& key, std::uint8_t result, std::optional<std::uint8_t> command = std::nullopt) {
        model_->failKey(key, result, command);
    }
    void failNext(const std::string& key, int count, std::uint8_t result,
                  std::optional<std::uint8_t> command = std::nullopt) {
        model_->failNext(key, count, result, command);
    }
    void clearFault(const std::string& key) { model_->clearFault(key); }
    void failTransport(std::optional<kern_return_t> code, std::optional<std::string> key = std::nullopt) {
        model_->failTransport(code, std::move(key));
    }
    void setShortOutput(std::optional<std::size_t> size) { model_->setShortOutput(size); }
    void refuseOpen(std::optional<kern_return_t> code) { model_->refuseOpen(code); }
    void setHang(bool on) { model_->setHang(on); }
    void clearFaults() { model_->clearFaults(); }
    nlohmann::ordered_json stateJSON() { return model_->stateJSON(); }
    void setLoad(double load) { model_->setLoad(load); }
    // Connections opened so far (successful opens).
    std::uint64_t openCount() const;

private:
    VirtualMac(std::shared_ptr<SMCKeyModel> model, std::optional<CPUTopology> cpu)
        : model_(std::move(model)), cpu_(cpu) {}

    std::shared_ptr<SMCKeyModel> model_;
    const std::optional<CPUTopology> cpu_;
};

}  // namespace quorvane::sim
