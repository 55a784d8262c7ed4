// The object a connection exports: it receives every admitted message whose selector and
// arguments match the exported interface. invoke runs on the connection's delivery thread with
// Connection::current() set; it may keep `reply` and call it later from any thread.
// Implementations must be thread-safe when shared between connections.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "platform/xpc/value.hpp"

namespace quorvane::xpc {

// A reply block. The first call sends the reply (copies share that one call); later calls are
// ignored; a call after the connection has ended is dropped. Values that do not match the
// method's reply kinds are not sent: the connection is invalidated instead. Never calling it is
// harmless; the caller's pending call then ends with the connection.
using ReplyBlock = std::function<void(std::vector<Value>)>;

class ExportedObject {
public:
    virtual ~ExportedObject() = default;
    virtual void invoke(const std::string& selector, const std::vector<Value>& arguments, ReplyBlock reply) = 0;
};

}  // namespace quorvane::xpc
