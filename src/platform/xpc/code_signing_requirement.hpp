// Code-signing requirement texts and their evaluation against a peer's CodeIdentity. Grammar:
//   expr := term { "or" term } ; term := factor { "and" factor } ; factor := "(" expr ")" | leaf
//   leaf := "anchor apple generic" | "identifier" ["="] STRING
//         | ("certificate" | "cert") "leaf" "[" "subject.OU" "]" "=" STRING
// STRING is "quoted" (\" and \\ escape) or a bare word. Unsigned code satisfies nothing.
// Value type; immutable after parse, safe to share.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/xpc/code_identity.hpp"

namespace quorvane::xpc {

class CodeSigningRequirement {
public:
    // nullopt when the text does not parse (including empty text and nesting deeper than 32).
    static std::optional<CodeSigningRequirement> parse(std::string_view text);

    bool isSatisfiedBy(const CodeIdentity& identity) const;

    struct Node;

private:
    explicit CodeSigningRequirement(std::shared_ptr<const Node> root) : root_(std::move(root)) {}
    std::shared_ptr<const Node> root_;
};

// parse + evaluate; an unparsable requirement is satisfied by nobody.
bool satisfiesRequirement(std::string_view requirementText, const CodeIdentity& identity);

}  // namespace quorvane::xpc
