#include "shared/sensors/sensor_class.hpp"

#include <string>

#include <nlohmann/json.hpp>

namespace quorvane {

namespace {

struct ClassRow {
    std::string_view raw, unit;
};
constexpr std::array<ClassRow, 6> kClassRows{{{"temperature", "\u00b0C"},
                                              {"power", "W"},
                                              {"voltage", "V"},
                                              {"current", "A"},
                                              {"fan", "RPM"},
                                              {"other", ""}}};

struct CategoryRow {
    std::string_view raw, displayName;
};
constexpr std::array<CategoryRow, 6> kCategoryRows{{{"cpu", "CPU"},
                                                    {"gpu", "GPU"},
                                                    {"neuralEngine", "Neural Engine"},
                                                    {"memory", "Memory"},
                                                    {"battery", "Battery"},
                                                    {"enclosure", "Enclosure"}}};

template <class E, class Rows>
const auto& rowOf(const Rows& rows, E value) {
    const auto i = static_cast<std::size_t>(value);
    return rows[i < rows.size() ? i : rows.size() - 1];
}

template <class E, class Rows, class Cases>
std::optional<E> fromRaw(const Rows& rows, const Cases& cases, std::string_view raw) {
    for (std::size_t i = 0; i < rows.size(); ++i)
        if (rows[i].raw == raw) return cases[i];
    return std::nullopt;
}

template <class E>
E decodeRaw(const nlohmann::json& j, std::optional<E> (*parse)(std::string_view), const char* what) {
    if (!j.is_string()) throw nlohmann::json::type_error::create(302, std::string(what) + " must be a string", &j);
    if (auto v = parse(j.get_ref<const std::string&>())) return *v;
    throw nlohmann::json::other_error::create(501, std::string("unknown ") + what + " \"" +
                                                       j.get<std::string>() + "\"", &j);
}

}  // namespace

std::string_view rawValue(SensorClass c) { return rowOf(kClassRows, c).raw; }
std::string_view unit(SensorClass c) { return rowOf(kClassRows, c).unit; }
std::optional<SensorClass> sensorClassFromRawValue(std::string_view raw) {
    return fromRaw<SensorClass>(kClassRows, sensor_class::allCases, raw);
}

std::string_view rawValue(SensorCategory c) { return rowOf(kCategoryRows, c).raw; }
std::string_view displayName(SensorCategory c) { return rowOf(kCategoryRows, c).displayName; }
std::optional<SensorCategory> sensorCategoryFromRawValue(std::string_view raw) {
    return fromRaw<SensorCategory>(kCategoryRows, sensor_category::allCases, raw);
}

void to_json(nlohmann::json& j, SensorClass value) { j = std::string(rawValue(value)); }
void from_json(const nlohmann::json& j, SensorClass& value) {
    value = decodeRaw<SensorClass>(j, sensorClassFromRawValue, "sensorClass");
}
void to_json(nlohmann::json& j, SensorCategory value) { j = std::string(rawValue(value)); }
void from_json(const nlohmann::json& j, SensorCategory& value) {
    value = decodeRaw<SensorCategory>(j, sensorCategoryFromRawValue, "category");
}

}  // namespace quorvane
