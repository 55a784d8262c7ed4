#include "sim/virtual_mac.hpp"

namespace quorvane::sim {

namespace {

// One user client: a connection id on the shared model. Holds the model, not the service, so a
// client the daemon keeps does not keep the service registered.
class VirtualSMCUserClient final : public iokit::UserClient {
public:
    VirtualSMCUserClient(std::shared_ptr<SMCKeyModel> model, std::uint64_t id) : model_(std::move(model)), id_(id) {}
    kern_return_t callStructMethod(std::uint32_t selector, const void* input, std::size_t inputSize, void* output,
                                   std::size_t* outputSize) override {
        return model_->call(id_, selector, input, inputSize, output, outputSize);
    }

private:
    std::shared_ptr<SMCKeyModel> model_;
    std::uint64_t id_;
};

// The HID services of the model, read afresh on every query.
class VirtualEventSystem final : public hid::EventSystem {
public:
    explicit VirtualEventSystem(std::shared_ptr<SMCKeyModel> model) : model_(std::move(model)) {}
    std::vector<hid::ServiceRecord> services() override { return model_->hidServices(); }

private:
    std::shared_ptr<SMCKeyModel> model_;
};

// hw.* as macOS answers them: perflevel0 is the performance cores, perflevel1 (only with two
// levels) the efficiency cores. Without a known CPU every name is unknown.
class VirtualSysctl final : public sysctl::Provider {
public:
    explicit VirtualSysctl(std::optional<CPUTopology> cpu) : cpu_(cpu) {}
    std::optional<std::int32_t> value(const std::string& name) override {
        if (!cpu_) return std::nullopt;
        if (name == "hw.nperflevels") return cpu_->performanceLevels;
        if (name == "hw.physicalcpu") return cpu_->performanceCores + cpu_->efficiencyCores;
        if (name == "hw.perflevel0.physicalcpu") return cpu_->performanceCores;
        if (name == "hw.perflevel1.physicalcpu" && cpu_->performanceLevels > 1) return cpu_->efficiencyCores;
        return std::nullopt;
    }

private:
    const std::optional<CPUTopology> cpu_;
};

}  // namespace

std::shared_ptr<sysctl::Provider> VirtualMac::sysctlProvider() const { return std::make_shared<VirtualSysctl>(cpu_); }

std::unique_ptr<sysctl::ScopedProviderRegistration> VirtualMac::registerSysctlInProcess() {
    return std::make_unique<sysctl::ScopedProviderRegistration>(sysctlProvider());
}

std::unique_ptr<hid::ScopedEventSystemRegistration> VirtualMac::registerHIDInProcess() {
    return std::make_unique<hid::ScopedEventSystemRegistration>(eventSystem());
}

std::shared_ptr<hid::EventSystem> VirtualMac::eventSystem() const {
    return std::make_shared<VirtualEventSystem>(model_);
}

std::shared_ptr<VirtualMac> VirtualMac::create(const std::string& profileName, const clock::Clock& clock) {
    return create(MachineProfile::load(profileName), clock);
}

std::shared_ptr<VirtualMac> VirtualMac::create(const MachineProfile& profile, const clock::Clock& clock) {
    return std::shared_ptr<VirtualMac>(new VirtualMac(std::make_shared<SMCKeyModel>(profile, clock), profile.cpu));
}

VirtualMac::~VirtualMac() { model_->shutdown(); }

kern_return_t VirtualMac::open(std::uint32_t type, std::shared_ptr<iokit::UserClient>& client) {
    if (type != 0) return kIOReturnBadArgument;
    std::uint64_t id = 0;
    const kern_return_t kr = model_->openConnection(id);
    if (kr != kIOReturnSuccess) return kr;
    client = std::make_shared<VirtualSMCUserClient>(model_, id);
    return kIOReturnSuccess;
}

std::unique_ptr<iokit::ScopedServiceRegistration> VirtualMac::registerInProcess() {
    return std::make_unique<iokit::ScopedServiceRegistration>(kAppleSMCServiceClass, shared_from_this());
}

std::vector<std::string> VirtualMac::writtenKeys() const {
    std::vector<std::string> keys;
    for (const auto& entry : model_->writeLog()) keys.push_back(entry.key);
    return keys;
}

std::uint64_t VirtualMac::openCount() const { return model_->openCount(); }

}  // namespace quorvane::sim
