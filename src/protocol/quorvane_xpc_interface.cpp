#include "protocol/quorvane_xpc_interface.hpp"

#include <utility>

namespace quorvane {

using xpc::Value;
using xpc::ValueKind;

const xpc::Interface& quorvaneXPCInterface() {
    // Never destroyed, like the other tables connections use while the process exits.
    static const auto* interface = new xpc::Interface({
        {QuorvaneXPCSelector::setTargetRPM, {ValueKind::int64, ValueKind::float64}, {ValueKind::float64, ValueKind::errorOrNil}},
        {QuorvaneXPCSelector::setManualControl, {ValueKind::int64, ValueKind::boolean}, {ValueKind::errorOrNil}},
        {QuorvaneXPCSelector::restoreAutomaticControl, {}, {ValueKind::errorOrNil}},
        {QuorvaneXPCSelector::heartbeat, {}, {ValueKind::float64}},
        {QuorvaneXPCSelector::helperVersion, {}, {ValueKind::string}},
    });
    return *interface;
}

Value toWire(const OptionalError& error) {
    if (!error) return std::monostate{};
    return xpc::ErrorObject{error->domain, error->code, error->userInfo};
}

OptionalError fromWire(const Value& value) {
    if (const auto* e = std::get_if<xpc::ErrorObject>(&value)) return ServiceError{e->domain, e->code, e->userInfo};
    return std::nullopt;
}

void QuorvaneXPCExportedObject::invoke(const std::string& selector, const std::vector<Value>& args,
                                       xpc::ReplyBlock reply) {
    // The connection has already checked the arguments against quorvaneXPCInterface().
    if (selector == QuorvaneXPCSelector::setTargetRPM) {
        target_->setTargetRPM(std::get<std::int64_t>(args.at(0)), std::get<double>(args.at(1)),
                              [reply](double applied, OptionalError error) { reply({applied, toWire(error)}); });
    } else if (selector == QuorvaneXPCSelector::setManualControl) {
        target_->setManualControl(std::get<std::int64_t>(args.at(0)), std::get<bool>(args.at(1)),
                                  [reply](OptionalError error) { reply({toWire(error)}); });
    } else if (selector == QuorvaneXPCSelector::restoreAutomaticControl) {
        target_->restoreAutomaticControl([reply](OptionalError error) { reply({toWire(error)}); });
    } else if (selector == QuorvaneXPCSelector::heartbeat) {
        target_->heartbeat([reply](double uptime) { reply({uptime}); });
    } else if (selector == QuorvaneXPCSelector::helperVersion) {
        target_->helperVersion([reply](std::string version) { reply({std::move(version)}); });
    }
}

QuorvaneXPCRemoteProxy::QuorvaneXPCRemoteProxy(std::shared_ptr<xpc::Connection> connection,
                                               std::function<void(const xpc::ErrorObject&)> errorHandler)
    : connection_(std::move(connection)), errorHandler_(std::move(errorHandler)) {}

void QuorvaneXPCRemoteProxy::call(const char* selector, std::vector<Value> arguments,
                                  std::function<void(const std::vector<Value>&)> onReply) {
    const auto* signature = quorvaneXPCInterface().find(selector);
    auto errorHandler = errorHandler_;
    connection_->remoteCall(
        selector, std::move(arguments),
        [signature, onReply = std::move(onReply), errorHandler](std::vector<Value> values) {
            if (signature && xpc::matches(signature->reply, values)) {
                onReply(values);
            } else if (errorHandler) {
                errorHandler(xpc::makeConnectionError(xpc::kConnectionInvalid));
            }
        },
        [errorHandler](xpc::ErrorObject error) {
            if (errorHandler) errorHandler(error);
        });
}

void QuorvaneXPCRemoteProxy::setTargetRPM(std::int64_t fan, double rpm,
                                          std::function<void(double, OptionalError)> reply) {
    call(QuorvaneXPCSelector::setTargetRPM, {fan, rpm},
         [reply = std::move(reply)](const std::vector<Value>& v) { reply(std::get<double>(v[0]), fromWire(v[1])); });
}

void QuorvaneXPCRemoteProxy::setManualControl(std::int64_t fan, bool enabled, std::function<void(OptionalError)> reply) {
    call(QuorvaneXPCSelector::setManualControl, {fan, enabled},
         [reply = std::move(reply)](const std::vector<Value>& v) { reply(fromWire(v[0])); });
}

void QuorvaneXPCRemoteProxy::restoreAutomaticControl(std::function<void(OptionalError)> reply) {
    call(QuorvaneXPCSelector::restoreAutomaticControl, {},
         [reply = std::move(reply)](const std::vector<Value>& v) { reply(fromWire(v[0])); });
}

void QuorvaneXPCRemoteProxy::heartbeat(std::function<void(double)> reply) {
    call(QuorvaneXPCSelector::heartbeat, {},
         [reply = std::move(reply)](const std::vector<Value>& v) { reply(std::get<double>(v[0])); });
}

void QuorvaneXPCRemoteProxy::helperVersion(std::function<void(std::string)> reply) {
    call(QuorvaneXPCSelector::helperVersion, {},
         [reply = std::move(reply)](const std::vector<Value>& v) { reply(std::get<std::string>(v[0])); });
}

}  // namespace quorvane
