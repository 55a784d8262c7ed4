// The kernel backend over driver files holding arbitrary bytes: every read, write and walk must
// end in a value or an SMCError, never a crash, a hang or an out-of-range conversion.
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform/iokit/kernel_smc_service.hpp"
#include "smc/smc_error.hpp"
#include "smc/smc_kernel_bridge.hpp"

using namespace quorvane;
namespace fs = std::filesystem;

namespace {

// The files the input fills, in order; chunks are separated by 0xFF.
const char* const kFiles[] = {"key_count", "key_at_index_name", "key_at_index_type", "key_at_index_data_length",
                              "key_at_index_data", "fan1_input", "fan1_manual", "temp1_label", "temp1_input"};

template <class F>
void tolerate(F f) {
    try {
        f();
    } catch (const SMCError&) {
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const fs::path dir = fs::temp_directory_path() / ("quorvane-fuzz-kernel-" + std::to_string(::getpid()));
    fs::create_directories(dir);
    std::vector<std::string> chunks(1);
    for (std::size_t i = 0; i < size && chunks.size() <= std::size(kFiles); ++i) {
        if (data[i] == 0xFF) chunks.emplace_back();
        else chunks.back().push_back(static_cast<char>(data[i]));
    }
    for (std::size_t i = 0; i < std::size(kFiles); ++i) {
        std::ofstream(dir / kFiles[i], std::ios::binary | std::ios::trunc) << (i < chunks.size() ? chunks[i] : "");
    }
    std::ofstream(dir / "fan1_output", std::ios::trunc) << "0\n";
    std::ofstream(dir / "key_at_index", std::ios::trunc) << "0\n";
    std::string error;
    auto service = iokit::KernelSMCService::create(
        {iokit::SMCBackend::Kind::applesmc, dir.string(), std::chrono::milliseconds(500), {}}, error);
    if (!service) return 0;
    iokit::ScopedServiceRegistration registration("AppleSMC", service);
    const auto bridge = SMCKernelBridge::open();
    tolerate([&] { bridge->keyCount(); });
    tolerate([&] { bridge->key(0); });
    const std::string name = chunks.size() > 1 ? chunks[1].substr(0, 4) : "F0Ac";
    if (name.size() == 4) {
        tolerate([&] { bridge->read(name); });
        tolerate([&] { bridge->write(name, 1500); });
    }
    for (const char* key : {"F0Ac", "F0Md", "FS! ", "TC0P"}) tolerate([&] { bridge->read(key); });
    tolerate([&] { bridge->write("FS! ", 1); });
    return 0;
}
