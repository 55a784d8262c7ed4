#include "helper/helper_listener.hpp"

#include "protocol/quorvane_xpc_interface.hpp"
#include "shared/smc/helper_constants.hpp"

namespace quorvane {

HelperListener::HelperListener(std::shared_ptr<HelperService> service) : service_(std::move(service)) {}

bool HelperListener::shouldAcceptNewConnection(xpc::Listener&, std::shared_ptr<xpc::Connection> connection) {
    connection->setCodeSigningRequirement(HelperConstants::clientRequirement());
    connection->setExportedInterface(quorvaneXPCInterface());
    connection->setExportedObject(std::make_shared<QuorvaneXPCExportedObject>(service_));
    // The handlers hold the service weakly and the connection only by identity, so neither keeps
    // the other alive.
    const std::weak_ptr<HelperService> weakService = service_;
    const ConnectionIdentity id = connection->identity();
    auto departed = [weakService, id] {
        if (auto service = weakService.lock()) service->clientDisconnected(id);
    };
    connection->setInvalidationHandler(departed);
    connection->setInterruptionHandler(departed);
    connection->resume();
    return true;
}

}  // namespace quorvane
