// The commands that read (and, forced, write) the SMC over this process's own connection: fans,
// smc read, smc write, smc keys.
#include <iostream>

#include "client_error.hpp"
#include "commands.hpp"
#include "display_text.hpp"
#include "json_output.hpp"
#include "shared/smc/fan_key.hpp"
#include "shared/smc/four_cc.hpp"
#include "shared/smc/smc_data_codec.hpp"
#include "smc/smc_fan_reader.hpp"
#include "smc_session.hpp"
#include "terminal_style.hpp"

namespace quorvane::ctl {

namespace {

// A walk of a corrupt key count stops here.
constexpr long kKeyWalkLimit = 16384;

// A number where the codec knows the type; otherwise the type and the bytes, and for a text type
// ("ch8*") the printable text too.
std::string valueText(const SMCRawValue& raw) {
    if (raw.type.kind() != SMCDataType::Kind::other) {
        try {
            return shortestDecimal(SMCDataCodec::decode(raw.bytes.span(), raw.type));
        } catch (const SMCCodecError&) {
            // Shown as bytes below: a size the type does not have.
        }
    }
    std::string text = FourCC::string(raw.type.rawType()) + " " + hexText(raw.bytes.span());
    if (raw.type.rawType() == FourCC::code("ch8*")) {
        std::string printable;
        for (const auto b : raw.bytes) {
            if (b == 0) break;
            printable += (b >= 0x20 && b < 0x7f) ? static_cast<char>(b) : '.';
        }
        text += " \"" + printable + "\"";
    }
    return text;
}

}  // namespace

int fansCommand(bool json) {
    const auto bridge = openSMC();
    const auto fans = SMCFanReader(bridge).allFans();
    if (fans.empty()) {
        // No fan count at all is "no fans" only when the SMC says so, never when it was not asked.
        try {
            bridge->read(FanKey::fanCount);
        } catch (const SMCError& e) {
            if (e.kind() != SMCError::Kind::keyNotFound) throw ClientError("cannot read the fans: " + smcErrorText(e));
        }
    }
    if (json) {
        auto out = jsonDocument();
        out["fans"] = nlohmann::ordered_json::array();
        for (const auto& fan : fans) out["fans"].push_back(fan.toJSON());
        std::cout << out.dump(2) << std::endl;
        return ExitStatus::ok;
    }
    if (fans.empty()) {
        std::cout << "this Mac has no fans" << std::endl;
        return ExitStatus::ok;
    }
    const auto style = TerminalStyle::detect();
    std::cout << style.bold("FAN  MODE     ACTUAL  TARGET     MIN     MAX") << "\n";
    for (const auto& fan : fans) {
        const std::string mode = fan.isManaged ? style.yellow("manual") : style.green("auto  ");
        const std::string actual = fan.currentRPMValid ? rpmText(fan.currentRPM) : kNoReading;
        // The target key keeps the last manual target after a restore; the firmware does not use it.
        const std::string target = fan.isManaged ? rpmText(fan.targetRPM) : "auto";
        std::cout << padLeft(std::to_string(fan.id), 3) << "  " << mode << "  " << padLeft(actual, 7) << " "
                  << padLeft(target, 7) << " " << padLeft(rpmText(fan.minRPM), 7) << " "
                  << padLeft(rpmText(fan.maxRPM), 7) << "\n";
    }
    std::cout.flush();
    return ExitStatus::ok;
}

int smcReadCommand(const std::string& key) {
    const auto bridge = openSMC();
    try {
        std::cout << valueText(bridge->readRaw(key)) << std::endl;
    } catch (const SMCError& e) {
        throw ClientError("cannot read " + key + ": " + smcErrorText(e));
    }
    return ExitStatus::ok;
}

int smcWriteCommand(const std::string& key, double value, bool force) {
    if (!force) {
        throw ClientError("refusing to write " + key +
                              ": a direct SMC write bypasses the daemon's fail-safe, so nothing hands a fan "
                              "back to automatic control if this process or the machine misbehaves. Use "
                              "set-rpm or manual to go through the daemon, or pass --force to write anyway",
                          ExitStatus::usage);
    }
    const auto bridge = openSMC();
    try {
        bridge->write(key, value);
    } catch (const SMCError& e) {
        throw ClientError("cannot write " + key + ": " + smcErrorText(e));
    }
    std::cout << shortestDecimal(value) << std::endl;
    return ExitStatus::ok;
}

int smcKeysCommand() {
    const auto bridge = openSMC();
    long count = 0;
    try {
        count = bridge->keyCount();
    } catch (const SMCError& e) {
        throw ClientError("cannot read the key count: " + smcErrorText(e));
    }
    if (count > kKeyWalkLimit) {
        std::cerr << "quorvanectl: the SMC reports " << count << " keys; listing the first " << kKeyWalkLimit << "\n";
        count = kKeyWalkLimit;
    }
    const auto style = TerminalStyle::detect();
    std::cout << style.bold("KEY   TYPE  SIZE  VALUE") << "\n";
    for (long i = 0; i < count; ++i) {
        std::string key;
        try {
            key = bridge->key(i);
        } catch (const SMCError& e) {
            if (needsRoot(e)) throw ClientError("cannot walk the keys: " + smcErrorText(e));
            std::cerr << "quorvanectl: key #" << i << ": " << e.description() << "\n";
            continue;
        }
        std::string type = "?", size = "?", value = kNoReading;
        try {
            const auto info = bridge->keyInfo(key);
            type = FourCC::string(info.dataType);
            size = std::to_string(info.dataSize);
            value = valueText(bridge->readRaw(key));
        } catch (const SMCError&) {
            // Shown without a value: unreadable keys are normal (write-only switches, for one).
        }
        std::cout << key << "  " << type << "  " << padLeft(size, 4) << "  " << value << "\n";
    }
    std::cout.flush();
    return ExitStatus::ok;
}

}  // namespace quorvane::ctl
