#include "control_service_state.hpp"

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "client_error.hpp"
#include "platform/bootstrap/bootstrap.hpp"

namespace quorvane::ctl {

namespace {

constexpr std::size_t kStateLimit = 4096;

std::string statePath() { return bootstrap::socketPath("quorvane-control.state"); }

bool lockHeld(int fd) {
    struct flock lock {};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    return ::fcntl(fd, F_OFD_GETLK, &lock) == 0 && lock.l_type != F_UNLCK;
}

}  // namespace

ControlServiceClaim::ControlServiceClaim(const std::string& following) {
    const std::string path = statePath();
    fd_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (fd_ < 0) throw ClientError("cannot create " + path + ": " + std::strerror(errno));
    struct flock lock {};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    if (::fcntl(fd_, F_OFD_SETLK, &lock) != 0) {
        ::close(fd_);
        fd_ = -1;
        const auto other = runningControlService();
        throw ClientError("another control service runs" + (other ? " (pid " + std::to_string(other->pid) + ")" : std::string()));
    }
    // Readable by every user, whatever the service's umask.
    ::fchmod(fd_, 0644);
    update(following);
}

ControlServiceClaim::~ControlServiceClaim() {
    if (fd_ < 0) return;
    ::unlink(statePath().c_str());
    ::close(fd_);
}

void ControlServiceClaim::update(const std::string& following) {
    const std::string text = std::to_string(::getpid()) + "\n" + following.substr(0, kStateLimit / 2) + "\n";
    if (::ftruncate(fd_, 0) != 0 || ::pwrite(fd_, text.data(), text.size(), 0) != static_cast<ssize_t>(text.size()))
        throw ClientError("cannot write " + statePath() + ": " + std::strerror(errno));
}

std::optional<ControlServiceState> runningControlService() {
    const int fd = ::open(statePath().c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0) return std::nullopt;
    std::optional<ControlServiceState> state;
    if (lockHeld(fd)) {
        char buffer[kStateLimit];
        const ssize_t n = ::pread(fd, buffer, sizeof buffer, 0);
        const std::string text(buffer, n > 0 ? static_cast<std::size_t>(n) : 0);
        const auto newline = text.find('\n');
        state = ControlServiceState{};
        state->pid = std::strtol(text.c_str(), nullptr, 10);
        if (newline != std::string::npos) state->following = text.substr(newline + 1, text.find('\n', newline + 1) - newline - 1);
    }
    ::close(fd);
    return state;
}

void refuseWhileControlServiceRuns() {
    const auto state = runningControlService();
    if (!state) return;
    throw ClientError("the control service (quorvane-control, pid " + std::to_string(state->pid) +
                          ") is in control of the fans, following \"" + state->following +
                          "\"; stop it first (systemctl stop quorvane-control) or change " +
                          "/etc/quorvane/control.json and reload it",
                      ExitStatus::usage);
}

}  // namespace quorvane::ctl
