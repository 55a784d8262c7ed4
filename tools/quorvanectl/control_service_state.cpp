#include "control_service_state.hpp"

#include <algorithm>
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
constexpr std::size_t kFollowingLimit = kStateLimit / 2;
constexpr std::size_t kHolderLimit = 256;

std::string statePath() { return bootstrap::socketPath("quorvane-control.state"); }

bool lockHeld(int fd) {
    struct flock lock {};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    return ::fcntl(fd, F_OFD_GETLK, &lock) == 0 && lock.l_type != F_UNLCK;
}

// At most `limit` bytes, cut at a character boundary: readers put the text in JSON, which takes
// whole characters only. No line breaks: the file is one field a line.
std::string field(const std::string& text, std::size_t limit) {
    std::size_t cut = std::min(text.size(), limit);
    while (cut > 0 && cut < text.size() && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
    std::string out = text.substr(0, cut);
    std::replace(out.begin(), out.end(), '\n', ' ');
    return out;
}

std::string describe(const FanClaimState& state) {
    if (state.isControlService())
        return "the control service (quorvane-control, pid " + std::to_string(state.pid) + ") is in control of the fans, following \"" +
               state.following + "\"";
    return state.holder + " (pid " + std::to_string(state.pid) + ") is in control of the fans";
}

std::string howToEnd(const FanClaimState& state) {
    if (state.isControlService())
        return "stop it first (systemctl stop quorvane-control) or change /etc/quorvane/control.json and reload it";
    return "end it first";
}

}  // namespace

bool FanClaimState::isControlService() const { return holder == FanClaim::serviceHolder; }

FanClaim::FanClaim(std::string holder, const std::string& following) : holder_(std::move(holder)) {
    const std::string path = statePath();
    // Never unlinked: a file replaced under a waiting opener would let two holders lock two files.
    fd_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (fd_ < 0) {
        const int error = errno;
        if (error == EACCES || error == EPERM || error == EROFS) {
            if (const auto other = fanClaimHolder()) throw ClientError(describe(*other) + "; " + howToEnd(*other), ExitStatus::usage);
            return;
        }
        throw ClientError("cannot create " + path + ": " + std::strerror(error));
    }
    struct flock lock {};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    if (::fcntl(fd_, F_OFD_SETLK, &lock) != 0) {
        ::close(fd_);
        fd_ = -1;
        const auto other = fanClaimHolder();
        if (other) throw ClientError(describe(*other) + "; " + howToEnd(*other), ExitStatus::usage);
        throw ClientError("another process is in control of the fans", ExitStatus::usage);
    }
    // Readable by every user, whatever the holder's umask.
    ::fchmod(fd_, 0644);
    update(following);
}

FanClaim::~FanClaim() {
    if (fd_ < 0) return;
    // Emptied while still locked, so that no reader sees a former holder's name.
    (void)::ftruncate(fd_, 0);
    ::close(fd_);
}

void FanClaim::update(const std::string& following) {
    if (fd_ < 0) return;
    const std::string text = std::to_string(::getpid()) + "\n" + field(following, kFollowingLimit) + "\n" +
                             field(holder_, kHolderLimit) + "\n";
    if (::ftruncate(fd_, 0) != 0 || ::pwrite(fd_, text.data(), text.size(), 0) != static_cast<ssize_t>(text.size()))
        throw ClientError("cannot write " + statePath() + ": " + std::strerror(errno));
}

std::optional<FanClaimState> fanClaimHolder() {
    const int fd = ::open(statePath().c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0) return std::nullopt;
    std::optional<FanClaimState> state;
    if (lockHeld(fd)) {
        char buffer[kStateLimit];
        const ssize_t n = ::pread(fd, buffer, sizeof buffer, 0);
        const std::string text(buffer, n > 0 ? static_cast<std::size_t>(n) : 0);
        std::string lines[3];
        std::size_t at = 0;
        for (auto& line : lines) {
            const auto end = std::min(text.find('\n', at), text.size());
            if (at < text.size()) line = text.substr(at, end - at);
            at = end + 1;
        }
        state = FanClaimState{};
        state->pid = std::strtol(lines[0].c_str(), nullptr, 10);
        state->following = lines[1];
        state->holder = lines[2].empty() ? "another process" : lines[2];
    }
    ::close(fd);
    return state;
}

std::optional<ControlServiceState> runningControlService() {
    auto state = fanClaimHolder();
    if (state && !state->isControlService()) state.reset();
    return state;
}

void refuseWhileFansAreClaimed(const std::string& command, bool force) {
    if (force) return;
    const auto state = fanClaimHolder();
    if (!state) return;
    throw ClientError(describe(*state) + "; " + command + " would take them from it: " + howToEnd(*state) +
                          ", or add --force" + (state->isControlService() ? " (the service takes them again)" : ""),
                      ExitStatus::usage);
}

}  // namespace quorvane::ctl
