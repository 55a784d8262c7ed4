#include "shared/common/decoding_error.hpp"

namespace quorvane {

namespace {
const char* caseName(DecodingError::Kind kind) {
    switch (kind) {
        case DecodingError::Kind::keyNotFound: return "keyNotFound";
        case DecodingError::Kind::typeMismatch: return "typeMismatch";
        case DecodingError::Kind::dataCorrupted: return "dataCorrupted";
    }
    return "dataCorrupted";
}
}  // namespace

DecodingError::DecodingError(Kind kind, std::string codingPath, std::string debugDescription)
    : kind_(kind), codingPath_(std::move(codingPath)), debugDescription_(std::move(debugDescription)) {
    text_ = caseName(kind_);
    if (!codingPath_.empty()) text_ += "(\"" + codingPath_ + "\")";
    text_ += ": " + debugDescription_;
}

DecodingError DecodingError::keyNotFound(std::string codingPath) {
    return DecodingError(Kind::keyNotFound, std::move(codingPath), "required key is missing");
}

DecodingError DecodingError::typeMismatch(std::string codingPath, std::string debugDescription) {
    return DecodingError(Kind::typeMismatch, std::move(codingPath), std::move(debugDescription));
}

DecodingError DecodingError::dataCorrupted(std::string codingPath, std::string debugDescription) {
    return DecodingError(Kind::dataCorrupted, std::move(codingPath), std::move(debugDescription));
}

}  // namespace quorvane
