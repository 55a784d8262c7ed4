#include "smc/smc_error.hpp"

#include <utility>

namespace quorvane {

namespace {

const char* caseName(SMCError::Kind kind) {
    switch (kind) {
        case SMCError::Kind::openFailed: return "openFailed";
        case SMCError::Kind::callFailed: return "callFailed";
        case SMCError::Kind::keyNotFound: return "keyNotFound";
        case SMCError::Kind::notReadable: return "notReadable";
        case SMCError::Kind::notWritable: return "notWritable";
        case SMCError::Kind::smcResult: return "smcResult";
        case SMCError::Kind::codec: return "codec";
        case SMCError::Kind::serviceNotFound: return "serviceNotFound";
    }
    return "unknown";
}

}  // namespace

SMCError::SMCError(Kind kind, std::int64_t code, std::string text)
    : kind_(kind), code_(code), text_(std::move(text)) {
    description_ = caseName(kind_);
    switch (kind_) {
        case Kind::serviceNotFound: break;
        case Kind::openFailed:
        case Kind::callFailed:
        case Kind::smcResult: description_ += "(" + std::to_string(code_) + ")"; break;
        case Kind::keyNotFound:
        case Kind::notReadable:
        case Kind::notWritable:
        case Kind::codec: description_ += "(\"" + text_ + "\")"; break;
    }
}

SMCError SMCError::openFailed(std::int32_t code) { return {Kind::openFailed, code, {}}; }
SMCError SMCError::callFailed(std::int32_t code) { return {Kind::callFailed, code, {}}; }
SMCError SMCError::keyNotFound(std::string key) { return {Kind::keyNotFound, 0, std::move(key)}; }
SMCError SMCError::notReadable(std::string key) { return {Kind::notReadable, 0, std::move(key)}; }
SMCError SMCError::notWritable(std::string key) { return {Kind::notWritable, 0, std::move(key)}; }
SMCError SMCError::smcResult(std::uint8_t result) { return {Kind::smcResult, result, {}}; }
SMCError SMCError::codec(std::string message) { return {Kind::codec, 0, std::move(message)}; }
SMCError SMCError::serviceNotFound() { return {Kind::serviceNotFound, 0, {}}; }

}  // namespace quorvane
