#include "smc/smc_transport.hpp"

#include "smc/smc_error.hpp"

namespace quorvane {

namespace {
constexpr std::uint32_t kSMCHandleYPCEvent = 2;  // the user client's struct-method selector
}  // namespace

IOKitSMCTransport::IOKitSMCTransport() {
    const io_service_t service = IOServiceGetMatchingService(kIOMainPortDefault, IOServiceMatching("AppleSMC"));
    if (service == 0) throw SMCError::serviceNotFound();
    io_connect_t conn = 0;
    const kern_return_t kr = IOServiceOpen(service, mach_task_self_, 0, &conn);
    IOObjectRelease(service);
    if (kr != KERN_SUCCESS) throw SMCError::openFailed(kr);
    connection_ = conn;
}

IOKitSMCTransport::~IOKitSMCTransport() { IOServiceClose(connection_); }

SMCParamStruct IOKitSMCTransport::call(const SMCParamStruct& input) {
    SMCParamStruct output{};
    std::size_t outputSize = sizeof(SMCParamStruct);
    kern_return_t kr;
    {
        const std::lock_guard<std::mutex> lock(callLock_);
        kr = IOConnectCallStructMethod(connection_, kSMCHandleYPCEvent, &input, sizeof(SMCParamStruct), &output,
                                       &outputSize);
    }
    if (kr != KERN_SUCCESS) throw SMCError::callFailed(kr);
    if (outputSize != sizeof(SMCParamStruct)) throw SMCError::callFailed(kIOReturnUnderrun);
    return output;
}

}  // namespace quorvane
