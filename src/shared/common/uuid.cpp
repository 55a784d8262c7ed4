#include "shared/common/uuid.hpp"

#include <cstring>
#include <functional>

#include <uuid/uuid.h>

namespace quorvane {

Uuid Uuid::random() {
    Uuid u;
    uuid_generate_random(u.bytes_.data());
    return u;
}

std::optional<Uuid> Uuid::parse(std::string_view text) {
    // libuuid reads a NUL-terminated string; the length check also rules out embedded NULs
    // being mistaken for the end.
    if (text.size() != 36 || text.find('\0') != std::string_view::npos) return std::nullopt;
    char buf[37];
    std::memcpy(buf, text.data(), 36);
    buf[36] = '\0';
    Uuid u;
    if (uuid_parse(buf, u.bytes_.data()) != 0) return std::nullopt;
    return u;
}

std::string Uuid::uuidString() const {
    char buf[37];
    uuid_unparse_upper(bytes_.data(), buf);
    return std::string(buf, 36);
}

}  // namespace quorvane

std::size_t std::hash<quorvane::Uuid>::operator()(const quorvane::Uuid& u) const noexcept {
    std::uint64_t a = 0, b = 0;
    std::memcpy(&a, u.bytes().data(), 8);
    std::memcpy(&b, u.bytes().data() + 8, 8);
    return std::hash<std::uint64_t>{}(a ^ (b * 0x9e3779b97f4a7c15ULL));
}
