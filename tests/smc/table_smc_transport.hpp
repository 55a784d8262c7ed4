// A substitute SMC that answers records from a table keyed by command and key (or index), and
// logs every request, plus the helpers the SMC tests share. Thread-safe (one mutex around the
// table and the log).
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "shared/smc/four_cc.hpp"
#include "smc/smc_error.hpp"
#include "smc/smc_kernel_bridge.hpp"
#include "smc/smc_transport.hpp"

namespace quorvane::testing {

class TableSMCTransport final : public SMCTransport {
public:
    void keyInfo(const std::string& key, std::uint32_t size, const std::string& type, std::uint8_t result = 0,
                 std::uint8_t attributes = 0) {
        SMCParamStruct r = answer(result);
        r.keyInfo.dataSize = size;
        r.keyInfo.dataType = type.empty() ? 0 : FourCC::code(type);
        r.keyInfo.dataAttributes = attributes;
        set(SMCCommand::readKeyInfo, FourCC::code(key), 0, r);
    }
    void value(const std::string& key, const std::vector<std::uint8_t>& bytes, std::uint8_t result = 0) {
        SMCParamStruct r = answer(result);
        r.setValueBytes(bytes);
        set(SMCCommand::readBytes, FourCC::code(key), 0, r);
    }
    void writeResult(const std::string& key, std::uint8_t result) {
        set(SMCCommand::writeBytes, FourCC::code(key), 0, answer(result));
    }
    void keyAt(std::uint32_t index, std::uint32_t keyCode, std::uint8_t result = 0) {
        SMCParamStruct r = answer(result);
        r.key = keyCode;
        set(SMCCommand::keyByIndex, 0, index, r);
    }
    // Any record, as is.
    void reply(std::uint8_t command, const std::string& key, const SMCParamStruct& record) {
        set(command, FourCC::code(key), 0, record);
    }
    // The exchange itself fails (as a broken connection would).
    void fail(std::uint8_t command, const std::string& key, SMCError error) {
        std::lock_guard<std::mutex> lock(mutex_);
        failures_.insert_or_assign(std::make_tuple(command, FourCC::code(key), 0u), std::move(error));
    }

    SMCParamStruct call(const SMCParamStruct& input) override {
        std::lock_guard<std::mutex> lock(mutex_);
        log_.push_back(input);
        const auto id = std::make_tuple(input.data8, input.key, input.data8 == SMCCommand::keyByIndex ? input.data32 : 0u);
        if (auto f = failures_.find(id); f != failures_.end()) throw f->second;
        if (auto it = replies_.find(id); it != replies_.end()) return it->second;
        return answer(input.data8 == SMCCommand::writeBytes ? 0 : 0x84);  // writes succeed by default
    }

    std::vector<SMCParamStruct> requests() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return log_;
    }
    std::size_t count(std::uint8_t command) const {
        const auto all = commands();
        return static_cast<std::size_t>(std::count(all.begin(), all.end(), command));
    }
    std::size_t total() const { return commands().size(); }
    std::vector<std::uint8_t> commands() const {
        std::lock_guard<std::mutex> lock(mutex_);
        std::vector<std::uint8_t> out;
        for (const auto& r : log_) out.push_back(r.data8);
        return out;
    }

private:
    using Id = std::tuple<std::uint8_t, std::uint32_t, std::uint32_t>;
    static SMCParamStruct answer(std::uint8_t result) {
        SMCParamStruct r{};
        r.result = result;
        return r;
    }
    void set(std::uint8_t command, std::uint32_t key, std::uint32_t index, const SMCParamStruct& reply) {
        std::lock_guard<std::mutex> lock(mutex_);
        replies_.insert_or_assign(Id{command, key, index}, reply);
    }

    mutable std::mutex mutex_;
    std::map<Id, SMCParamStruct> replies_;  // guarded by mutex_
    std::map<Id, SMCError> failures_;       // guarded by mutex_
    std::vector<SMCParamStruct> log_;       // guarded by mutex_
};

// A bridge over a fresh table, which stays reachable through `table`.
inline std::shared_ptr<SMCKernelBridge> tableBridge(TableSMCTransport*& table) {
    auto t = std::make_unique<TableSMCTransport>();
    table = t.get();
    return std::make_shared<SMCKernelBridge>(std::move(t));
}

// The SMCError a call throws; a test failure when it throws none.
template <typename F>
SMCError errorOf(F&& f) {
    try {
        f();
    } catch (const SMCError& e) {
        return e;
    }
    ADD_FAILURE() << "no SMCError thrown";
    return SMCError::serviceNotFound();
}

}  // namespace quorvane::testing
