#include "platform/sysctl/sysctl.hpp"

#include <cerrno>
#include <charconv>
#include <cstring>
#include <mutex>
#include <system_error>

#include "platform/bootstrap/bootstrap.hpp"
#include "platform/bootstrap/line_socket.hpp"

namespace quorvane::sysctl {

namespace {

std::mutex registryMutex;
std::shared_ptr<Provider> registered;  // guarded by registryMutex

std::shared_ptr<Provider> inProcess() {
    std::lock_guard lock(registryMutex);
    return registered;
}

// A whole decimal int32, nothing else.
std::optional<std::int32_t> parseValue(const std::string& text) {
    std::int32_t value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size() || text.empty()) return std::nullopt;
    return value;
}

std::optional<std::int32_t> lookup(const std::string& name) {
    if (auto provider = inProcess()) return provider->value(name);
    const auto reply = bootstrap::askLine(bootstrap::socketPath(kSysctlSocketName), name, kMaxReplyBytes,
                                          kReplyTimeoutMilliseconds);
    if (!reply) return std::nullopt;
    return parseValue(*reply);
}

bool validName(const std::string& name) {
    if (name.empty() || name.size() > kMaxNameBytes) return false;
    for (char c : name) {
        if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' || c == '_'))
            return false;
    }
    return true;
}

}  // namespace

void registerProvider(std::shared_ptr<Provider> provider) {
    std::lock_guard lock(registryMutex);
    registered = std::move(provider);
}

void unregisterProvider() {
    std::lock_guard lock(registryMutex);
    registered.reset();
}

struct SocketSysctlServer::Impl {
    Impl(std::string path, bootstrap::LineSocketServer::Answer answer)
        : server(std::move(path), std::move(answer), kMaxNameBytes + 1) {}
    bootstrap::LineSocketServer server;
};

SocketSysctlServer::SocketSysctlServer(std::string path, std::shared_ptr<Provider> provider) {
    if (!provider) throw std::system_error(EINVAL, std::generic_category(), "sysctl socket \"" + path + "\"");
    auto answer = [provider](const std::string& name) -> std::optional<std::string> {
        if (!validName(name)) return std::string(kUnknownReply);
        const auto value = provider->value(name);
        return value ? std::to_string(*value) : std::string(kUnknownReply);
    };
    impl_ = std::make_unique<Impl>(std::move(path), std::move(answer));
}

SocketSysctlServer::~SocketSysctlServer() = default;

}  // namespace quorvane::sysctl

int sysctlbyname(const char* name, void* oldp, std::size_t* oldlenp, const void* newp, std::size_t newlen) {
    using namespace quorvane::sysctl;
    if (name == nullptr || oldlenp == nullptr) {
        errno = EINVAL;
        return -1;
    }
    if (newp != nullptr || newlen != 0) {
        errno = EPERM;
        return -1;
    }
    const std::string text(name, strnlen(name, kMaxNameBytes + 1));
    const auto value = validName(text) ? lookup(text) : std::nullopt;
    if (!value) {
        errno = ENOENT;
        return -1;
    }
    if (oldp == nullptr) {
        *oldlenp = sizeof(std::int32_t);
        return 0;
    }
    if (*oldlenp < sizeof(std::int32_t)) {
        errno = ENOMEM;
        return -1;
    }
    std::memcpy(oldp, &*value, sizeof(std::int32_t));
    *oldlenp = sizeof(std::int32_t);
    return 0;
}
