// NSXPCInterface look-alike: the methods an exported object answers, each with the kinds of its
// arguments and of its reply block's arguments. Every method has a reply block.
// Immutable after construction; safe to share between threads.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "platform/xpc/value.hpp"

namespace quorvane::xpc {

struct MethodSignature {
    std::string selector;
    std::vector<ValueKind> arguments;
    std::vector<ValueKind> reply;
};

class Interface {
public:
    // Throws std::invalid_argument for an empty or repeated selector.
    explicit Interface(std::vector<MethodSignature> methods);

    // nullptr when the selector is not part of the interface.
    const MethodSignature* find(const std::string& selector) const;
    std::vector<std::string> selectors() const;

private:
    std::map<std::string, MethodSignature> methods_;
};

}  // namespace quorvane::xpc
