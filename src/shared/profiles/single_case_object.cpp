#include "shared/profiles/single_case_object.hpp"

namespace quorvane {

namespace {

std::size_t onlyCaseIndex(const nlohmann::json& json, const std::string& path, const std::string_view* keys,
                          std::size_t count) {
    const json_decoding::ObjectReader outer(json, path);
    std::size_t found = count, present = 0;
    for (std::size_t i = 0; i < count; ++i)
        if (outer.has(keys[i])) {
            found = i;
            ++present;
        }
    if (present != 1) throw DecodingError::typeMismatch(path, "Invalid number of keys found, expected one.");
    return found;
}

}  // namespace

SingleCaseObject::SingleCaseObject(const nlohmann::json& json, const std::string& path, const std::string_view* keys,
                                   std::size_t count)
    : index(onlyCaseIndex(json, path, keys, count)),
      payload(*json.find(keys[index]), json_decoding::childPath(path, keys[index])) {}

}  // namespace quorvane
