// The kernel driver's files seen through the SMC bridge: each layout as a plain directory tree,
// with the driver's read-after-write files played by the write hook.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <optional>
#include <thread>

#include "platform/iokit/kernel_files.hpp"
#include "platform/iokit/kernel_smc_service.hpp"
#include "shared/smc/shortest_decimal.hpp"
#include "smc/smc_error.hpp"
#include "smc/smc_kernel_bridge.hpp"

namespace quorvane {
namespace {

namespace fs = std::filesystem;
using iokit::SMCBackend;
using Kind = SMCBackend::Kind;

struct Key {
    std::string name, type, bytes;
};

// A driver directory: files, a sorted key table behind key_at_index, and the fanN_manual bits
// the mainline driver keeps in "FS! " (or "F<n>Md" on T2).
class Tree {
public:
    Tree() : root_(fs::temp_directory_path() / ("quorvane-kernel-" + std::to_string(::getpid()) + "-" +
                                                std::to_string(counter_++))) {
        fs::create_directories(root_);
    }
    ~Tree() { fs::remove_all(root_); }

    std::string path(const std::string& rel = {}) const { return rel.empty() ? root_.string() : (root_ / rel).string(); }
    void put(const std::string& rel, const std::string& text, fs::perms perms = fs::perms::owner_read | fs::perms::owner_write) {
        fs::create_directories((root_ / rel).parent_path());
        std::ofstream(root_ / rel, std::ios::binary) << text;
        fs::permissions(root_ / rel, perms);
    }
    std::string get(const std::string& rel) const {
        std::ifstream in(root_ / rel, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), {}};
    }
    void keys(std::vector<Key> table) {
        keys_ = std::move(table);
        put("key_count", std::to_string(keys_.size()) + "\n");
        put("key_at_index", "0\n");
        select(0);
    }
    // What the driver does after a write; tests add their own twists through `twist`.
    void afterWrite(const std::string& path, const std::string& text) {
        const std::string name = fs::path(path).filename();
        if (name == "key_at_index") select(std::stoi(text));
        else put(fs::relative(path, root_).string(), text + "\n");  // the driver shows "%d\n"
        if (twist) twist(name, text);
    }
    std::function<void(const std::string&, const std::string&)> twist;

private:
    void select(std::size_t i) {
        if (i >= keys_.size()) return;
        put("key_at_index", std::to_string(i) + "\n");
        put("key_at_index_name", keys_[i].name + "\n");
        put("key_at_index_type", keys_[i].type + "\n");
        put("key_at_index_data_length", std::to_string(keys_[i].bytes.size()) + "\n");
        put("key_at_index_data", keys_[i].bytes);
    }
    static inline int counter_ = 0;
    fs::path root_;
    std::vector<Key> keys_;
};

// A fan's files in dir: input, min, max, target (named by the layout), mode file.
void fanFiles(Tree& t, const std::string& dir, int n, const std::string& target, const std::string& mode) {
    const std::string f = dir + "fan" + std::to_string(n) + "_";
    t.put(f + "input", "1800\n");
    t.put(f + "min", "1200\n");
    t.put(f + "max", "6000\n");
    t.put(f + target, "1800\n");
    if (mode == "manual") t.put(f + "manual", "0\n");
    if (mode == "pwm") t.put(dir + "pwm" + std::to_string(n) + "_enable", "2\n");
}

struct Layout {
    const char* name;
    Kind kind;
    const char* fanDir;  // relative to the device
    const char* target;
    const char* mode;    // mode file: "manual", "pwm" or "" (macsmc-hwmon)
    const char* modeKey; // the key the daemon writes to take fan 0
    double modeValue;    // its value for "manual"
    std::string modeFile;
    std::string manualText, autoText;
};

const std::string fpe2_1800 = std::string("\x1c\x20", 2), flt_1800 = std::string("\x00\x00\xe1\x44", 4);

std::vector<Key> table(bool t2) {
    const std::string speed = t2 ? "flt " : "fpe2", v = t2 ? flt_1800 : fpe2_1800;
    std::vector<Key> k = {{"#KEY", "ui32", std::string("\0\0\0\x0b", 4)}, {"F0Ac", speed, v}, {"F0Mn", speed, v},
                          {"F0Mx", speed, v}, {"F0Tg", speed, v}, {"F1Ac", speed, v},
                          {"FNum", "ui8", std::string("\x02", 1)}, {"FS! ", "ui16", std::string("\0\0", 2)},
                          {"LSOF", "flag", std::string("\x00", 1)}, {"TC0P", "sp78", std::string("\x2d\x40", 2)},
                          {"TN0P", "sp78", std::string("\x81\x00", 2)}};
    if (t2) k.insert(k.begin() + 2, {"F0Md", "ui8", std::string("\x00", 1)});
    if (t2) k.erase(k.begin() + 8);  // the T2 table has no "FS! "
    k[0].bytes = std::string("\0\0\0", 3) + static_cast<char>(k.size());
    return k;
}

class KernelBackend : public ::testing::TestWithParam<Layout> {
protected:
    std::shared_ptr<SMCKernelBridge> open(Kind kind, std::chrono::milliseconds deadline = std::chrono::milliseconds(1000)) {
        std::string error;
        iokit::KernelSMCOptions options{kind, tree.path(), deadline,
                                         [this](const std::string& p, const std::string& t) { tree.afterWrite(p, t); },
                                         tree.path("smc-driver.lock")};
        service = iokit::KernelSMCService::create(options, error);
        EXPECT_TRUE(service) << error;
        registration.emplace("AppleSMC", service);
        return SMCKernelBridge::open();
    }
    void build(const Layout& l) {
        if (l.kind == Kind::macsmcHwmon) tree.put("name", "macsmc_hwmon\n");
        else tree.keys(table(std::string(l.mode) == "manual" && std::string(l.modeKey) == "F0Md"));
        for (int n = 1; n <= 2; ++n) fanFiles(tree, l.fanDir, n, l.target, l.mode);
        if (l.kind == Kind::applesmc) {
            tree.put(std::string(l.fanDir) + "temp1_label", "TC0P\n");
            tree.put(std::string(l.fanDir) + "temp1_input", "45250\n");
            tree.put(std::string(l.fanDir) + "temp2_label", "TN0P\n");
            tree.put(std::string(l.fanDir) + "temp2_input", "-127000\n");
        }
    }
    // The mainline table with `extra` keys put in or over its own, and two fans' files.
    void withKeys(std::vector<Key> extra, const std::string& fanDir = "", const std::string& target = "output",
                  const std::string& mode = "manual") {
        std::vector<Key> k = table(false);
        for (auto& e : extra) {
            const auto it = std::find_if(k.begin(), k.end(), [&](const Key& key) { return key.name == e.name; });
            if (it != k.end()) *it = e;
            else k.push_back(e);
        }
        std::sort(k.begin(), k.end(), [](const Key& a, const Key& b) { return a.name < b.name; });
        k[0].bytes = std::string("\0\0\0", 3) + static_cast<char>(k.size());
        tree.keys(k);
        for (int n = 1; n <= 2; ++n) fanFiles(tree, fanDir, n, target, mode);
    }
    void clear() {
        registration.reset();
        fs::remove_all(tree.path());
        fs::create_directories(tree.path());
    }
    static SMCError errorOf(const std::function<void()>& f) {
        try {
            f();
        } catch (const SMCError& e) {
            return e;
        }
        return SMCError::smcResult(0);
    }

    Tree tree;
    std::shared_ptr<iokit::KernelSMCService> service;
    std::optional<iokit::ScopedServiceRegistration> registration;
};

TEST_P(KernelBackend, TranslatesFanKeysTemperaturesAndRefusals) {
    const Layout& l = GetParam();
    build(l);
    auto bridge = open(l.kind);
    ASSERT_TRUE(bridge);
    const std::string target = std::string(l.fanDir) + "fan1_" + l.target;
    EXPECT_EQ(bridge->read("FNum"), 2);
    EXPECT_EQ(bridge->read("F0Ac"), 1800);
    EXPECT_EQ(bridge->read("F0Mx"), 6000);
    EXPECT_EQ(bridge->read("F1Ac"), 1800);  // no key walk needed for a second fan's file
    bridge->write("F0Tg", 2500.25);
    EXPECT_EQ(tree.get(target), "2500\n");
    EXPECT_EQ(bridge->read("F0Tg"), 2500);

    const auto notFound = [&](const char* key) { return SMCError::keyNotFound(key); };
    EXPECT_EQ(errorOf([&] { bridge->write("Ftst", 1); }), notFound("Ftst"));
    EXPECT_EQ(errorOf([&] { bridge->read("Ftst"); }), notFound("Ftst"));
    EXPECT_EQ(errorOf([&] { bridge->read("F2Ac"); }), notFound("F2Ac"));
    EXPECT_EQ(errorOf([&] { bridge->write("F0Tg", 16383.75); }), SMCError::callFailed(kIOReturnBadArgument));
    EXPECT_EQ(errorOf([&] { bridge->write("FNum", 3); }), SMCError::callFailed(kIOReturnNotPrivileged));
    EXPECT_EQ(tree.get(target), "2500\n");
    if (l.kind == Kind::macsmcHwmon) tree.put("fan1_target", "7000\n");  // taken at its present target, within bounds
    bridge->write(l.modeKey, l.modeValue);
    EXPECT_EQ(tree.get(l.modeFile), l.manualText);
    if (l.kind == Kind::applesmc) {
        EXPECT_EQ(bridge->read(l.modeKey), l.modeValue) << "read from the fan's own file";
    }
    bridge->write(l.modeKey, 0);
    EXPECT_EQ(tree.get(l.modeFile), l.autoText);
    if (l.kind == Kind::applesmc) {
        bridge->write("F0Mn", 0);  // the driver takes a zero minimum
        EXPECT_EQ(tree.get(std::string(l.fanDir) + "fan1_min"), "0\n");
    }

    if (l.kind == Kind::macsmcHwmon) {
        EXPECT_EQ(errorOf([&] { bridge->keyCount(); }), notFound("#KEY")) << "no key walk on this driver";
        EXPECT_EQ(errorOf([&] { bridge->write("F0Tg", 0); }), SMCError::callFailed(kIOReturnBadArgument));
        EXPECT_EQ(errorOf([&] { bridge->read("F0Md"); }), SMCError::notReadable("F0Md"));
        return;
    }
    EXPECT_EQ(bridge->keyCount(), static_cast<long>(table(std::string(l.modeKey) == "F0Md").size()));
    EXPECT_EQ(bridge->key(0), "#KEY");
    EXPECT_EQ(bridge->read("TC0P"), 45.25);  // from temp1_input, not the cursor
    EXPECT_EQ(bridge->read("TN0P"), -127);   // the driver's sentinel passes through as a reading
    EXPECT_EQ(bridge->read("LSOF"), 0);      // through the cursor
    EXPECT_EQ(errorOf([&] { bridge->write("LSOF", 1); }), SMCError::callFailed(kIOReturnNotPrivileged));
    EXPECT_EQ(errorOf([&] { bridge->write("F0Mx", 5000); }), SMCError::callFailed(kIOReturnNotPrivileged));
    EXPECT_EQ(errorOf([&] { bridge->read("ZZZZ"); }), notFound("ZZZZ"));
}

INSTANTIATE_TEST_SUITE_P(
    Layouts, KernelBackend,
    ::testing::Values(
        Layout{"mainline", Kind::applesmc, "", "output", "manual", "FS! ", 1, "fan1_manual", "1\n", "0\n"},
        Layout{"t2", Kind::applesmc, "", "output", "manual", "F0Md", 1, "fan1_manual", "1\n", "0\n"},
        Layout{"hwmonTargetPwm", Kind::applesmc, "hwmon/hwmon3/", "target", "pwm", "FS! ", 1,
               "hwmon/hwmon3/pwm1_enable", "1\n", "2\n"},
        Layout{"macsmcHwmon", Kind::macsmcHwmon, "", "target", "", "F0Md", 1, "fan1_target", "6000\n", "0\n"}),
    [](const auto& info) { return std::string(info.param.name); });

class KernelBackendFaults : public KernelBackend {};

TEST_F(KernelBackendFaults, ModeWritesAreReadBackAndRepeatedUntilTheyTake) {
    build(Layout{"mainline", Kind::applesmc, "", "output", "manual", "FS! ", 1, "", "", ""});
    struct Row {
        int ignoredWrites;
        std::optional<SMCError> error;
        int writes;
    };
    for (const Row& row : {Row{0, std::nullopt, 1}, Row{2, std::nullopt, 3},
                           Row{5, SMCError::callFailed(kIOReturnNotResponding), 3}}) {
        tree.put("fan1_manual", "1\n");
        int writes = 0;
        tree.twist = [&](const std::string& name, const std::string&) {
            if (name == "fan1_manual" && writes++ < row.ignoredWrites) tree.put("fan1_manual", "1\n");
        };
        auto bridge = open(Kind::applesmc);
        const SMCError e = errorOf([&] { bridge->write("FS! ", 0); });
        if (row.error) EXPECT_EQ(e, *row.error);
        else EXPECT_EQ(e, SMCError::smcResult(0)) << e.what();
        EXPECT_EQ(writes, row.writes) << row.ignoredWrites;
        tree.twist = nullptr;
        registration.reset();
    }
}

TEST_F(KernelBackendFaults, AFileThatFailsOrGoesAwayCostsThatCallOnly) {
    build(Layout{"mainline", Kind::applesmc, "", "output", "manual", "FS! ", 1, "", "", ""});
    fs::remove(tree.path("fan1_input"));
    ASSERT_EQ(::mkfifo(tree.path("fan1_input").c_str(), 0600), 0);  // its open waits for a writer
    tree.put("fan2_input", "1700\n");
    auto bridge = open(Kind::applesmc);
    std::thread writer([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        std::ofstream writer(tree.path("fan1_input"));  // opened and closed: nothing written, no SIGPIPE
    });
    EXPECT_EQ(errorOf([&] { bridge->read("F0Ac"); }), SMCError::callFailed(kIOReturnIOError));  // ESPIPE
    writer.join();
    EXPECT_EQ(bridge->read("F1Ac"), 1700) << "the same connection goes on";
    fs::remove(tree.path("fan1_input"));
    EXPECT_EQ(errorOf([&] { bridge->read("F0Ac"); }), SMCError::callFailed(kIOReturnNoDevice));
    tree.put("fan1_input", "1500\n");
    EXPECT_EQ(bridge->read("F0Ac"), 1500) << "opened afresh once the file is back";
}

TEST_F(KernelBackendFaults, TheCursorIsOurLockFilesAndAMovedCursorIsNeverCached) {
    build(Layout{"mainline", Kind::applesmc, "", "output", "manual", "FS! ", 1, "", "", ""});
    auto bridge = open(Kind::applesmc, std::chrono::milliseconds(50));
    struct stat st {};
    ASSERT_EQ(::lstat(tree.path("smc-driver.lock").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    {
        // Another of our processes holds the lock: the cursor waits, then gives up busy.
        const int other = ::open(tree.path("smc-driver.lock").c_str(), O_RDWR);
        ASSERT_EQ(::flock(other, LOCK_EX), 0);
        EXPECT_EQ(errorOf([&] { bridge->read("LSOF"); }), SMCError::callFailed(kIOReturnBusy));
        ::close(other);
    }
    // A program outside our lock moves the cursor right after our seek, the first two times.
    int moves = 2;
    tree.twist = [&](const std::string& name, const std::string& text) {
        if (name == "key_at_index" && text != "3" && moves-- > 0) tree.afterWrite(tree.path("key_at_index"), "3");
    };
    EXPECT_EQ(bridge->key(5), "F1Ac");
    EXPECT_EQ(bridge->key(5), "F1Ac") << "cached only once the cursor was seen where it was put";
    EXPECT_EQ(bridge->read("LSOF"), 0);
    // With every name known, describing a key and reading its bytes each take the third try too;
    // a cursor moved at every try is never taken for ours.
    for (long i = 0; i < bridge->keyCount(); ++i) bridge->key(i);
    moves = 2;
    EXPECT_EQ(bridge->keyInfo("TN0P").dataSize, 2u);
    moves = 2;
    EXPECT_EQ(bridge->read("LSOF"), 0);
    moves = 3;
    EXPECT_EQ(errorOf([&] { bridge->read("LSOF"); }), SMCError::callFailed(kIOReturnBusy));
    tree.twist = nullptr;

    // A link where the lock file belongs is never followed: no lock of ours is made through it.
    registration.reset();
    fs::remove(tree.path("smc-driver.lock"));
    fs::create_symlink(tree.path("elsewhere"), tree.path("smc-driver.lock"));
    bridge = open(Kind::applesmc);
    EXPECT_EQ(bridge->read("LSOF"), 0);
    EXPECT_FALSE(fs::exists(tree.path("elsewhere")));
}

// A fan's or temperature's file carries the value in the key's own type where that type can hold
// it; anything else (too large, negative, a type no file carries, a length the type does not have)
// comes from the cursor as the key's raw bytes, never as 0.
TEST_F(KernelBackendFaults, AFilesIntegerReadsInTheKeysTypeOrAsTheRawBytes) {
    struct Row {
        Key key;
        std::string file, text, expected;
        std::string fanDir = "", target = "output", mode = "manual";
    };
    const std::string raw2("\x12\x34", 2), raw4("\x00\x00\x07\x08", 4);
    const Row rows[] = {
        {{"F0Ac", "ui16", raw2}, "fan1_input", "65536\n", raw2},
        {{"F0Ac", "ui16", raw2}, "fan1_input", "65535\n", "\xff\xff"},
        {{"F0Ac", "ui16", raw4}, "fan1_input", "1800\n", raw4},
        {{"F0Ac", "ui8", "\x07"}, "fan1_input", "255\n", "\xff"},
        {{"F0Ac", "ui8", "\x07"}, "fan1_input", "256\n", "\x07"},
        {{"F0Ac", "ui32", raw4}, "fan1_input", "4294967295\n", "\xff\xff\xff\xff"},
        {{"F0Ac", "ui32", raw4}, "fan1_input", "4294967296\n", raw4},
        {{"F0Ac", "fpe2", raw2}, "fan1_input", "16383\n", "\xff\xfc"},
        {{"F0Ac", "fpe2", raw2}, "fan1_input", "16384\n", raw2},
        {{"F0Ac", "fpe2", raw2}, "fan1_input", "-1\n", raw2},
        {{"F0Ac", "flt ", raw4}, "fan1_input", "1800\n", flt_1800},
        {{"F0Ac", "si32", raw4}, "fan1_input", "1800\n", raw4},
        {{"F0ID", "ui8", "\x07"}, "fan1_input", "1800\n", "\x07"},  // a fan key no file shows
        {{"F1Mx", "fpe2", raw2}, "fan2_max", "5000\n", std::string("\x4e\x20", 2)},
        {{"F0Sf", "fpe2", raw2}, "fan1_safe", "2000\n", std::string("\x1f\x40", 2)},
        {{"TC0P", "sp78", raw2}, "temp1_input", "127000\n", std::string("\x7f\x00", 2)},
        {{"TC0P", "sp78", raw2}, "temp1_input", "127001\n", raw2},
        {{"TC0P", "sp78", raw2}, "temp1_input", "-128000\n", std::string("\x80\x00", 2)},
        {{"TC0P", "sp78", raw2}, "temp1_input", "-128001\n", raw2},
        {{"TC0P", "sp78", raw2}, "temp1_input", "2\n", std::string("\x00\x01", 2)},
        {{"TC0P", "ui16", raw2}, "temp1_input", "45000\n", raw2},
        {{"FS! ", "ui16", raw2}, "fan2_manual", "3\n", std::string("\x00\x02", 2)},
        {{"FS! ", "ui16", raw2}, "fan2_manual", "2\n", std::string("\x00\x00", 2)},
        {{"FS! ", "ui16", raw2}, "hwmon/hwmon0/pwm2_enable", "1\n", std::string("\x00\x02", 2), "hwmon/hwmon0/",
         "target", "pwm"},
        {{"FS! ", "ui16", raw2}, "hwmon/hwmon0/pwm2_enable", "3\n", std::string("\x00\x00", 2), "hwmon/hwmon0/",
         "target", "pwm"},
        {{"FS! ", "ui16", raw2}, "fan2_input", "1800\n", raw2, "", "output", ""},  // no mode files: the cursor's
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.key.name + " " + row.key.type + " " + row.file + "=" + row.text);
        clear();
        withKeys({row.key}, row.fanDir, row.target, row.mode);
        tree.put(row.fanDir + "temp1_label", "TC0P\n");
        tree.put(row.fanDir + "fan1_safe", "1\n");
        tree.put(row.file, row.text);
        const auto bytes = open(Kind::applesmc)->readRaw(row.key.name).bytes;
        EXPECT_EQ(std::string(bytes.begin(), bytes.end()), row.expected);
    }
}

// Each write on each layout: the file it must reach with the text the driver takes, or the
// refusal that leaves every file as it was.
TEST_F(KernelBackendFaults, WritesReachTheirFileOrAreRefusedOnEveryLayout) {
    const Layout mainline{"mainline", Kind::applesmc, "", "output", "manual", "FS! ", 1, "", "", ""},
        t2{"t2", Kind::applesmc, "", "output", "manual", "F0Md", 1, "", "", ""},
        pwm{"pwm", Kind::applesmc, "hwmon/hwmon0/", "target", "pwm", "FS! ", 1, "", "", ""},
        hwmon{"hwmon", Kind::macsmcHwmon, "", "target", "", "F0Md", 1, "", "", ""};
    const SMCError done = SMCError::smcResult(0), bad = SMCError::callFailed(kIOReturnBadArgument),
                   locked = SMCError::callFailed(kIOReturnNotPrivileged);
    using Files = std::vector<std::pair<std::string, std::string>>;
    struct Row {
        const Layout* layout;
        const char* key;
        double value;
        SMCError error;
        Files after, before = {};
        std::vector<Key> keys = {};  // the mainline table with these keys, instead of the layout's own
    };
    const Row rows[] = {
        {&mainline, "F0Tg", 0, done, {{"fan1_output", "0\n"}}},
        {&mainline, "F0Tg", 16383.25, done, {{"fan1_output", "16383\n"}}},
        {&mainline, "FS! ", 3, done, {{"fan1_manual", "1\n"}, {"fan2_manual", "1\n"}}},
        {&mainline, "FS! ", 2, done, {{"fan1_manual", "0\n"}, {"fan2_manual", "1\n"}}, {{"fan1_manual", "1\n"}}},
        {&mainline, "FS! ", 4, bad, {{"fan1_manual", "0\n"}, {"fan2_manual", "0\n"}}},
        {&mainline, "F0Ac", 100, locked, {{"fan1_input", "1800\n"}}},
        {&mainline, "#KEY", 12, locked, {}},  // the first key of the table is found like any other
        {&mainline, "F0Tg", 2000, done, {{"fan1_output", "2000\n"}}, {}, {{"F0Tg", "ui32", std::string(4, '\0')}}},
        {&mainline, "F0Tg", 2000, done, {{"fan1_output", "2000\n"}}, {}, {{"F0Tg", "ui16", std::string(2, '\0')}}},
        {&mainline, "F0Tg", 200, done, {{"fan1_output", "200\n"}}, {}, {{"F0Tg", "ui8", std::string(1, '\0')}}},
        {&mainline, "F0Tg", 2000.5, done, {{"fan1_output", "2001\n"}}, {}, {{"F0Tg", "flt ", flt_1800}}},
        {&mainline, "F0Tg", 45, bad, {{"fan1_output", "1800\n"}}, {}, {{"F0Tg", "sp78", std::string("\x2d\x00", 2)}}},
        {&t2, "F0Md", 2, bad, {{"fan1_manual", "0\n"}}},
        {&t2, "F0Tg", -1, bad, {{"fan1_output", "1800\n"}}},
        {&t2, "F0Tg", 16383.6, bad, {{"fan1_output", "1800\n"}}},
        {&t2, "F0Mn", 0.4, done, {{"fan1_min", "0\n"}}},
        {&pwm, "FS! ", 1, done, {{"hwmon/hwmon0/pwm1_enable", "1\n"}, {"hwmon/hwmon0/pwm2_enable", "2\n"}},
         {{"hwmon/hwmon0/pwm2_enable", "1\n"}}},
        {&hwmon, "F0Md", 1, done, {{"fan1_target", "1200\n"}}, {{"fan1_target", "500\n"}}},
        {&hwmon, "F0Md", 1, done, {{"fan1_target", "1200\n"}}, {{"fan1_max", "1000\n"}, {"fan1_target", "7000\n"}}},
        {&hwmon, "F0Md", 2, bad, {{"fan1_target", "1800\n"}}},
        {&hwmon, "F1Tg", 2000, done, {{"fan2_target", "2000\n"}, {"fan1_target", "1800\n"}}},
        {&hwmon, "F1Tg", 16384, bad, {{"fan2_target", "1800\n"}}},
        {&hwmon, "F0Mn", 100, locked, {{"fan1_min", "1200\n"}}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(std::string(row.layout->name) + " " + row.key + "=" + std::to_string(row.value));
        clear();
        if (row.keys.empty()) build(*row.layout);
        else withKeys(row.keys);
        for (const auto& [file, text] : row.before) tree.put(file, text);
        auto bridge = open(row.layout->kind);
        EXPECT_EQ(errorOf([&] { bridge->write(row.key, row.value); }), row.error);
        for (const auto& [file, text] : row.after) EXPECT_EQ(tree.get(file), text) << file;
    }
}

// The 80-byte record as the service takes it, below the bridge: what it refuses outright, and
// where each answer lands (size at 28, type at 32, result at 40, value from 48).
TEST_F(KernelBackendFaults, TheRecordIsCheckedAndAnsweredInPlace) {
    struct Row {
        bool hwmon;
        std::uint8_t command;
        const char* key;
        std::uint32_t arg;  // the index (key by index) or the size (write)
        std::string bytes;  // written from 48
        kern_return_t kr;
        std::uint8_t result;
        std::string answer;  // from 28 for key information, from 48 for reads, from 0 by index
        std::uint32_t selector = 2, openType = 0;
        std::size_t inSize = 80, outSize = 80;
    };
    auto code = [](const char* k) { return std::string{k[3], k[2], k[1], k[0]}; };  // as loadU32 reads it
    auto info = [&](std::uint32_t size, const char* type) {
        return std::string(reinterpret_cast<const char*>(&size), 4) + code(type);
    };
    const Row rows[] = {
        {false, 9, "F0Ac", 0, "", kIOReturnUnsupported, 0, "", 3},
        {false, 9, "F0Ac", 0, "", kIOReturnBadArgument, 0, "", 2, 0, 79},
        {false, 9, "F0Ac", 0, "", kIOReturnBadArgument, 0, "", 2, 0, 80, 79},
        {false, 9, "F0Ac", 0, "", kIOReturnBadArgument, 0, "", 2, 1},
        {false, 7, "F0Ac", 0, "", kIOReturnSuccess, 0x89, ""},
        {false, 9, "#KEY", 0, "", kIOReturnSuccess, 0, info(4, "ui32")},
        {false, 9, "Ftst", 0, "", kIOReturnSuccess, 0x84, ""},
        {false, 9, "F0Mn", 0, "", kIOReturnSuccess, 0, info(2, "fpe2")},
        {false, 8, "", 10, "", kIOReturnSuccess, 0, code("TN0P")},
        {false, 8, "", 11, "", kIOReturnSuccess, 0x84, ""},
        {false, 5, "F0Mx", 0, "", kIOReturnSuccess, 0, std::string("\x5d\xc0", 2)},
        {false, 6, "F0Tg", 2, std::string("\x1f\x40", 2), kIOReturnSuccess, 0, ""},
        {true, 9, "FNum", 0, "", kIOReturnSuccess, 0, info(1, "ui8 ")},
        {true, 9, "F0Md", 0, "", kIOReturnSuccess, 0, info(1, "ui8 ")},
        {true, 9, "F1Ac", 0, "", kIOReturnSuccess, 0, info(4, "flt ")},
        {true, 9, "F0Sf", 0, "", kIOReturnSuccess, 0x84, ""},
        {true, 9, "F2Ac", 0, "", kIOReturnSuccess, 0x84, ""},
        {true, 5, "F0Sf", 0, "", kIOReturnSuccess, 0x84, ""},
        {true, 5, "F0Md", 0, "", kIOReturnSuccess, 0x85, ""},
        {true, 5, "FNum", 0, "", kIOReturnSuccess, 0, "\x02"},
        {true, 6, "F0Sf", 4, flt_1800, kIOReturnSuccess, 0x84, ""},
        {true, 6, "FNum", 1, "\x03", kIOReturnNotPrivileged, 0, ""},
        {true, 8, "", 0, "", kIOReturnSuccess, 0x84, ""},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(std::string(row.hwmon ? "hwmon " : "applesmc ") + std::to_string(row.command) + " " + row.key +
                     " " + std::to_string(row.arg));
        clear();
        build(row.hwmon ? Layout{"hwmon", Kind::macsmcHwmon, "", "target", "", "F0Md", 1, "", "", ""}
                        : Layout{"mainline", Kind::applesmc, "", "output", "manual", "FS! ", 1, "", "", ""});
        tree.put("fan1_safe", "2000\n");
        open(row.hwmon ? Kind::macsmcHwmon : Kind::applesmc);
        std::shared_ptr<iokit::UserClient> client;
        const kern_return_t opened = service->open(row.openType, client);
        if (row.openType != 0) {
            EXPECT_EQ(opened, row.kr);
            continue;
        }
        std::uint8_t in[80] = {}, out[80] = {};
        const std::string key = code(row.key[0] ? row.key : "    ");
        std::memcpy(in, key.data(), 4);
        std::memcpy(in + (row.command == 8 ? 44 : 28), &row.arg, 4);
        std::memcpy(in + 48, row.bytes.data(), row.bytes.size());
        in[42] = row.command;
        std::size_t outSize = row.outSize;
        ASSERT_EQ(client->callStructMethod(row.selector, in, row.inSize, out, &outSize), row.kr);
        if (row.kr != kIOReturnSuccess) continue;
        EXPECT_EQ(outSize, 80u);
        EXPECT_EQ(out[40], row.result);
        const int at = row.command == 9 ? 28 : row.command == 8 ? 0 : 48;
        if (row.command != 8) {
            EXPECT_EQ(std::string(reinterpret_cast<char*>(out), 4), key);
        }
        EXPECT_EQ(std::string(reinterpret_cast<char*>(out) + at, row.answer.size()), row.answer);
        if (row.command == 6 && row.result == 0) {
            EXPECT_EQ(tree.get("fan1_output"), "2000\n") << "0x1f40 in fpe2";
        }
    }
}

// A client that finds the driver lock held in this process waits out the deadline, then gives up
// busy; a device that went away may come back with another table, which is learnt again.
TEST_F(KernelBackendFaults, AHeldLockIsWaitedOutAndAReturningTableIsLearntAgain) {
    build(Layout{"mainline", Kind::applesmc, "", "output", "manual", "FS! ", 1, "", "", ""});
    auto bridge = open(Kind::applesmc, std::chrono::milliseconds(50));
    EXPECT_EQ(bridge->read("LSOF"), 0);
    const auto before = service->fileOperations();
    EXPECT_EQ(bridge->read("LSOF"), 0);
    EXPECT_EQ(service->fileOperations() - before, 3u) << "a known key: seek, data, name";
    for (long i = 0; i < bridge->keyCount(); ++i) bridge->key(i);
    const auto walked = service->fileOperations();
    for (long i = 0; i < bridge->keyCount(); ++i) bridge->key(i);
    EXPECT_EQ(service->fileOperations(), walked) << "every name is read once";
    SMCError other = SMCError::smcResult(0);
    tree.twist = [&](const std::string& name, const std::string&) {
        if (name == "key_at_index") std::thread([&] { other = errorOf([&] { SMCKernelBridge::open()->keyInfo("TN0P"); }); }).join();
    };
    EXPECT_EQ(bridge->read("LSOF"), 0);
    EXPECT_EQ(other, SMCError::callFailed(kIOReturnBusy));
    tree.twist = nullptr;
    EXPECT_EQ(bridge->keyInfo("TN0P").dataSize, 2u);

    fs::remove(tree.path("key_at_index"));  // a new client opens it afresh: ENOENT
    EXPECT_EQ(errorOf([&] { SMCKernelBridge::open()->read("LSOF"); }), SMCError::callFailed(kIOReturnNoDevice));
    std::vector<Key> k = table(false);
    k.insert(k.begin() + 1, {"ALSV", "flag", std::string("\x00", 1)});
    k[9].bytes = "\x01";  // LSOF, one further on
    k[0].bytes = std::string("\0\0\0", 3) + static_cast<char>(k.size());
    tree.keys(k);
    EXPECT_EQ(SMCKernelBridge::open()->read("LSOF"), 1);
}

// What the layouts and key types leave at the edges: values a file's integer cannot carry come from
// the cursor, a speed key of a type no speed is written in is refused, a pwm layout's mode reads
// back, a service made without the write hook (as the daemon makes it) still writes, a target with
// no fan is no writable fan, and temperatures stop at the first channel without a label.
TEST_F(KernelBackendFaults, EdgesOfTheLayoutsAndTheKeyTypes) {
    struct Row {
        const char* name;
        std::function<void()> build;
        std::function<void(SMCKernelBridge&)> check;
    };
    const std::vector<Row> rows = {
        {"a key of more than 32 bytes or a type of more than 4 is none the record can carry",
         [&] { withKeys({{"ZBIG", "ch8*", std::string(33, 'x')}, {"ZMAX", "ch8*", std::string(32, 'x')}, {"ZNUL", "ch8*", ""},
                       {"ZTYP", "ch8*x", "ab"}}); },
         [&](SMCKernelBridge& b) {
             EXPECT_EQ(errorOf([&] { b.keyInfo("ZBIG"); }), SMCError::callFailed(kIOReturnIOError));
             EXPECT_EQ(b.readRaw("ZMAX").bytes.size(), 32u);
             EXPECT_EQ(b.keyInfo("ZNUL").dataSize, 0u);
             EXPECT_EQ(errorOf([&] { b.keyInfo("ZTYP"); }), SMCError::callFailed(kIOReturnIOError)) << "a type of 5";
         }},
        {"a T2 table on the pwm layout reads its mode key back from pwmN_enable",
         [&] {
             std::vector<Key> k = table(true);
             tree.keys(k);
             for (int n = 1; n <= 2; ++n) fanFiles(tree, "hwmon/hwmon1/", n, "target", "pwm");
         },
         [&](SMCKernelBridge& b) {
             EXPECT_EQ(b.read("F0Md"), 0);
             b.write("F0Md", 1);
             EXPECT_EQ(tree.get("hwmon/hwmon1/pwm1_enable"), "1\n");
             EXPECT_EQ(b.read("F0Md"), 1);
             tree.put("hwmon/hwmon1/pwm1_enable", "0\n");  // full speed, no control: not ours
             EXPECT_EQ(b.read("F0Md"), 0);
         }},
        {"temperatures stop at the first channel without a label, one read each, a silent one left out",
         [&] {
             withKeys({});
             tree.put("temp1_label", "TC0P\n");
             tree.put("temp1_input", "45250\n");
             tree.put("temp2_label", "TN0P\n");
             tree.put("temp3_label", "TM0P\n");
             tree.put("temp3_input", "-50000\n");
             tree.put("temp4_input", "60000\n");
         },
         [&](SMCKernelBridge&) {
             const auto before = service->fileOperations();
             const auto t = service->readTemperatures();
             ASSERT_EQ(t.size(), 2u);
             EXPECT_EQ(t[1].label, "TM0P");
             EXPECT_EQ(t[1].celsius, -50);
             EXPECT_EQ(service->fileOperations() - before, 3u);
         }},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        fs::remove_all(tree.path());
        fs::create_directories(tree.path());
        row.build();
        auto bridge = open(Kind::applesmc);
        row.check(*bridge);
        registration.reset();
    }

    // Made as the daemon makes it: no hook after writes, the driver's own files only.
    fs::remove_all(tree.path());
    fs::create_directories(tree.path());
    tree.put("name", "macsmc_hwmon\n");
    fanFiles(tree, "", 1, "target", "");
    std::string error;
    service = iokit::KernelSMCService::create({Kind::macsmcHwmon, tree.path(), std::chrono::milliseconds(50), {}, tree.path("lock")}, error);
    ASSERT_TRUE(service) << error;
    registration.emplace("AppleSMC", service);
    SMCKernelBridge::open()->write("F0Tg", 2500);
    EXPECT_EQ(tree.get("fan1_target"), "2500\n");
}

// Without root the cursor cannot be moved: fans and temperatures still read from their own files,
// and what only the cursor could answer says so ("not privileged"), never "no such key".
TEST_F(KernelBackendFaults, WithoutRootFansAndTemperaturesReadFromTheirFiles) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to drop to another user";
    build(Layout{"mainline", Kind::applesmc, "", "output", "manual", "FS! ", 1, "", "", ""});
    tree.put("fan2_manual", "1\n");
    for (const auto& e : fs::recursive_directory_iterator(tree.path())) fs::permissions(e.path(), fs::perms::others_read, fs::perm_options::add);
    fs::permissions(tree.path(), fs::perms::others_read | fs::perms::others_exec, fs::perm_options::add);
    int pipe[2];
    ASSERT_EQ(::pipe(pipe), 0);
    const pid_t child = ::fork();
    if (child == 0) {
        std::string out;
        if (::setgid(65534) != 0 || ::setuid(65534) != 0) _exit(2);
        std::string error;
        auto service = iokit::KernelSMCService::create({Kind::applesmc, tree.path(), std::chrono::milliseconds(50), {}, {}}, error);
        if (!service) _exit(3);
        iokit::ScopedServiceRegistration reg("AppleSMC", service);
        auto b = SMCKernelBridge::open();
        auto show = [&](const std::function<double()>& f) {
            try {
                out += shortestDecimal(f()) + " ";
            } catch (const SMCError& e) {
                out += std::string(e.what()) + " | ";
            }
        };
        show([&] {  // the sizes of the keys the files show: 1, 4, 2, 2
            return 1000.0 * b->keyInfo("FNum").dataSize + 100 * b->keyInfo("F0Ac").dataSize +
                   10 * b->keyInfo("FS! ").dataSize + b->keyInfo("TC0P").dataSize;
        });
        show([&] { return b->read("FNum"); });
        show([&] { return b->read("F0Ac"); });
        show([&] { return b->read("F1Mx"); });
        show([&] { return b->read("FS! "); });
        show([&] { return b->read("TC0P"); });
        show([&] { return static_cast<double>(b->keyCount()); });
        show([&] { return b->read("LSOF"); });
        show([&] { b->write("F0Tg", 2000); return 0.0; });
        show([&] { return static_cast<double>(b->key(0).size()); });
        (void)!::write(pipe[1], out.data(), out.size());
        _exit(0);
    }
    ::close(pipe[1]);
    std::string got;
    char buf[512];
    for (ssize_t n; (n = ::read(pipe[0], buf, sizeof buf)) > 0;) got.append(buf, static_cast<std::size_t>(n));
    ::close(pipe[0]);
    int status = 0;
    ::waitpid(child, &status, 0);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    const std::string denied = SMCError::callFailed(kIOReturnNotPrivileged).what() + std::string(" | ");
    EXPECT_EQ(got, "1422.0 2.0 1800.0 6000.0 2.0 45.25 11.0 " + denied + denied + denied);
    EXPECT_EQ(tree.get("fan1_output"), "1800\n");
}

// Each file is opened once and read whole from its start, up to the attribute size; a longer
// file is not the driver's.
TEST(KernelAttributeFiles, ReadWholeFromTheStartOnOneDescriptorUpToTheAttributeSize) {
    Tree t;
    iokit::AttributeFiles files;
    const std::vector<std::pair<std::size_t, int>> rows = {
        {0, 0}, {1, 0}, {256, 0}, {257, EOVERFLOW}, {4096, EOVERFLOW}};  // the attribute size: 256
    for (const auto& [size, error] : rows) {
        const std::string name = "attr" + std::to_string(size);
        t.put(name, std::string(size, '7'));
        for (int pass = 0; pass < 2; ++pass) {
            const auto r = files.read(t.path(name));
            EXPECT_EQ(r.error, error) << size;
            if (error == 0) {
                EXPECT_EQ(r.data.size(), size);
            }
        }
    }
    t.put("attr1", "12");  // rewritten in place: the kept descriptor shows the new text
    EXPECT_EQ(files.read(t.path("attr1")).data, "12");
    EXPECT_EQ(files.write(t.path("attr1"), "3").error, 0);
    EXPECT_EQ(files.read(t.path("attr1")).data, "32") << "written at the start, as sysfs takes a store";
    // Descriptors that went bad are dropped: the two oversized files, then only those that work.
    EXPECT_EQ(files.openDescriptors(), 4u);
    EXPECT_EQ(files.operations(), 13u);
    EXPECT_EQ(files.read(t.path("missing")).error, ENOENT);

    // A kept descriptor gone stale (EBADF here, ENODEV for a removed device) is replaced within the
    // call; one failing otherwise costs that call, and the next opens afresh.
    auto kept = [&] {
        for (const auto& e : fs::directory_iterator("/proc/self/fd"))
            if (std::error_code ec; fs::read_symlink(e.path(), ec) == t.path("stale")) return std::stoi(e.path().filename());
        return -1;
    };
    t.put("stale", "5");
    iokit::AttributeFiles staleFiles;
    EXPECT_EQ(staleFiles.read(t.path("stale")).data, "5");
    const int writeOnly = ::open(t.path("stale").c_str(), O_WRONLY | O_CLOEXEC);
    ASSERT_EQ(::dup2(writeOnly, kept()), kept());
    ::close(writeOnly);
    EXPECT_EQ(staleFiles.read(t.path("stale")).data, "5");
    EXPECT_EQ(staleFiles.opens(), 2u);
    const int directory = ::open(t.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    const int fd = kept();
    ASSERT_EQ(::dup2(directory, fd), fd);
    ::close(directory);
    EXPECT_EQ(staleFiles.read(t.path("stale")).error, EISDIR);
    EXPECT_EQ(staleFiles.read(t.path("stale")).data, "5");
    EXPECT_EQ(staleFiles.opens(), 3u);
}

TEST(KernelAttributeText, OnlyTheDriversIntegerFormIsAccepted) {
    const std::vector<std::pair<std::string, std::optional<std::int64_t>>> rows = {
        {"1800\n", 1800}, {"0", 0}, {"-127000\n", -127000}, {"", std::nullopt}, {"\n", std::nullopt},
        {"-", std::nullopt}, {" 5", std::nullopt}, {"5\n\n", std::nullopt}, {"+5", std::nullopt},
        {"12a", std::nullopt}, {"1e3", std::nullopt}, {"999999999999999999", 999999999999999999},
        {"9999999999999999999", std::nullopt}};
    for (const auto& [text, value] : rows) EXPECT_EQ(iokit::parseAttributeInteger(text), value) << text;
}

TEST(KernelBackendChoice, EnvironmentValuesAndAutoProbeOrder) {
    Tree sys;
    struct Row {
        const char* value;
        std::vector<std::string> files;  // created under the fake /sys
        Kind kind;
        std::string directory;           // relative to the fake /sys
        bool error;
    };
    const std::vector<Row> rows = {
        {nullptr, {}, Kind::socket, "", false},
        {"socket", {"devices/platform/applesmc.768/key_count"}, Kind::socket, "", false},
        {"applesmc:/x", {}, Kind::applesmc, "/x", false},
        {"macsmc-hwmon:/y", {}, Kind::macsmcHwmon, "/y", false},
        {"applesmc:", {}, Kind::applesmc, "", true},
        {"bogus", {}, Kind::socket, "", true},
        {"auto", {"bus/acpi/devices/APP0001:00/key_count", "devices/platform/applesmc.768/key_count"}, Kind::applesmc,
         "devices/platform/applesmc.768", false},
        {"", {"bus/acpi/devices/APP0001:00/key_count", "class/hwmon/hwmon2/name=macsmc_hwmon"}, Kind::applesmc,
         "bus/acpi/devices/APP0001:00", false},
        {"auto", {"class/hwmon/hwmon1/name=nvme", "class/hwmon/hwmon2/name=macsmc_hwmon"}, Kind::macsmcHwmon,
         "class/hwmon/hwmon2", false},
    };
    for (const Row& row : rows) {
        fs::remove_all(sys.path());
        for (const std::string& f : row.files) {
            const auto eq = f.find('=');
            sys.put(f.substr(0, eq), eq == std::string::npos ? "0\n" : f.substr(eq + 1) + "\n");
        }
        const SMCBackend b = iokit::resolveSMCBackend(row.value, sys.path());
        const std::string label = row.value ? row.value : "(unset)";
        EXPECT_EQ(b.kind, row.kind) << label;
        EXPECT_EQ(!b.error.empty(), row.error) << label << ": " << b.error;
        if (!row.directory.empty() && row.directory[0] != '/') EXPECT_EQ(b.directory, sys.path(row.directory)) << label;
        else EXPECT_EQ(b.directory, row.directory) << label;
    }
}

// What the probe makes of a directory: refused with its reason, or the layout its files show.
TEST(KernelBackendProbe, ADirectoryIsRefusedWithItsReasonOrItsLayoutIsFound) {
    struct Row {
        const char* what;
        Kind kind;
        std::vector<std::string> files;  // "name" or "name=text"
        std::string error;               // a part of it; empty: made
        std::string fanDirectory = "", target = "", mode = "";
        int fans = 0, keys = 0;
        std::vector<std::string> labels = {};
        bool writable = false;  // to root: by the target's mode, never by root's capabilities
    };
    const Row rows[] = {
        {"no key_count", Kind::applesmc, {}, "key_count cannot be read"},
        {"a negative key count", Kind::applesmc, {"key_count=-1"}, "no plausible key count"},
        {"too many keys", Kind::applesmc, {"key_count=16385"}, "no plausible key count"},
        {"not the driver's name", Kind::macsmcHwmon, {"name=nvme"}, "macsmc_hwmon"},
        {"no device at all", Kind::socket, {}, "no kernel device"},
        {"the most keys, no fans", Kind::applesmc, {"key_count=16384"}, "", "", "output", "", 0, 16384},
        {"fans in a hwmon child, target and pwm", Kind::applesmc,
         {"key_count=0", "hwmon/hwmon0/name", "hwmon/other3/fan1_input", "hwmon/hwmon2/fan1_input", "hwmon/hwmon2/fan1_target",
          "hwmon/hwmon2/pwm1_enable", "hwmon/hwmon2/fan2_input", "hwmon/hwmon2/fan4_input"},
         "", "hwmon/hwmon2", "target", "pwm", 2, 0, {}, true},
        {"output wins over target, manual over pwm", Kind::applesmc,
         {"key_count=1", "fan1_input", "fan1_output", "fan1_target", "fan1_manual", "pwm1_enable"}, "", "", "output",
         "manual", 1, 1, {}, true},
        {"at most ten fans; labels until the first gap", Kind::macsmcHwmon,
         {"name=macsmc_hwmon", "fan1_input", "fan2_input", "fan3_input", "fan4_input", "fan5_input", "fan6_input",
          "fan7_input", "fan8_input", "fan9_input", "fan10_input", "fan11_input", "temp1_label=TC0P", "temp2_label=CPU die",
          "temp4_label=TG0P"},
         "", "", "target", "", 10, 0, {"TC0P", "CPU die"}},
        {"a target without a fan is no writable fan", Kind::applesmc, {"key_count=0", "fan1_output@644"}, "", "", "output"},
        {"root's own target", Kind::applesmc, {"key_count=0", "fan1_input", "fan1_output@644"}, "", "", "output", "", 1, 0, {},
         true},
        {"a read-only target", Kind::applesmc, {"key_count=0", "fan1_input", "fan1_output@444"}, "", "", "output", "", 1},
        {"a target others may write", Kind::applesmc, {"key_count=0", "fan1_input", "fan1_output@446"}, "", "", "output",
         "", 1, 0, {}, true},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        Tree t;
        for (const std::string& f : row.files) {
            const auto eq = f.find('='), at = f.find('@');
            t.put(f.substr(0, std::min(eq, at)), eq == std::string::npos ? "1\n" : f.substr(eq + 1) + "\n",
                  at == std::string::npos ? fs::perms(0600) : fs::perms(std::stoi(f.substr(at + 1), nullptr, 8)));
        }
        std::string error;
        const auto service = iokit::KernelSMCService::create({row.kind, t.path(), std::chrono::milliseconds(50), {}, t.path("lock")}, error);
        EXPECT_EQ(service == nullptr, !row.error.empty());
        EXPECT_NE(error.find(row.error), std::string::npos) << error;
        if (!service) continue;
        const auto& l = service->layout();
        EXPECT_EQ(l.fanDirectory, t.path(row.fanDirectory));
        EXPECT_EQ(l.targetAttribute, row.target);
        EXPECT_EQ(l.modeAttribute, row.mode);
        EXPECT_EQ(l.fanCount, row.fans);
        EXPECT_EQ(l.keyCount, row.keys);
        EXPECT_EQ(l.temperatureLabels, row.labels);
        if (::geteuid() == 0) {
            EXPECT_EQ(l.targetWritable, row.writable);  // the files are root's
        }
        if (l.fanCount == 10) {
            iokit::ScopedServiceRegistration registration("AppleSMC", service);
            EXPECT_EQ(SMCKernelBridge::open()->read("F9Ac"), 1) << "the tenth fan's keys are F9..";
        }
    }
}

}  // namespace
}  // namespace quorvane
