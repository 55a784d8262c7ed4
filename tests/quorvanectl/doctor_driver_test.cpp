// doctor over stand-in sysfs trees: the driver found by looking, what it says about each layout's
// target files as the daemon would have them, a T2 Mac whose kernel cannot drive it, and what
// only root can tell. Also `profiles` wording the built-in full-speed target for people.
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "client_error.hpp"
#include "commands.hpp"
#include "doctor_driver.hpp"
#include "platform/iokit/iokit.hpp"
#include "smc_session.hpp"

namespace quorvane::ctl {
namespace {

namespace fs = std::filesystem;

struct SysTree {
    fs::path root;
    SysTree() {
        char pattern[] = "/tmp/quorvane-sys-XXXXXX";
        root = ::mkdtemp(pattern);
    }
    ~SysTree() { fs::remove_all(root); }
    void put(const std::string& path, const std::string& text, fs::perms mode = fs::perms::owner_read | fs::perms::owner_write |
                                                                               fs::perms::group_read | fs::perms::others_read) {
        fs::create_directories((root / path).parent_path());
        std::ofstream(root / path) << text << "\n";
        fs::permissions(root / path, mode);
    }
    void link(const std::string& target, const std::string& path) {
        fs::create_directories((root / path).parent_path());
        fs::create_directory_symlink(target, root / path);
    }
};

constexpr fs::perms kReadOnly = fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read;

void intelFans(SysTree& t, const std::string& dir, bool writable) {
    t.put(dir + "/key_count", "3");
    t.put(dir + "/key_at_index", "0");
    t.put(dir + "/fan1_input", "1800", kReadOnly);
    t.put(dir + "/fan1_manual", "0");
    t.put(dir + "/fan1_output", "1800", writable ? fs::perms::owner_read | fs::perms::owner_write : kReadOnly);
}

void hwmonFans(SysTree& t, bool writable) {
    const std::string dir = "devices/platform/soc@200000000/23e400000.smc/macsmc-hwmon/hwmon/hwmon3";
    t.put(dir + "/name", "macsmc_hwmon", kReadOnly);
    t.put(dir + "/fan1_input", "1800", kReadOnly);
    t.put(dir + "/fan1_target", "0", writable ? fs::perms::owner_read | fs::perms::owner_write : kReadOnly);
    t.link("../../" + dir, "class/hwmon/hwmon3");
}

bool has(const std::vector<std::string>& texts, const std::string& part) {
    for (const auto& t : texts)
        if (t.find(part) != std::string::npos) return true;
    return false;
}

TEST(DoctorDriver, SaysWhatEachLayoutNeedsAndWhatOnlyRootCanTell) {
    // The daemon runs as root without capabilities: a root-owned file's owner write bit decides.
    if (::geteuid() != 0) GTEST_SKIP() << "the stand-in files must be root's, as the driver's are";
    struct Row {
        std::string name;
        void (*build)(SysTree&);
        bool asRoot;
        std::vector<std::string> says;     // in a line or a problem
        std::vector<std::string> never;    // in neither
        std::size_t problems;
        bool needsRoot;
    };
    const std::vector<Row> rows = {
        {"Intel, writable targets", [](SysTree& t) { intelFans(t, "devices/platform/applesmc.768", true); }, true,
         {"backend: applesmc at", "fan1_output is writable for the daemon"}, {"read-only"}, 0, false},
        {"Intel, read-only targets", [](SysTree& t) { intelFans(t, "devices/platform/applesmc.768", false); }, true,
         {"fan1_output is read-only", "does not let fans be set"}, {"writable for"}, 1, false},
        {"Intel without root", [](SysTree& t) { intelFans(t, "devices/platform/applesmc.768", true); }, false,
         {"backend: applesmc at"}, {}, 0, true},
        {"T2, patched kernel",
         [](SysTree& t) {
             intelFans(t, "devices/LNXSYSTM:00/LNXSYBUS:00/PNP0A08:00/device:1d/APP0001:00", true);
             t.link("../../../devices/LNXSYSTM:00/LNXSYBUS:00/PNP0A08:00/device:1d/APP0001:00", "bus/acpi/devices/APP0001:00");
         },
         true, {"bus/acpi/devices/APP0001:00", "writable for the daemon"}, {"T2 patches"}, 0, false},
        {"T2, kernel without the T2 patches",
         [](SysTree& t) {
             t.put("devices/LNXSYSTM:00/LNXSYBUS:00/PNP0A08:00/device:1d/APP0001:00/uevent", "");
             t.link("../../../devices/LNXSYSTM:00/LNXSYBUS:00/PNP0A08:00/device:1d/APP0001:00", "bus/acpi/devices/APP0001:00");
         },
         true, {"kernel lacks the T2 patches for applesmc", "has no key_count"}, {"virtual Mac"}, 1, false},
        {"Apple silicon, fan control off", [](SysTree& t) { hwmonFans(t, false); }, true,
         {"fan1_target is read-only", "modprobe -r macsmc_hwmon && modprobe macsmc_hwmon fan_control=1",
          "options macsmc_hwmon fan_control=1", "macsmc_hwmon.fan_control=1", "changes nothing"},
         {"/sys/module/macsmc_hwmon/parameters"}, 1, false},
        {"Apple silicon, fan control on", [](SysTree& t) { hwmonFans(t, true); }, true,
         {"backend: macsmc-hwmon at", "fan1_target is writable for the daemon"}, {"modprobe"}, 0, false},
        {"Apple silicon without root: no key index to need", [](SysTree& t) { hwmonFans(t, true); }, false,
         {"fan1_target is writable"}, {}, 0, false},
        {"no driver", [](SysTree&) {}, true, {"the virtual Mac's socket"}, {"T2"}, 0, false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        SysTree tree;
        fs::create_directories(tree.root / "class/hwmon");
        row.build(tree);
        const auto backend = iokit::resolveSMCBackend(nullptr, tree.root.string());
        const DriverFindings f = examineDriver(backend, tree.root.string(), row.asRoot, true);
        std::vector<std::string> all = f.lines;
        all.insert(all.end(), f.problems.begin(), f.problems.end());
        std::string shown;
        for (const auto& t : all) shown += t + "\n";
        for (const auto& part : row.says) EXPECT_TRUE(has(all, part)) << part << "\n" << shown;
        for (const auto& part : row.never) EXPECT_FALSE(has(all, part)) << part << "\n" << shown;
        EXPECT_EQ(f.problems.size(), row.problems) << shown;
        EXPECT_EQ(f.needsRoot, row.needsRoot) << shown;
    }
}

TEST(DoctorDriver, ANamedSocketBackendIsNotTakenForAnUnpatchedT2) {
    SysTree tree;
    tree.put("devices/LNXSYSTM:00/APP0001:00/uevent", "");
    tree.link("../../../devices/LNXSYSTM:00/APP0001:00", "bus/acpi/devices/APP0001:00");
    const DriverFindings f = examineDriver(iokit::resolveSMCBackend("socket", tree.root.string()), tree.root.string(), true, false);
    EXPECT_TRUE(f.problems.empty());
    EXPECT_TRUE(has(f.lines, "the virtual Mac's socket"));
}

// The code of a socket this user may not connect to is told in words naming the directory in use;
// other open failures keep their own text.
TEST(PermissionText, OnlyAPrivilegeRefusalIsToldAsPermissionDenied) {
    struct Row {
        SMCError error;
        bool denied;
    };
    const std::vector<Row> rows = {
        {SMCError::openFailed(kIOReturnNotPrivileged), true},
        {SMCError::openFailed(kIOReturnIPCError), false},
        {SMCError::openFailed(kIOReturnNoDevice), false},
        {SMCError::callFailed(kIOReturnNotPrivileged), false},
    };
    for (const Row& row : rows) EXPECT_EQ(deniedToThisUser(row.error), row.denied) << row.error.description();
    ::setenv("QUORVANE_BOOTSTRAP", "/tmp/quorvane-elsewhere", 1);
    EXPECT_EQ(permissionDeniedText(), "permission denied: run as root or join the group that owns /tmp/quorvane-elsewhere");
    ::unsetenv("QUORVANE_BOOTSTRAP");
}

TEST(ProfilesText, TheFullSpeedTargetIsWordedForPeople) {
    std::ostringstream out;
    auto* saved = std::cout.rdbuf(out.rdbuf());
    const int status = profilesCommand(false);
    std::cout.rdbuf(saved);
    EXPECT_EQ(status, 0);
    const std::string text = out.str();
    const auto blast = text.find("Max Thermal Blast");
    ASSERT_NE(blast, std::string::npos) << text;
    const std::string line = text.substr(blast, text.find('\n', blast) - blast);
    EXPECT_NE(line.find("full speed"), std::string::npos) << line;
    EXPECT_EQ(text.find("9223372036854775807"), std::string::npos) << text;
}

}  // namespace
}  // namespace quorvane::ctl
