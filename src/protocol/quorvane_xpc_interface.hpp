// The wire form of QuorvaneXPCProtocol over the XPC stand-in: its interface description, the
// exported-object adapter the daemon hands to every connection, and the remote proxy that tools
// and tests talk through. Thread-safe.
#pragma once

#include <functional>
#include <memory>

#include "platform/xpc/connection.hpp"
#include "platform/xpc/exported_object.hpp"
#include "platform/xpc/interface.hpp"
#include "shared/smc/quorvane_xpc_protocol.hpp"

namespace quorvane {

// NSXPCInterface for QuorvaneXPCProtocol: five methods with their argument and reply kinds.
const xpc::Interface& quorvaneXPCInterface();

xpc::Value toWire(const OptionalError& error);
OptionalError fromWire(const xpc::Value& value);

// Delivers wire messages to a QuorvaneXPCProtocol implementation; every reply is sent once.
class QuorvaneXPCExportedObject final : public xpc::ExportedObject {
public:
    explicit QuorvaneXPCExportedObject(std::shared_ptr<QuorvaneXPCProtocol> target) : target_(std::move(target)) {}
    void invoke(const std::string& selector, const std::vector<xpc::Value>& arguments, xpc::ReplyBlock reply) override;

private:
    std::shared_ptr<QuorvaneXPCProtocol> target_;
};

// remoteObjectProxyWithErrorHandler: calls go over the connection; when the connection fails
// before a reply, the error handler runs instead of the reply.
class QuorvaneXPCRemoteProxy final : public QuorvaneXPCProtocol {
public:
    QuorvaneXPCRemoteProxy(std::shared_ptr<xpc::Connection> connection,
                           std::function<void(const xpc::ErrorObject&)> errorHandler);

    void setTargetRPM(std::int64_t fan, double rpm, std::function<void(double, OptionalError)> reply) override;
    void setManualControl(std::int64_t fan, bool enabled, std::function<void(OptionalError)> reply) override;
    void restoreAutomaticControl(std::function<void(OptionalError)> reply) override;
    void heartbeat(std::function<void(double)> reply) override;
    void helperVersion(std::function<void(std::string)> reply) override;

private:
    void call(const char* selector, std::vector<xpc::Value> arguments,
              std::function<void(const std::vector<xpc::Value>&)> onReply);

    std::shared_ptr<xpc::Connection> connection_;
    std::function<void(const xpc::ErrorObject&)> errorHandler_;
};

}  // namespace quorvane
