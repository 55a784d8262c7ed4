#include "platform/xpc/code_identity.hpp"

#include <mutex>

namespace quorvane::xpc {

namespace {
std::mutex localIdentityMutex;
CodeIdentity localIdentity;  // guarded by localIdentityMutex
}  // namespace

void setLocalCodeIdentity(CodeIdentity identity) {
    std::lock_guard lock(localIdentityMutex);
    localIdentity = std::move(identity);
}

CodeIdentity localCodeIdentity() {
    std::lock_guard lock(localIdentityMutex);
    return localIdentity;
}

}  // namespace quorvane::xpc
