// The XPC listener's delegate: binds each new connection to the client code-signing requirement,
// exports the one service and tells the service when the connection goes away. Thread-safe:
// called on XPC threads.
#pragma once

#include <memory>

#include "helper/helper_service.hpp"
#include "platform/xpc/listener.hpp"

namespace quorvane {

class HelperListener final : public xpc::ListenerDelegate {
public:
    explicit HelperListener(std::shared_ptr<HelperService> service);

    // Always accepts: the code-signing requirement decides whether any message gets through.
    bool shouldAcceptNewConnection(xpc::Listener& listener, std::shared_ptr<xpc::Connection> connection) override;

    const std::shared_ptr<HelperService>& service() const { return service_; }

private:
    std::shared_ptr<HelperService> service_;
};

}  // namespace quorvane
