// A process's code signature as peer admission sees it, and this process's own signature (what a
// client declares when it connects; unsigned unless set).
// CodeIdentity is a value type; the local-identity accessors are thread-safe.
#pragma once

#include <string>

namespace quorvane::xpc {

struct CodeIdentity {
    bool isSigned = false;
    bool appleAnchored = false;  // certificate chain ends in Apple's root
    std::string identifier;      // signing identifier, e.g. the bundle identifier
    std::string teamOU;          // leaf certificate's subject organizational unit

    bool operator==(const CodeIdentity&) const = default;
};

// The identity this process declares in the hello of every client connection made afterwards.
void setLocalCodeIdentity(CodeIdentity identity);
CodeIdentity localCodeIdentity();

}  // namespace quorvane::xpc
