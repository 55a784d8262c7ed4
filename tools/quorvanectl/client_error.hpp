// What quorvanectl reports when a command cannot be done: the message shown after
// "quorvanectl: " and the exit status. Value type, thrown.
#pragma once

#include <stdexcept>
#include <string>

namespace quorvane::ctl {

namespace ExitStatus {
inline constexpr int ok = 0;
inline constexpr int failed = 1;  // the daemon or the hardware said no, or could not be reached
inline constexpr int usage = 2;   // the command line was wrong or the command refused itself
}  // namespace ExitStatus

// What a user without the rights to the bootstrap directory's sockets is told, naming the
// directory actually in use.
std::string permissionDeniedText();

class ClientError : public std::runtime_error {
public:
    explicit ClientError(const std::string& message, int exitStatus = ExitStatus::failed)
        : std::runtime_error(message), exitStatus_(exitStatus) {}
    int exitStatus() const { return exitStatus_; }

private:
    int exitStatus_;
};

}  // namespace quorvane::ctl
