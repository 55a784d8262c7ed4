#include "platform/bootstrap/bootstrap.hpp"

#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>

namespace quorvane::bootstrap {

std::string directory() {
    const char* dir = std::getenv("QUORVANE_BOOTSTRAP");
    return (dir && *dir) ? std::string(dir) : std::string("/run/quorvane");
}

std::string socketPath(const std::string& name) { return directory() + "/" + name; }

// By hand rather than std::filesystem, which would bring libstdc++'s locale machinery into the
// static daemon for this one call.
std::error_code makeDirectory(std::string* failedPath) {
    const std::string path = directory();
    for (std::size_t slash = 1; slash != std::string::npos;) {
        slash = path.find('/', slash + 1);
        const std::string prefix = path.substr(0, slash);
        if (prefix.empty() || ::mkdir(prefix.c_str(), 0755) == 0 || errno == EEXIST) continue;
        if (failedPath) *failedPath = prefix;
        return {errno, std::generic_category()};
    }
    return {};
}

}  // namespace quorvane::bootstrap
