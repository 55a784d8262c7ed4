// Why a stored JSON record could not be read: a required key is missing, a value has the wrong
// JSON type, or a value is of the right type but not acceptable. Carries the full key path.
// Value type, thread-safe.
#pragma once

#include <exception>
#include <string>

namespace quorvane {

class DecodingError : public std::exception {
public:
    enum class Kind { keyNotFound, typeMismatch, dataCorrupted };

    // codingPath is the dotted path of the missing key, e.g. "curvePoints[1].rpmPercentage".
    static DecodingError keyNotFound(std::string codingPath);
    static DecodingError typeMismatch(std::string codingPath, std::string debugDescription);
    static DecodingError dataCorrupted(std::string codingPath, std::string debugDescription);

    Kind kind() const { return kind_; }
    const std::string& codingPath() const { return codingPath_; }
    const std::string& debugDescription() const { return debugDescription_; }

    // keyNotFound("curvePoints[1].id"): required key is missing
    // typeMismatch("speed"): Invalid number of keys found, expected one.
    // dataCorrupted("mode"): 3 is not a valid ControlMode raw value
    // (the path and its parentheses are left out at the top level)
    const std::string& description() const { return text_; }
    const char* what() const noexcept override { return text_.c_str(); }

private:
    DecodingError(Kind kind, std::string codingPath, std::string debugDescription);
    Kind kind_;
    std::string codingPath_;
    std::string debugDescription_;
    std::string text_;
};

}  // namespace quorvane
