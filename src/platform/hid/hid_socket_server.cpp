// The virtual Mac's side of the HID socket: each connection asks "services" and gets one line.
#include <cerrno>
#include <system_error>

#include "platform/bootstrap/line_socket.hpp"
#include "platform/hid/hid.hpp"

namespace quorvane::hid {

namespace {
constexpr std::size_t kMaxRequestBytes = 64;
}  // namespace

struct SocketEventSystemServer::Impl {
    Impl(std::string path, bootstrap::LineSocketServer::Answer answer)
        : server(std::move(path), std::move(answer), kMaxRequestBytes) {}
    bootstrap::LineSocketServer server;
};

SocketEventSystemServer::SocketEventSystemServer(std::string path, std::shared_ptr<EventSystem> system) {
    if (!system) throw std::system_error(EINVAL, std::generic_category(), "HID socket \"" + path + "\"");
    auto answer = [system](const std::string& request) -> std::optional<std::string> {
        if (request != "services") return std::nullopt;
        return encodeServices(system->services());
    };
    impl_ = std::make_unique<Impl>(std::move(path), std::move(answer));
}

SocketEventSystemServer::~SocketEventSystemServer() = default;

}  // namespace quorvane::hid
