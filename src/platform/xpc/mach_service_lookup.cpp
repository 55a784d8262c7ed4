#include "platform/xpc/mach_service_lookup.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/bootstrap/bootstrap.hpp"

namespace quorvane::xpc {

bool machServiceIsServed(const std::string& name) {
    const std::string path = bootstrap::socketPath(name);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (name.empty() || path.size() >= sizeof address.sun_path) return false;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    // Non-blocking, so a listener with a full backlog cannot stall the caller: it answers EAGAIN,
    // and it is served all the same.
    const int probe = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (probe < 0) return false;
    const bool served = ::connect(probe, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0 ||
                        errno == EAGAIN;
    ::close(probe);
    return served;
}

std::error_code claimMachService(const std::string& name) {
    std::error_code error = bootstrap::makeDirectory();
    if (error) return error;
    const std::string path = bootstrap::socketPath(name) + ".lock";
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) return {errno, std::generic_category()};
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        error.assign(errno, std::generic_category());
        ::close(fd);
    }
    return error;  // on success the descriptor stays open: it is the claim
}

}  // namespace quorvane::xpc
