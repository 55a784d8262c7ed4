#include "platform/bootstrap/bootstrap.hpp"

#include <cstdlib>

namespace quorvane::bootstrap {

std::string directory() {
    const char* dir = std::getenv("QUORVANE_BOOTSTRAP");
    return (dir && *dir) ? std::string(dir) : std::string("/run/quorvane");
}

std::string socketPath(const std::string& name) { return directory() + "/" + name; }

}  // namespace quorvane::bootstrap
