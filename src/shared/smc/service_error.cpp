#include "shared/smc/service_error.hpp"

#include "shared/smc/helper_constants.hpp"

namespace quorvane {

std::string ServiceError::localizedDescription() const {
    auto it = userInfo.find(kLocalizedDescriptionKey);
    return it == userInfo.end() ? std::string() : it->second;
}

std::string ServiceError::rendering() const {
    std::string text = "Error Domain=" + domain + " Code=" + std::to_string(code);
    if (auto it = userInfo.find(kLocalizedDescriptionKey); it != userInfo.end()) {
        text += " \"" + it->second + "\"";
    }
    text += " UserInfo={";
    bool first = true;
    for (const auto& [key, value] : userInfo) {
        if (!first) text += ", ";
        first = false;
        text += key + "=" + value;
    }
    return text + "}";
}

ServiceError makeServiceError(std::int64_t code, const std::string& message) {
    return ServiceError{HelperConstants::daemonLabel, code, {{kLocalizedDescriptionKey, message}}};
}

}  // namespace quorvane
