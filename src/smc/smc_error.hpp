// The SMC module's error: one case per failure, with its payload and its textual form, e.g.
// keyNotFound("F0Md"), callFailed(-536870169), serviceNotFound. Value type, thrown.
#pragma once

#include <cstdint>
#include <exception>
#include <string>

namespace quorvane {

class SMCError : public std::exception {
public:
    enum class Kind { openFailed, callFailed, keyNotFound, notReadable, notWritable, smcResult, codec, serviceNotFound };

    static SMCError openFailed(std::int32_t code);
    static SMCError callFailed(std::int32_t code);
    static SMCError keyNotFound(std::string key);
    static SMCError notReadable(std::string key);
    static SMCError notWritable(std::string key);
    static SMCError smcResult(std::uint8_t result);
    static SMCError codec(std::string message);
    static SMCError serviceNotFound();

    Kind kind() const { return kind_; }
    // openFailed/callFailed: the kernel return code; smcResult: the result byte.
    std::int64_t code() const { return code_; }
    // keyNotFound/notReadable/notWritable: the key; codec: the message.
    const std::string& text() const { return text_; }

    const std::string& description() const { return description_; }
    const char* what() const noexcept override { return description_.c_str(); }

    friend bool operator==(const SMCError& a, const SMCError& b) {
        return a.kind_ == b.kind_ && a.code_ == b.code_ && a.text_ == b.text_;
    }

private:
    SMCError(Kind kind, std::int64_t code, std::string text);
    Kind kind_;
    std::int64_t code_;
    std::string text_;
    std::string description_;
};

}  // namespace quorvane
