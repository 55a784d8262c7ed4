#include "platform/xpc/code_signing_requirement.hpp"

#include <cctype>
#include <vector>

namespace quorvane::xpc {

struct CodeSigningRequirement::Node {
    enum class Kind { anyOf, allOf, appleGeneric, identifier, teamOU } kind;
    std::string value;                              // identifier / teamOU
    std::vector<std::shared_ptr<const Node>> children;  // anyOf / allOf
};

namespace {

using Node = CodeSigningRequirement::Node;
using NodePtr = std::shared_ptr<const Node>;

struct Token {
    enum class Kind { word, string, punct, end } kind;
    std::string text;
};

constexpr int kMaxDepth = 32;

bool isWordChar(char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '_' || c == '-';
}

std::optional<std::vector<Token>> tokenize(std::string_view text) {
    std::vector<Token> tokens;
    std::size_t i = 0;
    while (i < text.size()) {
        char c = text[i];
        if (std::isspace(static_cast<unsigned char>(c))) {
            ++i;
        } else if (c == '(' || c == ')' || c == '[' || c == ']' || c == '=') {
            tokens.push_back({Token::Kind::punct, std::string(1, c)});
            ++i;
        } else if (c == '"') {
            std::string value;
            ++i;
            bool closed = false;
            while (i < text.size()) {
                char d = text[i++];
                if (d == '"') {
                    closed = true;
                    break;
                }
                if (d == '\\') {
                    if (i == text.size()) return std::nullopt;
                    d = text[i++];
                }
                value.push_back(d);
            }
            if (!closed) return std::nullopt;
            tokens.push_back({Token::Kind::string, std::move(value)});
        } else if (isWordChar(c)) {
            std::size_t start = i;
            while (i < text.size() && isWordChar(text[i])) ++i;
            tokens.push_back({Token::Kind::word, std::string(text.substr(start, i - start))});
        } else {
            return std::nullopt;
        }
    }
    tokens.push_back({Token::Kind::end, {}});
    return tokens;
}

class Parser {
public:
    explicit Parser(std::vector<Token> tokens) : tokens_(std::move(tokens)) {}

    NodePtr parseAll() {
        NodePtr root = expr(0);
        if (!root || peek().kind != Token::Kind::end) return nullptr;
        return root;
    }

private:
    const Token& peek() const { return tokens_[pos_]; }
    bool acceptWord(const char* word) {
        if (peek().kind == Token::Kind::word && peek().text == word) {
            ++pos_;
            return true;
        }
        return false;
    }
    bool acceptPunct(const char* p) {
        if (peek().kind == Token::Kind::punct && peek().text == p) {
            ++pos_;
            return true;
        }
        return false;
    }
    std::optional<std::string> string() {
        const Token& t = peek();
        // A bare word may stand for a string, but never one of the operators.
        if (t.kind == Token::Kind::string || (t.kind == Token::Kind::word && t.text != "and" && t.text != "or")) {
            ++pos_;
            return t.text;
        }
        return std::nullopt;
    }

    NodePtr expr(int depth) { return chain(depth, "or", Node::Kind::anyOf); }

    // One precedence level: operands joined by `op`; a single operand is returned as is.
    NodePtr chain(int depth, const char* op, Node::Kind kind) {
        NodePtr first = (kind == Node::Kind::anyOf) ? chain(depth, "and", Node::Kind::allOf) : factor(depth);
        if (!first) return nullptr;
        if (!(peek().kind == Token::Kind::word && peek().text == op)) return first;
        auto node = std::make_shared<Node>(Node{kind, {}, {first}});
        while (acceptWord(op)) {
            NodePtr next = (kind == Node::Kind::anyOf) ? chain(depth, "and", Node::Kind::allOf) : factor(depth);
            if (!next) return nullptr;
            node->children.push_back(std::move(next));
        }
        return node;
    }

    NodePtr factor(int depth) {
        if (acceptPunct("(")) {
            if (depth + 1 > kMaxDepth) return nullptr;
            NodePtr inner = expr(depth + 1);
            if (!inner || !acceptPunct(")")) return nullptr;
            return inner;
        }
        if (acceptWord("anchor")) {
            if (acceptWord("apple") && acceptWord("generic")) {
                return std::make_shared<Node>(Node{Node::Kind::appleGeneric, {}, {}});
            }
            return nullptr;
        }
        if (acceptWord("identifier")) {
            acceptPunct("=");
            auto value = string();
            if (!value) return nullptr;
            return std::make_shared<Node>(Node{Node::Kind::identifier, std::move(*value), {}});
        }
        if (acceptWord("certificate") || acceptWord("cert")) {
            if (!(acceptWord("leaf") && acceptPunct("[") && acceptWord("subject.OU") && acceptPunct("]") &&
                  acceptPunct("="))) {
                return nullptr;
            }
            auto value = string();
            if (!value) return nullptr;
            return std::make_shared<Node>(Node{Node::Kind::teamOU, std::move(*value), {}});
        }
        return nullptr;
    }

    std::vector<Token> tokens_;
    std::size_t pos_ = 0;
};

bool evaluate(const Node& node, const CodeIdentity& id) {
    switch (node.kind) {
        case Node::Kind::anyOf:
            for (const auto& child : node.children) {
                if (evaluate(*child, id)) return true;
            }
            return false;
        case Node::Kind::allOf:
            for (const auto& child : node.children) {
                if (!evaluate(*child, id)) return false;
            }
            return true;
        case Node::Kind::appleGeneric: return id.appleAnchored;
        case Node::Kind::identifier: return id.identifier == node.value;
        case Node::Kind::teamOU: return id.teamOU == node.value;
    }
    return false;
}

}  // namespace

std::optional<CodeSigningRequirement> CodeSigningRequirement::parse(std::string_view text) {
    auto tokens = tokenize(text);
    if (!tokens) return std::nullopt;
    NodePtr root = Parser(std::move(*tokens)).parseAll();
    if (!root) return std::nullopt;
    return CodeSigningRequirement(std::move(root));
}

bool CodeSigningRequirement::isSatisfiedBy(const CodeIdentity& identity) const {
    return identity.isSigned && evaluate(*root_, identity);
}

bool satisfiesRequirement(std::string_view requirementText, const CodeIdentity& identity) {
    auto requirement = CodeSigningRequirement::parse(requirementText);
    return requirement && requirement->isSatisfiedBy(identity);
}

}  // namespace quorvane::xpc
