// The virtual Mac's driver files take whatever a local process writes into them: every store, of
// any bytes into any file of each layout, must end in 0 or a negative errno and leave the file
// showable, never a crash or an out-of-range conversion.
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <variant>

#include "platform/clock/clock.hpp"
#include "sim/machine_profile.hpp"
#include "sim/smc_key_model.hpp"
#include "sim/sysfs_tree.hpp"

using namespace quorvane;
using namespace quorvane::sim;

namespace {

struct Tree {
    Tree(const clock::Clock& clock, const char* table, SysfsLayout layout)
        : model(std::make_shared<SMCKeyModel>(MachineProfile::fromDump(MachineProfile::findDump(table)), clock)),
          tree(model, layout) {}
    std::shared_ptr<SMCKeyModel> model;
    SysfsTree tree;
};

}  // namespace

// Input: a byte choosing the layout, a byte choosing the file, then the bytes to store.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const clock::SuspendingClock clock;
    static Tree* const trees[] = {
        new Tree(clock, "MacBookPro11_4", SysfsLayout::applesmc),
        new Tree(clock, "MacBookPro15_1", SysfsLayout::t2),
        new Tree(clock, "Mac16_10", SysfsLayout::macsmcHwmon),
    };
    if (size < 2) return 0;
    const SysfsTree& tree = trees[data[0] % std::size(trees)]->tree;
    const auto& files = tree.files();
    const auto& file = files[data[1] % files.size()];
    const std::string_view text(reinterpret_cast<const char*>(data + 2), size - 2);
    const int stored = tree.write(file.name, text);
    if (stored > 0) __builtin_trap();
    // The stored file and the cursor's value, which a store into key_at_index moves.
    for (const std::string_view name : {std::string_view(file.name), std::string_view("key_at_index_data")}) {
        const SysfsRead shown = tree.read(name);
        if (const int* error = std::get_if<int>(&shown); error && *error >= 0) __builtin_trap();
    }
    return 0;
}
