// One SMC exchange: a record in, the filled record out, or an SMCError. Implementations say
// their own thread-safety; IOKitSMCTransport is thread-safe.
#pragma once

#include <mutex>

#include "platform/iokit/iokit.hpp"
#include "smc/smc_param_struct.hpp"

namespace quorvane {

class SMCTransport {
public:
    virtual ~SMCTransport() = default;
    // Throws SMCError when the call itself fails; a non-zero result byte is not a failure here.
    virtual SMCParamStruct call(const SMCParamStruct& input) = 0;
};

// Owns one AppleSMC user-client connection, opened in the constructor and closed in the
// destructor. Thread-safe: callLock keeps one struct-method call in flight at a time.
class IOKitSMCTransport final : public SMCTransport {
public:
    // Throws SMCError::serviceNotFound or SMCError::openFailed; nothing is left open then.
    IOKitSMCTransport();
    ~IOKitSMCTransport() override;
    IOKitSMCTransport(const IOKitSMCTransport&) = delete;
    IOKitSMCTransport& operator=(const IOKitSMCTransport&) = delete;

    SMCParamStruct call(const SMCParamStruct& input) override;
    io_connect_t connection() const { return connection_; }

private:
    std::mutex callLock_;  // serialises struct-method calls on connection_
    io_connect_t connection_ = 0;
};

}  // namespace quorvane
