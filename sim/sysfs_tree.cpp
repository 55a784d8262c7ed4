#include "sim/sysfs_tree.hpp"

#include <cerrno>
#include <cmath>
#include <limits>

#include "shared/smc/four_cc.hpp"
#include "shared/smc/smc_data_codec.hpp"
#include "sim/smc_record.hpp"

namespace quorvane::sim {

namespace {

// The driver exposes at most this many fans.
constexpr long kMaxFans = 10;

const std::uint32_t kFlt = FourCC::code("flt ");
const std::uint32_t kSp78 = FourCC::code("sp78");
const std::uint32_t kForceBits = FourCC::code("FS! ");

std::uint32_t fanKey(long fan, const char* suffix) { return FourCC::code("F" + std::to_string(fan) + suffix); }

std::string line(const std::string& text) { return text + "\n"; }

// A value read from hardware becomes an integer only when it fits: NaN and infinities never do.
std::optional<std::int64_t> scaled(double value, double factor) {
    const double v = std::trunc(value * factor);
    if (!std::isfinite(v) || v < -9.0e18 || v > 9.0e18) return std::nullopt;
    return static_cast<std::int64_t>(v);
}

std::optional<double> decodeFloat(const std::vector<std::uint8_t>& bytes) {
    try {
        return SMCDataCodec::decode(bytes, SMCDataType::fromRaw(kFlt));
    } catch (const SMCCodecError&) {
        return std::nullopt;
    }
}

std::vector<std::uint8_t> encodeFloat(double value) {
    const SMCBytes b = SMCDataCodec::encode(value, SMCDataType::fromRaw(kFlt));
    return {b.begin(), b.end()};
}

unsigned be16(const std::vector<std::uint8_t>& b) { return static_cast<unsigned>(b[0]) << 8 | b[1]; }

}  // namespace

std::optional<SysfsLayout> sysfsLayoutFromName(std::string_view name) {
    if (name == "applesmc") return SysfsLayout::applesmc;
    if (name == "t2") return SysfsLayout::t2;
    if (name == "macsmc-hwmon") return SysfsLayout::macsmcHwmon;
    return std::nullopt;
}

std::optional<std::uint64_t> parseKernelUnsigned(std::string_view text) {
    if (!text.empty() && text.back() == '\n') text.remove_suffix(1);
    if (!text.empty() && text.front() == '+') text.remove_prefix(1);
    if (text.empty()) return std::nullopt;
    std::uint64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        const unsigned digit = static_cast<unsigned>(c - '0');
        if (value > (std::numeric_limits<std::uint64_t>::max() - digit) / 10) return std::nullopt;
        value = value * 10 + digit;
    }
    return value;
}

std::optional<std::int64_t> parseKernelSigned(std::string_view text) {
    const bool negative = !text.empty() && text.front() == '-';
    if (negative) text.remove_prefix(1);
    if (!text.empty() && text.front() == '+' && negative) return std::nullopt;
    const auto magnitude = parseKernelUnsigned(text);
    constexpr auto kMax = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
    if (!magnitude || *magnitude > kMax + (negative ? 1 : 0)) return std::nullopt;
    if (negative) return *magnitude == kMax + 1 ? std::numeric_limits<std::int64_t>::min()
                                                : -static_cast<std::int64_t>(*magnitude);
    return static_cast<std::int64_t>(*magnitude);
}

// MARK: - SMC access as the driver does it

std::variant<SysfsTree::KeyInfo, int> SysfsTree::info(std::uint32_t key) const {
    SMCRecord request;
    request.setKey(key);
    request.setCommand(smc_command::keyInfo);
    const SMCRecord reply = model_->exchange(request);
    if (reply.result() == smc_result::keyNotFound) return -EINVAL;
    if (reply.result() != smc_result::success) return -EIO;
    return KeyInfo{reply.dataType(), reply.dataSize()};
}

std::variant<std::vector<std::uint8_t>, int> SysfsTree::readKey(std::uint32_t key, std::uint32_t size) const {
    const auto found = info(key);
    if (const int* e = std::get_if<int>(&found)) return *e;
    const KeyInfo k = std::get<KeyInfo>(found);
    if ((size != 0 && k.size != size) || k.size > SMCRecord::kValueCapacity) return -EINVAL;
    SMCRecord request;
    request.setKey(key);
    request.setCommand(smc_command::readBytes);
    request.setDataSize(k.size);
    const SMCRecord reply = model_->exchange(request);
    if (reply.result() == smc_result::keyNotFound) return -EINVAL;
    if (reply.result() != smc_result::success) return -EIO;
    return std::vector<std::uint8_t>(reply.value(), reply.value() + k.size);
}

int SysfsTree::writeKey(std::uint32_t key, const std::vector<std::uint8_t>& bytes) const {
    const auto found = info(key);
    if (const int* e = std::get_if<int>(&found)) return *e;
    const KeyInfo k = std::get<KeyInfo>(found);
    if (k.size != bytes.size()) return -EINVAL;
    SMCRecord request;
    request.setKey(key);
    request.setCommand(smc_command::writeBytes);
    request.setDataSize(k.size);
    request.setDataType(k.type);
    request.setValue(bytes.data(), bytes.size());
    const std::uint8_t result = model_->exchange(request).result();
    if (result == smc_result::keyNotFound) return -EINVAL;
    return result == smc_result::success ? 0 : -EIO;
}

// MARK: - Tree

SysfsTree::SysfsTree(std::shared_ptr<SMCKeyModel> model, SysfsLayout layout, bool fanControl)
    : model_(std::move(model)), layout_(layout) {
    const bool hwmon = layout_ == SysfsLayout::macsmcHwmon;
    const std::string name = hwmon ? "macsmc_hwmon" : "applesmc";
    files_.push_back({"name", false, [name] { return SysfsRead(line(name)); }, {}});
    long fans = 0;
    const auto count = readKey(FourCC::code("FNum"), 1);
    if (const auto* n = std::get_if<std::vector<std::uint8_t>>(&count)) fans = std::min<long>((*n)[0], kMaxFans);
    if (hwmon) {
        addHwmonFans(fans);
        // Without the module parameter the driver publishes the target read-only.
        if (!fanControl)
            for (File& f : files_)
                if (f.name.ends_with("_target")) f.writable = false;
    } else {
        addIndexFiles();
        addApplesmcFans(fans);
    }
    addChannels();
}

const SysfsTree::File* SysfsTree::find(std::string_view name) const {
    for (const File& f : files_)
        if (f.name == name) return &f;
    return nullptr;
}

SysfsRead SysfsTree::read(std::string_view name) const {
    const File* f = find(name);
    return f ? f->show() : SysfsRead(-ENOENT);
}

int SysfsTree::write(std::string_view name, std::string_view data) const {
    const File* f = find(name);
    if (f == nullptr) return -ENOENT;
    if (!f->writable) return -EACCES;
    return f->store(data.substr(0, kPageSize));
}

void SysfsTree::addIndexFiles() {
    // key_at_index is one cursor for every reader: the name, type, length and data files show the
    // key it points at now.
    auto keyAt = [this]() -> std::variant<std::uint32_t, int> {
        std::uint64_t index;
        {
            std::lock_guard lock(cursorMutex_);
            index = keyAtIndex_;
        }
        SMCRecord request;
        request.setCommand(smc_command::keyByIndex);
        request.setData32(static_cast<std::uint32_t>(index));
        const SMCRecord reply = model_->exchange(request);
        if (reply.result() != smc_result::success) return -EIO;
        return reply.key();
    };
    files_.push_back({"key_count", false, [this] { return SysfsRead(line(std::to_string(model_->keyCount()))); }, {}});
    files_.push_back({"key_at_index", true,
                      [this] {
                          std::lock_guard lock(cursorMutex_);
                          return SysfsRead(line(std::to_string(keyAtIndex_)));
                      },
                      [this](std::string_view text) {
                          const auto index = parseKernelUnsigned(text);
                          if (!index || *index >= model_->keyCount()) return -EINVAL;
                          std::lock_guard lock(cursorMutex_);
                          keyAtIndex_ = *index;
                          return 0;
                      }});
    files_.push_back({"key_at_index_name", false,
                      [keyAt] {
                          const auto key = keyAt();
                          if (const int* e = std::get_if<int>(&key)) return SysfsRead(*e);
                          return SysfsRead(line(FourCC::string(std::get<std::uint32_t>(key))));
                      },
                      {}});
    files_.push_back({"key_at_index_type", false,
                      [this, keyAt] {
                          const auto key = keyAt();
                          if (const int* e = std::get_if<int>(&key)) return SysfsRead(*e);
                          const auto k = info(std::get<std::uint32_t>(key));
                          if (const int* e = std::get_if<int>(&k)) return SysfsRead(*e);
                          return SysfsRead(line(FourCC::string(std::get<KeyInfo>(k).type)));
                      },
                      {}});
    files_.push_back({"key_at_index_data_length", false,
                      [this, keyAt] {
                          const auto key = keyAt();
                          if (const int* e = std::get_if<int>(&key)) return SysfsRead(*e);
                          const auto k = info(std::get<std::uint32_t>(key));
                          if (const int* e = std::get_if<int>(&k)) return SysfsRead(*e);
                          return SysfsRead(line(std::to_string(std::get<KeyInfo>(k).size)));
                      },
                      {}});
    files_.push_back({"key_at_index_data", false,
                      [this, keyAt] {
                          const auto key = keyAt();
                          if (const int* e = std::get_if<int>(&key)) return SysfsRead(*e);
                          const auto bytes = readKey(std::get<std::uint32_t>(key));
                          if (const int* e = std::get_if<int>(&bytes)) return SysfsRead(*e);
                          const auto& b = std::get<std::vector<std::uint8_t>>(bytes);
                          return SysfsRead(std::string(b.begin(), b.end()));  // raw bytes, no newline
                      },
                      {}});
}

SysfsRead SysfsTree::showSpeed(std::uint32_t key) const {
    // The mainline driver reads every speed as two fpe2 bytes; the T2 and hwmon drivers read the
    // key in its own type.
    const bool twoBytes = layout_ == SysfsLayout::applesmc;
    const auto bytes = readKey(key, twoBytes ? 2 : 0);
    if (const int* e = std::get_if<int>(&bytes)) return *e;
    const auto& b = std::get<std::vector<std::uint8_t>>(bytes);
    if (b.size() == 2) return line(std::to_string(be16(b) >> 2));
    const auto value = b.size() == 4 ? decodeFloat(b) : std::nullopt;
    const auto rpm = value ? scaled(std::max(*value, 0.0), 1) : std::nullopt;
    if (!rpm || *rpm > std::numeric_limits<std::uint32_t>::max()) return -EIO;
    return line(std::to_string(*rpm));
}

int SysfsTree::storeSpeed(std::uint32_t key, std::string_view text) const {
    const auto speed = parseKernelUnsigned(text);
    if (!speed || *speed >= 0x4000) return -EINVAL;
    if (layout_ == SysfsLayout::t2) {
        const auto k = info(key);
        if (const int* e = std::get_if<int>(&k)) return *e;
        if (std::get<KeyInfo>(k).type == kFlt) return writeKey(key, encodeFloat(static_cast<double>(*speed)));
    }
    const auto raw = static_cast<unsigned>(*speed << 2);
    return writeKey(key, {static_cast<std::uint8_t>(raw >> 8), static_cast<std::uint8_t>(raw & 0xff)});
}

SysfsRead SysfsTree::showManual(long fan) const {
    if (layout_ == SysfsLayout::t2) {
        const auto mode = readKey(fanKey(fan, "Md"), 1);
        if (const auto* b = std::get_if<std::vector<std::uint8_t>>(&mode)) return line(std::to_string((*b)[0]));
        if (std::get<int>(mode) != -EINVAL) return std::get<int>(mode);
    }
    const auto bits = readKey(kForceBits, 2);
    if (const int* e = std::get_if<int>(&bits)) return *e;
    return line(std::to_string((be16(std::get<std::vector<std::uint8_t>>(bits)) >> fan) & 1));
}

int SysfsTree::storeManual(long fan, std::string_view text) const {
    const auto input = parseKernelUnsigned(text);
    if (!input) return -EINVAL;
    if (layout_ == SysfsLayout::t2) {
        const auto mode = info(fanKey(fan, "Md"));
        if (std::holds_alternative<KeyInfo>(mode))
            return writeKey(fanKey(fan, "Md"), {static_cast<std::uint8_t>(*input & 1)});
    }
    // Read, change one bit, write back: the driver holds no lock across the three steps.
    const auto bits = readKey(kForceBits, 2);
    if (const int* e = std::get_if<int>(&bits)) return *e;
    unsigned value = be16(std::get<std::vector<std::uint8_t>>(bits));
    if (*input != 0) value |= 1u << fan;
    else value &= ~(1u << fan);
    return writeKey(kForceBits, {static_cast<std::uint8_t>(value >> 8), static_cast<std::uint8_t>(value & 0xff)});
}

void SysfsTree::addApplesmcFans(long fans) {
    static constexpr std::pair<const char*, const char*> kSpeeds[] = {
        {"input", "Ac"}, {"min", "Mn"}, {"max", "Mx"}, {"safe", "Sf"}, {"output", "Tg"}};
    for (long i = 0; i < fans; ++i) {
        const std::string prefix = "fan" + std::to_string(i + 1) + "_";
        files_.push_back({prefix + "label", false,
                          [this, i] {
                              // The identification key: four bytes of position, then the name.
                              const auto bytes = readKey(fanKey(i, "ID"), 16);
                              if (const int* e = std::get_if<int>(&bytes)) return SysfsRead(*e);
                              const auto& b = std::get<std::vector<std::uint8_t>>(bytes);
                              std::string name(b.begin() + 4, b.end());
                              name.resize(name.find('\0') == std::string::npos ? name.size() : name.find('\0'));
                              return SysfsRead(line(name));
                          },
                          {}});
        for (const auto& [file, suffix] : kSpeeds) {
            const std::uint32_t key = fanKey(i, suffix);
            const bool writable = std::string_view(file) == "min" || std::string_view(file) == "output";
            files_.push_back({prefix + file, writable, [this, key] { return showSpeed(key); },
                              [this, key](std::string_view text) { return storeSpeed(key, text); }});
        }
        files_.push_back({prefix + "manual", true, [this, i] { return showManual(i); },
                          [this, i](std::string_view text) { return storeManual(i, text); }});
    }
}

int SysfsTree::storeHwmonTarget(long fan, std::string_view text) const {
    const auto value = parseKernelSigned(text);
    if (!value) return -EINVAL;
    if (*value == 0) return writeKey(fanKey(fan, "Md"), {0});
    auto bound = [this, fan](const char* suffix) -> std::optional<double> {
        const auto bytes = readKey(fanKey(fan, suffix), 4);
        const auto* b = std::get_if<std::vector<std::uint8_t>>(&bytes);
        return b ? decodeFloat(*b) : std::nullopt;
    };
    const auto min = bound("Mn"), max = bound("Mx");
    if (!min || !max) return -EIO;
    const double rpm = static_cast<double>(*value);
    if (rpm < *min || rpm > *max) return -EINVAL;
    if (const int e = writeKey(fanKey(fan, "Md"), {1}); e != 0) return e;
    return writeKey(fanKey(fan, "Tg"), encodeFloat(rpm));
}

void SysfsTree::addHwmonFans(long fans) {
    static constexpr std::pair<const char*, const char*> kSpeeds[] = {
        {"input", "Ac"}, {"min", "Mn"}, {"max", "Mx"}, {"target", "Tg"}};
    for (long i = 0; i < fans; ++i) {
        const std::string prefix = "fan" + std::to_string(i + 1) + "_";
        files_.push_back({prefix + "label", false, [i] { return SysfsRead(line("Fan " + std::to_string(i + 1))); }, {}});
        for (const auto& [file, suffix] : kSpeeds) {
            const std::uint32_t key = fanKey(i, suffix);
            const bool target = std::string_view(file) == "target";
            files_.push_back({prefix + file, target, [this, key] { return showSpeed(key); },
                              [this, i](std::string_view text) { return storeHwmonTarget(i, text); }});
        }
    }
}

void SysfsTree::addChannels() {
    // Channels as the driver finds them when it probes: mainline takes the sp78 keys from "T" to
    // "U"; the T2 driver also the flt ones; macsmc-hwmon flt temperatures, powers, voltages and
    // currents (hwmon numbers voltages from 0, every other channel from 1).
    struct Channel {
        char first;
        const char* prefix;
        int base;
        double factor;
        int count = 0;
    };
    const bool hwmon = layout_ == SysfsLayout::macsmcHwmon;
    std::vector<Channel> channels = {{'T', "temp", 1, 1000}};
    if (hwmon) channels.insert(channels.end(), {{'P', "power", 1, 1e6}, {'V', "in", 0, 1000}, {'I', "curr", 1, 1000}});
    const std::size_t keys = model_->keyCount();
    for (std::size_t index = 0; index < keys; ++index) {
        SMCRecord request;
        request.setCommand(smc_command::keyByIndex);
        request.setData32(static_cast<std::uint32_t>(index));
        const SMCRecord reply = model_->exchange(request);
        if (reply.result() != smc_result::success) continue;
        const std::uint32_t key = reply.key();
        const auto k = info(key);
        if (!std::holds_alternative<KeyInfo>(k)) continue;
        const std::uint32_t type = std::get<KeyInfo>(k).type;
        const bool accepted = layout_ == SysfsLayout::applesmc ? type == kSp78 : type == kSp78 || type == kFlt;
        for (Channel& c : channels) {
            if (static_cast<char>(key >> 24) != c.first || !accepted || (c.first != 'T' && type != kFlt)) continue;
            const std::string prefix = c.prefix + std::to_string(c.base + c.count++) + "_";
            const double factor = c.factor;
            files_.push_back({prefix + "input", false,
                              [this, key, type, factor]() -> SysfsRead {
                                  const auto bytes = readKey(key, type == kSp78 ? 2 : 4);
                                  if (const int* e = std::get_if<int>(&bytes)) return *e;
                                  const auto& b = std::get<std::vector<std::uint8_t>>(bytes);
                                  if (type == kSp78) {
                                      // Quarter degrees, as the driver shifts the signed value.
                                      const auto raw = static_cast<std::int16_t>(be16(b));
                                      return line(std::to_string(250 * (raw >> 6)));
                                  }
                                  const auto value = decodeFloat(b);
                                  const auto scaledValue = value ? scaled(*value, factor) : std::nullopt;
                                  if (!scaledValue) return -EIO;
                                  return line(std::to_string(*scaledValue));
                              },
                              {}});
            files_.push_back({prefix + "label", false, [key] { return SysfsRead(line(FourCC::string(key))); }, {}});
        }
    }
}

}  // namespace quorvane::sim
