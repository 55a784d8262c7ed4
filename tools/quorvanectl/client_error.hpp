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
// The control service found no daemon (or no SMC) within its wait (EX_UNAVAILABLE): its unit does
// not restart on it, so a machine without either ends in one failed state.
inline constexpr int unavailable = 69;
}  // namespace ExitStatus

// What became of the fans when the daemon went away: a daemon that stops hands them back itself;
// one that crashed cannot, and its restart's launch restore does.
inline constexpr const char* lostDaemonAftermath =
    "it hands the fans back when it stops, and at its next start after a crash";

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
