// The coretemp hwmon directory of the virtual Mac (SysfsTree::coretemp).
#include <cerrno>
#include <cmath>
#include <stdexcept>

#include "sim/sysfs_tree.hpp"

namespace quorvane::sim {

namespace {

// coretemp's limits on the Intel CPUs of these Macs: TjMax 100 °C, the high mark 20 below.
constexpr int kMaxMillidegrees = 80000;
constexpr int kCritMillidegrees = 100000;

std::string line(const std::string& text) { return text + "\n"; }

// The die keys the driver's inputs stand for, in the table's own naming.
struct CoretempKeys {
    std::optional<std::string> package;
    std::vector<std::string> cores;
};

bool plausible(SMCKeyModel& model, const std::string& key) {
    try {
        const double v = model.readKey(key);
        return std::isfinite(v) && v > 0 && v <= 130;
    } catch (const std::invalid_argument&) {
        return false;
    }
}

CoretempKeys findKeys(SMCKeyModel& model) {
    CoretempKeys keys;
    for (char n = '0'; n <= '9'; ++n) {
        const std::string upper = std::string("TC") + n + "C", lower = std::string("TC") + n + "c";
        if (model.hasKey(upper)) keys.cores.push_back(upper);
        else if (model.hasKey(lower)) keys.cores.push_back(lower);
    }
    // The PECI package reading first; the die keys of older tables otherwise. Some tables hold
    // offsets under these names (negative), which no package reads.
    for (const char* key : {"TCXC", "TCXc", "TC0D", "TC0E", "TC0F", "TC0d"}) {
        if (model.hasKey(key) && plausible(model, key)) {
            keys.package = key;
            break;
        }
    }
    return keys;
}

// Whole degrees, as the digital thermal sensor reports them.
SysfsRead millidegrees(SMCKeyModel& model, const std::string& key) {
    try {
        const double v = model.readKey(key);
        if (!std::isfinite(v) || v < -1000 || v > 1000) return -EIO;
        return line(std::to_string(1000 * std::lround(v)));
    } catch (const std::invalid_argument&) {
        return -EIO;  // the key was removed under the driver
    }
}

}  // namespace

SysfsTree::SysfsTree(std::shared_ptr<SMCKeyModel> model, Empty)
    : model_(std::move(model)), layout_(SysfsLayout::applesmc) {}

std::shared_ptr<const SysfsTree> SysfsTree::coretemp(std::shared_ptr<SMCKeyModel> model) {
    const CoretempKeys keys = findKeys(*model);
    if (keys.cores.empty())
        throw std::invalid_argument("the table has no per-core CPU die keys (TC<n>C): no coretemp to serve");
    std::shared_ptr<SysfsTree> tree(new SysfsTree(model, Empty{}));
    auto& files = tree->files_;
    files.push_back({"name", false, [] { return SysfsRead(line("coretemp")); }, {}});
    auto channel = [&](int number, const std::string& label, std::function<SysfsRead()> input) {
        const std::string prefix = "temp" + std::to_string(number) + "_";
        files.push_back({prefix + "input", false, std::move(input), {}});
        files.push_back({prefix + "label", false, [label] { return SysfsRead(line(label)); }, {}});
        files.push_back({prefix + "max", false, [] { return SysfsRead(line(std::to_string(kMaxMillidegrees))); }, {}});
        files.push_back({prefix + "crit", false, [] { return SysfsRead(line(std::to_string(kCritMillidegrees))); }, {}});
    };
    SMCKeyModel* m = model.get();  // the tree holds the model for as long as the files exist
    if (keys.package) {
        channel(1, "Package id 0", [m, key = *keys.package] { return millidegrees(*m, key); });
    } else {
        // No package key: the package reads as its hottest core, as the hardware's does.
        channel(1, "Package id 0", [m, cores = keys.cores]() -> SysfsRead {
            SysfsRead hottest = -EIO;
            long best = 0;
            for (const auto& key : cores) {
                const SysfsRead r = millidegrees(*m, key);
                if (const auto* text = std::get_if<std::string>(&r)) {
                    const long v = std::stol(*text);
                    if (std::holds_alternative<int>(hottest) || v > best) {
                        hottest = r;
                        best = v;
                    }
                }
            }
            return hottest;
        });
    }
    for (std::size_t i = 0; i < keys.cores.size(); ++i)
        channel(static_cast<int>(i) + 2, "Core " + std::to_string(i),
                [m, key = keys.cores[i]] { return millidegrees(*m, key); });
    return tree;
}

}  // namespace quorvane::sim
