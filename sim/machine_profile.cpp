#include "sim/machine_profile.hpp"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <optional>
#include <set>

#include "shared/smc/four_cc.hpp"

namespace quorvane::sim {

namespace {

using nlohmann::json;

[[noreturn]] void fail(const std::string& profile, const std::string& what) {
    throw ProfileError("machine profile \"" + profile + "\": " + what);
}

bool validName(const std::string& name) {
    if (name.empty() || name.size() > 64) return false;
    return std::all_of(name.begin(), name.end(), [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '_';
    });
}

int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

SMCBytes parseHex(const std::string& profile, const std::string& key, std::string text) {
    text.erase(std::remove(text.begin(), text.end(), ' '), text.end());
    if (text.size() % 2 != 0 || text.size() > 64) fail(profile, "key \"" + key + "\": bad hex value");
    std::vector<std::uint8_t> bytes;
    for (std::size_t i = 0; i < text.size(); i += 2) {
        int hi = hexDigit(text[i]), lo = hexDigit(text[i + 1]);
        if (hi < 0 || lo < 0) fail(profile, "key \"" + key + "\": bad hex value");
        bytes.push_back(static_cast<std::uint8_t>(hi * 16 + lo));
    }
    return SMCBytes(std::span<const std::uint8_t>(bytes));
}

std::uint8_t defaultAttributes(bool readable, bool writable) {
    return static_cast<std::uint8_t>((readable ? 0x80 : 0) | (writable ? 0x40 : 0) | 0x10);
}

SMCBytes encodeOrFail(const std::string& profile, const std::string& key, double value, std::uint32_t type) {
    try {
        return SMCDataCodec::encode(value, SMCDataType::fromRaw(type));
    } catch (const SMCCodecError& e) {
        fail(profile, "key \"" + key + "\": " + e.description());
    }
}

KeyDefinition makeKey(std::string name, std::uint32_t type, double value, bool readable, bool writable,
                      const std::string& profile) {
    KeyDefinition k;
    k.name = std::move(name);
    k.type = type;
    k.size = static_cast<std::uint32_t>(SMCDataType::fromRaw(type).size());
    k.readable = readable;
    k.writable = writable;
    k.attributes = defaultAttributes(readable, writable);
    k.value = encodeOrFail(profile, k.name, value, type);
    return k;
}

KeyDefinition parseKey(const std::string& profile, const json& j) {
    if (!j.is_object()) fail(profile, "every entry of \"keys\" must be an object");
    KeyDefinition k;
    k.name = j.value("key", std::string());
    std::uint32_t code = 0;
    if (!FourCC::tryCode(k.name, code)) fail(profile, "key name \"" + k.name + "\" is not four bytes");
    k.type = typeCodeFromText(j.value("type", std::string()));
    k.readable = j.value("readable", true);
    k.writable = j.value("writable", false);
    k.attributes = static_cast<std::uint8_t>(j.value("attributes", int{defaultAttributes(k.readable, k.writable)}));
    const SMCDataType type = SMCDataType::fromRaw(k.type);
    const bool hasValue = j.contains("value"), hasHex = j.contains("hex");
    if (hasValue == hasHex) fail(profile, "key \"" + k.name + "\" needs exactly one of \"value\" and \"hex\"");
    if (hasValue) {
        if (type.kind() == SMCDataType::Kind::other)
            fail(profile, "key \"" + k.name + "\" has a type without a numeric encoding; give \"hex\"");
        if (!j["value"].is_number()) fail(profile, "key \"" + k.name + "\": \"value\" must be a number");
        k.value = encodeOrFail(profile, k.name, j["value"].get<double>(), k.type);
        k.size = static_cast<std::uint32_t>(k.value.size());
    } else {
        if (!j["hex"].is_string()) fail(profile, "key \"" + k.name + "\": \"hex\" must be a string");
        k.value = parseHex(profile, k.name, j["hex"].get<std::string>());
        k.size = static_cast<std::uint32_t>(k.value.size());
        if (type.kind() != SMCDataType::Kind::other && k.size != type.size())
            fail(profile, "key \"" + k.name + "\": hex value has the wrong size for its type");
    }
    return k;
}

// "ui8\x00" → the bytes 75 69 38 00.
std::string unescapeType(const std::string& text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\\' && i + 3 < text.size() && text[i + 1] == 'x' && hexDigit(text[i + 2]) >= 0 &&
            hexDigit(text[i + 3]) >= 0) {
            out.push_back(static_cast<char>(hexDigit(text[i + 2]) * 16 + hexDigit(text[i + 3])));
            i += 3;
        } else {
            out.push_back(text[i]);
        }
    }
    return out;
}

std::optional<double> decodedKey(const std::vector<KeyDefinition>& keys, const std::string& name) {
    for (const auto& k : keys) {
        if (k.name != name) continue;
        try {
            return SMCDataCodec::decode(k.value.span(), SMCDataType::fromRaw(k.type));
        } catch (const SMCCodecError&) {
            return std::nullopt;
        }
    }
    return std::nullopt;
}

// The fans a real table describes: "FNum" fans whose minimum and maximum keys are flt or fpe2.
void fansFromKeys(MachineProfile& p) {
    const long count = std::lround(std::clamp(decodedKey(p.keys, "FNum").value_or(0.0), 0.0, 10.0));
    for (long i = 0; i < count; ++i) {
        const std::string n = "F" + std::to_string(i);
        const auto type = std::find_if(p.keys.begin(), p.keys.end(), [&](const KeyDefinition& k) { return k.name == n + "Mx"; });
        const auto minimum = decodedKey(p.keys, n + "Mn"), maximum = decodedKey(p.keys, n + "Mx");
        if (type == p.keys.end() || !minimum || !maximum || !(*minimum >= 0 && *minimum <= *maximum)) break;
        const auto kind = SMCDataType::fromRaw(type->type).kind();
        if (kind != SMCDataType::Kind::flt && kind != SMCDataType::Kind::fpe2) break;
        FanDefinition fan;
        fan.type = type->type;
        fan.minimum = *minimum;
        fan.maximum = *maximum;
        fan.autoSpeed = std::clamp(decodedKey(p.keys, n + "Ac").value_or(*minimum), 0.0, *maximum);
        p.fans.push_back(fan);
    }
    p.hasForceTest = decodedKey(p.keys, "Ftst").has_value();
    p.firmware.manualModeNeedsForceTest = p.hasForceTest;
}

hid::ServiceRecord parseHIDService(const std::string& profile, const json& j) {
    if (!j.is_object()) fail(profile, "every entry of \"hid\" must be an object");
    hid::ServiceRecord s;
    s.usagePage = j.value("usagePage", std::int64_t{0xFF00});
    s.usage = j.value("usage", std::int64_t{5});
    const json product = j.value("product", json());
    if (product.is_string()) s.product = product.get<std::string>();
    else if (product.is_number()) s.product = product.get<double>();
    else if (!product.is_null()) fail(profile, "a HID \"product\" must be a string, a number or null");
    const json t = j.value("temperature", json());
    if (t.is_number()) s.temperature = t.get<double>();
    else if (t == "nan") s.temperature = std::nan("");
    else if (!t.is_null()) fail(profile, "a HID \"temperature\" must be a number, \"nan\" or null");
    return s;
}

int parseCount(const std::string& text, const std::string& where) {
    int value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || ec != std::errc() || end != text.data() + text.size())
        throw ProfileError(where + ": \"" + text + "\" is not a whole number");
    return value;
}

}  // namespace

void CPUTopology::validate(const std::string& where) const {
    constexpr int kMaxCores = 1024;
    if (performanceLevels != 1 && performanceLevels != 2)
        throw ProfileError(where + ": a Mac has one or two performance levels");
    if (performanceCores < 1 || performanceCores > kMaxCores || efficiencyCores < 0 || efficiencyCores > kMaxCores)
        throw ProfileError(where + ": core counts must be 1 to 1024 performance and 0 to 1024 efficiency cores");
    if ((performanceLevels == 2) != (efficiencyCores > 0))
        throw ProfileError(where + ": efficiency cores exist exactly when there are two performance levels");
}

CPUTopology CPUTopology::fromText(const std::string& text) {
    const std::string where = "cores \"" + text + "\"";
    const std::size_t comma = text.find(',');
    if (comma == std::string::npos) throw ProfileError(where + ": expected P,E (performance and efficiency cores)");
    CPUTopology t;
    t.performanceCores = parseCount(text.substr(0, comma), where);
    t.efficiencyCores = parseCount(text.substr(comma + 1), where);
    t.performanceLevels = t.efficiencyCores > 0 ? 2 : 1;
    t.validate(where);
    return t;
}

std::optional<CPUTopology> MachineProfile::topologyOf(const std::string& topologyPath, const std::string& table) {
    std::ifstream in(topologyPath);
    if (!in) return std::nullopt;
    return topologyOf(in, table);
}

std::optional<CPUTopology> MachineProfile::topologyOf(std::istream& in, const std::string& table) {
    std::string line;
    std::size_t number = 0;
    while (std::getline(in, line) && number < 100000) {
        ++number;
        if (number == 1 || line.rfind(table + ",", 0) != 0) continue;
        const std::string where = "topology table line " + std::to_string(number);
        std::vector<std::string> fields;
        std::size_t start = 0;
        for (int f = 0; f < 5; ++f) {
            const std::size_t comma = line.find(',', start);
            if (comma == std::string::npos) throw ProfileError(where + ": fewer than six fields");
            fields.push_back(line.substr(start, comma - start));
            start = comma + 1;
        }
        CPUTopology t;
        t.performanceLevels = parseCount(fields[2], where);
        t.performanceCores = parseCount(fields[3], where);
        t.efficiencyCores = parseCount(fields[4], where);
        t.validate(where);
        return t;
    }
    return std::nullopt;
}

std::string MachineProfile::dumpDirectory() {
#ifdef QUORVANE_SMC_DUMP_DIR
    return QUORVANE_SMC_DUMP_DIR;
#else
    return "sim/tables";
#endif
}

std::string MachineProfile::findDump(const std::string& nameOrPath) {
    std::error_code ec;
    if (std::filesystem::is_regular_file(nameOrPath, ec)) return nameOrPath;
    std::string model = nameOrPath;
    std::replace(model.begin(), model.end(), ',', '_');
    const std::string dir = dumpDirectory();
    const auto notFound = [&](const std::string& why) {
        return ProfileError("no key table \"" + nameOrPath + "\": " + why + " " + dir);
    };
    // Model names are letters, digits and underscores; anything else cannot name a table here.
    const bool plain = !model.empty() && model.size() <= 64 && std::all_of(model.begin(), model.end(), [](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) || c == '_';
    });
    if (!plain) throw notFound("not a file, and not a model name to look up in");
    std::vector<std::filesystem::path> matches;
    for (const auto& entry : std::filesystem::directory_iterator(dir, ec)) {
        const std::string stem = entry.path().stem().string();
        if (entry.path().extension() != ".csv") continue;
        if (stem == model) return entry.path().string();
        // "Mac16_10" names "Mac16_10_M4_…" but "MacBookPro11" is no model of "MacBookPro11_4".
        const std::size_t after = model.size() + 1;
        if (stem.size() > after && stem.rfind(model + "_", 0) == 0 && !std::isdigit(static_cast<unsigned char>(stem[after])))
            matches.push_back(entry.path());
    }
    if (ec) throw notFound("not a file, and cannot list");
    if (matches.size() == 1) return matches.front().string();
    if (matches.empty()) throw notFound("not a file, and no table of that model in");
    std::sort(matches.begin(), matches.end());
    std::string names;
    for (const auto& m : matches) names += (names.empty() ? "" : ", ") + m.stem().string();
    throw notFound("more than one table fits (" + names + ") in");
}

MachineProfile MachineProfile::fromDump(const std::string& path) {
    const std::string label = std::filesystem::path(path).stem().string();
    std::ifstream in(path);
    if (!in) throw ProfileError("cannot read SMC dump \"" + path + "\"");
    MachineProfile p;
    p.name = label;
    p.description = "real key table " + std::filesystem::path(path).filename().string();
    p.realKeyTable = true;
    std::string line;
    std::size_t number = 0;
    std::set<std::string> seen;
    while (std::getline(in, line)) {
        ++number;
        if (number == 1) {
            if (line.rfind("key,type,size,hex", 0) != 0) fail(label, "line 1 is not the header key,type,size,hex,value");
            continue;
        }
        if (line.empty()) continue;
        if (p.keys.size() >= 65536) fail(label, "more than 65536 keys");
        // The value column may hold commas; only the first four fields are used.
        std::vector<std::string> fields;
        std::size_t start = 0;
        for (int f = 0; f < 4; ++f) {
            const std::size_t comma = line.find(',', start);
            if (comma == std::string::npos) fail(label, "line " + std::to_string(number) + ": fewer than five fields");
            fields.push_back(line.substr(start, comma - start));
            start = comma + 1;
        }
        const std::string where = "line " + std::to_string(number);
        KeyDefinition k;
        k.name = fields[0];
        std::uint32_t code = 0;
        if (!FourCC::tryCode(k.name, code)) fail(label, where + ": key \"" + k.name + "\" is not four bytes");
        if (!seen.insert(k.name).second) fail(label, where + ": duplicate key \"" + k.name + "\"");
        const std::string type = unescapeType(fields[1]);
        if (type.size() != 4) fail(label, where + ": type \"" + fields[1] + "\" is not four bytes");
        k.type = static_cast<std::uint32_t>(static_cast<unsigned char>(type[0])) << 24 |
                 static_cast<std::uint32_t>(static_cast<unsigned char>(type[1])) << 16 |
                 static_cast<std::uint32_t>(static_cast<unsigned char>(type[2])) << 8 |
                 static_cast<std::uint32_t>(static_cast<unsigned char>(type[3]));
        unsigned long size = 0;
        try {
            size = std::stoul(fields[2]);
        } catch (const std::exception&) {
            fail(label, where + ": bad size \"" + fields[2] + "\"");
        }
        if (size > 4096) fail(label, where + ": size above 4096 bytes");
        k.size = static_cast<std::uint32_t>(size);
        // A record carries 32 value bytes: a longer key (some Macs have them) is served with its
        // real size and its first 32 bytes.
        const std::size_t held = std::min<std::size_t>(size, 32);
        // An empty value is a key the machine refused to read: it stays unreadable here too.
        k.readable = !fields[3].empty();
        if (k.readable) {
            if (fields[3].size() != 2 * size) fail(label, where + ": value is not " + fields[2] + " bytes");
            k.value = parseHex(label, k.name, fields[3].substr(0, 2 * held));
        } else {
            k.value = SMCBytes(std::span<const std::uint8_t>(std::vector<std::uint8_t>(held, 0)));
        }
        // The keys through which software drives fans; everything else is read-only.
        k.writable = k.name[0] == 'F' && (k.name.substr(2) == "Md" || k.name.substr(2) == "Tg" ||
                                          k.name == "Ftst" || k.name == "FS! ");
        k.attributes = defaultAttributes(k.readable, k.writable);
        p.keys.push_back(std::move(k));
    }
    if (p.keys.empty()) fail(label, "no keys");
    fansFromKeys(p);
    p.cpu = topologyOf((std::filesystem::path(path).parent_path() / "topology" / "topology.csv").string(), label);
    return p;
}

std::uint32_t typeCodeFromText(const std::string& text) {
    if (text.empty() || text.size() > 4) throw ProfileError("type code \"" + text + "\" is not one to four bytes");
    std::string padded = text;
    padded.resize(4, ' ');
    std::uint32_t code = 0;
    if (!FourCC::tryCode(padded, code)) throw ProfileError("type code \"" + text + "\" is not valid text");
    return code;
}

std::string MachineProfile::directory() {
#ifdef QUORVANE_PROFILE_DIR
    return QUORVANE_PROFILE_DIR;
#else
    return "sim/profiles";
#endif
}

std::vector<std::string> MachineProfile::available() {
    std::vector<std::string> names;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(directory(), ec)) {
        if (entry.path().extension() == ".json") names.push_back(entry.path().stem().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

MachineProfile MachineProfile::load(const std::string& name) {
    const auto known = available();
    if (!validName(name) || std::find(known.begin(), known.end(), name) == known.end()) {
        std::string list;
        for (const auto& k : known) list += (list.empty() ? "" : ", ") + k;
        // Naming the folder searched tells an installation whose profiles are elsewhere apart
        // from a mistyped name.
        throw ProfileError("unknown machine profile \"" + name + "\" in " + directory() + " (known: " +
                           (list.empty() ? "none, the folder is missing or holds no .json file" : list) + ")");
    }
    std::ifstream in(std::filesystem::path(directory()) / (name + ".json"));
    if (!in) fail(name, "cannot read " + directory() + "/" + name + ".json");
    json document = json::parse(in, nullptr, false);
    if (document.is_discarded()) fail(name, "file is not valid JSON");
    return fromJSON(document, name);
}

MachineProfile MachineProfile::fromJSON(const json& document, const std::string& name) {
    if (!document.is_object()) fail(name, "document must be an object");
    MachineProfile p;
    try {
        p.name = document.value("name", name);
        p.description = document.value("description", std::string());
        p.hasForceTest = document.value("forceTest", false);
        if (document.contains("firmware")) {
            const json& fw = document.at("firmware");
            p.firmware.manualModeNeedsForceTest = fw.value("manualModeNeedsForceTest", false);
            p.firmware.unlockDelay = fw.value("unlockDelaySeconds", 3.5);
            p.firmware.fanTimeConstant = fw.value("fanTimeConstantSeconds", 1.5);
        }
        if (!std::isfinite(p.firmware.unlockDelay) || p.firmware.unlockDelay < 0 ||
            !std::isfinite(p.firmware.fanTimeConstant) || p.firmware.fanTimeConstant < 0)
            fail(name, "firmware times must be finite and not negative");
        if (p.firmware.manualModeNeedsForceTest && !p.hasForceTest)
            fail(name, "manual mode needs \"Ftst\" but the profile has no \"Ftst\"");
        for (const json& f : document.value("fans", json::array())) {
            FanDefinition fan;
            fan.type = typeCodeFromText(f.at("type").get<std::string>());
            fan.minimum = f.at("minimum").get<double>();
            fan.maximum = f.at("maximum").get<double>();
            fan.autoSpeed = f.value("auto", fan.minimum);
            const auto kind = SMCDataType::fromRaw(fan.type).kind();
            if (kind != SMCDataType::Kind::flt && kind != SMCDataType::Kind::fpe2)
                fail(name, "fan type must be flt or fpe2");
            if (!(fan.minimum >= 0 && fan.minimum <= fan.maximum && fan.autoSpeed >= 0 &&
                  fan.autoSpeed <= fan.maximum && fan.maximum <= 16383.75))
                fail(name, "fan speeds must satisfy 0 <= minimum <= maximum and auto <= maximum");
            p.fans.push_back(fan);
        }
        if (p.fans.size() > 10) fail(name, "at most 10 fans");
        if (document.contains("dump")) {
            const std::string dump = document.at("dump").get<std::string>();
            if (dump.find('/') != std::string::npos) fail(name, "\"dump\" names a file in the dump directory");
            MachineProfile real = fromDump(dumpDirectory() + "/" + dump);
            p.fans = std::move(real.fans);
            p.hasForceTest = real.hasForceTest;
            p.firmware.manualModeNeedsForceTest = real.firmware.manualModeNeedsForceTest;
            p.keys = std::move(real.keys);
            p.cpu = real.cpu;
            p.realKeyTable = true;
        }
        for (const json& k : document.value("keys", json::array())) {
            KeyDefinition key = parseKey(name, k);
            // Over a real table, a profile key replaces the recorded one of that name.
            std::erase_if(p.keys, [&](const KeyDefinition& e) { return p.realKeyTable && e.name == key.name; });
            p.keys.push_back(std::move(key));
        }
        if (document.contains("cpu")) {
            const json& cpu = document.at("cpu");
            CPUTopology t;
            t.performanceCores = cpu.at("performanceCores").get<int>();
            t.efficiencyCores = cpu.value("efficiencyCores", 0);
            t.performanceLevels = t.efficiencyCores > 0 ? 2 : 1;
            t.validate("machine profile \"" + name + "\": \"cpu\"");
            p.cpu = t;
        }
        for (const json& h : document.value("hid", json::array())) p.hidServices.push_back(parseHIDService(name, h));
        if (p.hidServices.size() > 4096) fail(name, "at most 4096 HID services");
    } catch (const json::exception& e) {
        fail(name, e.what());
    }
    (void)p.allKeys();  // reject duplicates now rather than when a model is built
    return p;
}

std::vector<KeyDefinition> MachineProfile::allKeys() const {
    if (realKeyTable) return keys;
    const std::uint32_t ui8 = smc_type_codes::ui8;
    std::vector<KeyDefinition> all;
    all.push_back(makeKey("FNum", ui8, static_cast<double>(fans.size()), true, false, name));
    for (std::size_t i = 0; i < fans.size(); ++i) {
        const FanDefinition& f = fans[i];
        const std::string n = "F" + std::to_string(i);
        all.push_back(makeKey(n + "Ac", f.type, f.autoSpeed, true, false, name));
        all.push_back(makeKey(n + "Mn", f.type, f.minimum, true, false, name));
        all.push_back(makeKey(n + "Mx", f.type, f.maximum, true, false, name));
        all.push_back(makeKey(n + "Tg", f.type, f.autoSpeed, true, true, name));
        all.push_back(makeKey(n + "Md", ui8, 0, true, true, name));
    }
    if (hasForceTest) all.push_back(makeKey("Ftst", ui8, 0, true, true, name));
    all.insert(all.end(), keys.begin(), keys.end());
    // "#KEY" counts every key, itself included.
    all.push_back(makeKey("#KEY", smc_type_codes::ui32, static_cast<double>(all.size() + 1), true, false, name));
    std::set<std::string> seen;
    for (const auto& k : all) {
        if (!seen.insert(k.name).second) fail(name, "duplicate key \"" + k.name + "\"");
    }
    return all;
}

}  // namespace quorvane::sim
