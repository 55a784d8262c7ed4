#include "platform/xpc/identity_source.hpp"

#include <sys/stat.h>

#include <algorithm>
#include <mutex>

#include "platform/bootstrap/bootstrap.hpp"

namespace quorvane::xpc {

CodeIdentity PeerCredentialIdentitySource::identityOf(const PeerCredentials& peer, const CodeIdentity& declared) {
    if (peer.uid == 0) return declared;
    struct stat st {};
    if (::stat(bootstrap::directory().c_str(), &st) != 0) return CodeIdentity{};
    if (peer.gid == st.st_gid ||
        std::find(peer.groups.begin(), peer.groups.end(), st.st_gid) != peer.groups.end()) {
        return declared;
    }
    return CodeIdentity{};
}

namespace {
std::mutex sourceMutex;
std::shared_ptr<IdentitySource> installedSource;  // guarded by sourceMutex; null = default
}  // namespace

void setIdentitySource(std::shared_ptr<IdentitySource> source) {
    std::lock_guard lock(sourceMutex);
    installedSource = std::move(source);
}

std::shared_ptr<IdentitySource> identitySource() {
    // Never destroyed: peers may still be admitted while the process runs its exit handlers.
    static const auto* defaultSource =
        new std::shared_ptr<IdentitySource>(std::make_shared<PeerCredentialIdentitySource>());
    std::lock_guard lock(sourceMutex);
    return installedSource ? installedSource : *defaultSource;
}

}  // namespace quorvane::xpc
