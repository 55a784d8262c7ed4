// Where a peer's code identity comes from. The connection hands the source the peer's socket
// credentials and the identity the peer declared in its hello; the source decides what to
// believe. Tests install their own source; the default is PeerCredentialIdentitySource.
// setIdentitySource/identitySource are thread-safe; sources must be thread-safe too (they are
// asked from every connection's delivery thread).
#pragma once

#include <sys/types.h>

#include <memory>
#include <vector>

#include "platform/xpc/code_identity.hpp"

namespace quorvane::xpc {

struct PeerCredentials {
    pid_t pid = 0;
    uid_t uid = 0;
    gid_t gid = 0;               // primary group
    std::vector<gid_t> groups;   // supplementary groups
};

class IdentitySource {
public:
    virtual ~IdentitySource() = default;
    virtual CodeIdentity identityOf(const PeerCredentials& peer, const CodeIdentity& declared) = 0;
};

// Believes the declaration of root and of members (primary or supplementary) of the group that
// owns the bootstrap directory, the way only the installed, signed application can reach the
// daemon; anyone else is unsigned.
class PeerCredentialIdentitySource final : public IdentitySource {
public:
    CodeIdentity identityOf(const PeerCredentials& peer, const CodeIdentity& declared) override;
};

// nullptr restores the default source.
void setIdentitySource(std::shared_ptr<IdentitySource> source);
std::shared_ptr<IdentitySource> identitySource();

}  // namespace quorvane::xpc
