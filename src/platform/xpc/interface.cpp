#include "platform/xpc/interface.hpp"

#include <stdexcept>

namespace quorvane::xpc {

Interface::Interface(std::vector<MethodSignature> methods) {
    for (auto& method : methods) {
        if (method.selector.empty()) throw std::invalid_argument("xpc interface: empty selector");
        std::string selector = method.selector;
        if (!methods_.emplace(selector, std::move(method)).second) {
            throw std::invalid_argument("xpc interface: selector \"" + selector + "\" declared twice");
        }
    }
}

const MethodSignature* Interface::find(const std::string& selector) const {
    auto it = methods_.find(selector);
    return it == methods_.end() ? nullptr : &it->second;
}

std::vector<std::string> Interface::selectors() const {
    std::vector<std::string> out;
    out.reserve(methods_.size());
    for (const auto& [selector, method] : methods_) out.push_back(selector);
    return out;
}

}  // namespace quorvane::xpc
