#include "platform/iokit/kernel_smc_service.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>
#include <unordered_map>

#include "platform/bootstrap/bootstrap.hpp"
#include "platform/iokit/kernel_files.hpp"

namespace quorvane::iokit {
namespace {

constexpr std::uint32_t code(const char (&k)[5]) {
    return static_cast<std::uint32_t>(static_cast<unsigned char>(k[0])) << 24 |
           static_cast<std::uint32_t>(static_cast<unsigned char>(k[1])) << 16 |
           static_cast<std::uint32_t>(static_cast<unsigned char>(k[2])) << 8 |
           static_cast<std::uint32_t>(static_cast<unsigned char>(k[3]));
}
constexpr std::uint32_t kForceTest = code("Ftst"), kKeyCount = code("#KEY"), kFanCount = code("FNum"),
                        kFanManualMask = code("FS! ");
constexpr std::uint32_t kFpe2 = code("fpe2"), kFlt = code("flt "), kUi8 = code("ui8 "), kUi16 = code("ui16"),
                        kUi32 = code("ui32"), kSp78 = code("sp78");

// The controller's result bytes this service produces.
constexpr std::uint8_t kSuccess = 0x00, kKeyNotFound = 0x84, kNotReadable = 0x85, kBadCommand = 0x89;
enum Command : std::uint8_t { kReadBytes = 5, kWriteBytes = 6, kKeyByIndex = 8, kKeyInfo = 9 };

constexpr std::size_t kRecordSize = 80, kValueCapacity = 32;
constexpr int kMaxFans = 10;                 // the driver's own cap
constexpr int kMaxKeys = 16384;              // a larger key_count is not a Mac's
constexpr int kMaxTemperatures = 256;
constexpr std::int64_t kSpeedLimit = 16384;  // the driver refuses speeds at or above 2^14
constexpr int kModeWriteAttempts = 3;
constexpr int kCursorAttempts = 3;

std::uint32_t loadU32(const std::uint8_t* p) {
    std::uint32_t v;
    std::memcpy(&v, p, 4);
    return v;
}
void storeU32(std::uint8_t* p, std::uint32_t v) { std::memcpy(p, &v, 4); }

using Bytes = std::vector<std::uint8_t>;

Bytes bigEndian(std::uint32_t v, int n) {
    Bytes b(static_cast<std::size_t>(n));
    for (int i = 0; i < n; ++i) b[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(v >> (8 * (n - 1 - i)));
    return b;
}

// The integer a fan file shows, in the key's own encoding; none when the type cannot carry it.
std::optional<Bytes> encodeInteger(std::uint32_t type, std::int64_t v) {
    if (v < 0) return std::nullopt;
    if (type == kFpe2 && v < kSpeedLimit) return bigEndian(static_cast<std::uint32_t>(v) << 2, 2);
    if (type == kFlt) {
        const auto bits = std::bit_cast<std::uint32_t>(static_cast<float>(v));
        return Bytes{static_cast<std::uint8_t>(bits), static_cast<std::uint8_t>(bits >> 8),
                     static_cast<std::uint8_t>(bits >> 16), static_cast<std::uint8_t>(bits >> 24)};
    }
    if (type == kUi8 && v <= 0xff) return bigEndian(static_cast<std::uint32_t>(v), 1);
    if (type == kUi16 && v <= 0xffff) return bigEndian(static_cast<std::uint32_t>(v), 2);
    if (type == kUi32 && v <= 0xffffffffLL) return bigEndian(static_cast<std::uint32_t>(v), 4);
    return std::nullopt;
}

std::optional<Bytes> encodeMillidegrees(std::uint32_t type, std::int64_t milli) {
    if (type != kSp78 || milli < -128000 || milli > 127000) return std::nullopt;
    const auto fixed = static_cast<std::int16_t>(std::lround(static_cast<double>(milli) * 256.0 / 1000.0));
    return bigEndian(static_cast<std::uint16_t>(fixed), 2);
}

// A value the bridge encoded, as a number; none for types no fan file takes.
std::optional<double> decodeValue(std::uint32_t type, const std::uint8_t* b, std::uint32_t size) {
    auto be = [&](std::uint32_t n) {
        std::uint32_t v = 0;
        for (std::uint32_t i = 0; i < n; ++i) v = v << 8 | b[i];
        return v;
    };
    if (type == kFpe2 && size == 2) return be(2) / 4.0;
    if (type == kUi8 && size == 1) return be(1);
    if (type == kUi16 && size == 2) return be(2);
    if (type == kUi32 && size == 4) return be(4);
    if (type == kFlt && size == 4) {
        const std::uint32_t bits = b[0] | std::uint32_t{b[1]} << 8 | std::uint32_t{b[2]} << 16 | std::uint32_t{b[3]} << 24;
        return static_cast<double>(std::bit_cast<float>(bits));
    }
    return std::nullopt;
}

// A speed as the driver takes it: a whole number below 2^14, range-checked before any cast.
std::optional<std::int64_t> speedText(double v) {
    if (!std::isfinite(v) || v < 0 || v >= static_cast<double>(kSpeedLimit)) return std::nullopt;
    const double rounded = std::round(v);
    if (rounded >= static_cast<double>(kSpeedLimit)) return std::nullopt;
    return static_cast<std::int64_t>(rounded);
}

IOReturn ioReturnFor(int error) {
    switch (error) {
        case 0: return kIOReturnSuccess;
        case EINVAL: case ERANGE: case EOVERFLOW: return kIOReturnBadArgument;
        case EACCES: case EPERM: case EROFS: return kIOReturnNotPrivileged;
        case ETIMEDOUT: return kIOReturnTimeout;
        case EBUSY: case EAGAIN: return kIOReturnBusy;
        case ENOENT: case ENODEV: case ENXIO: return kIOReturnNoDevice;
        case ENOMEM: return kIOReturnNoMemory;
        default: return kIOReturnIOError;
    }
}

bool exists(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
}

std::optional<std::string> readSmall(const std::string& path) {
    FileResult r = readAttributeOnce(path);
    if (!r.ok()) return std::nullopt;
    return std::move(r.data);
}

constexpr const char* kDriverLockName = "smc-driver.lock";

// Our processes' lock on the driver: a regular file of our own user, mode 0600, never a link.
// -1 when there is none to be had: the cursor is then ordered within this process only.
int openDriverLock(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY, 0600);
    if (fd < 0) return -1;
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != ::geteuid() || (st.st_mode & 077) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// A key or type name as the driver prints it ("%s\n"): up to four characters, padded as the SMC
// pads ("ui8 ").
std::optional<std::uint32_t> fourCharCode(std::string_view text) {
    text = attributeText(text);
    if (text.empty() || text.size() > 4) return std::nullopt;
    std::uint32_t c = 0;
    for (std::size_t i = 0; i < 4; ++i) c = c << 8 | static_cast<unsigned char>(i < text.size() ? text[i] : ' ');
    return c;
}

// Fan keys "F<d><suffix>" of fan d (SMC index).
struct FanKey {
    int fan;
    char suffix[2];
    bool is(const char (&s)[3]) const { return suffix[0] == s[0] && suffix[1] == s[1]; }
};
std::optional<FanKey> fanKey(std::uint32_t c, int fanCount) {
    const char f = static_cast<char>(c >> 24), d = static_cast<char>(c >> 16);
    if (f != 'F' || d < '0' || d > '9' || d - '0' >= fanCount) return std::nullopt;
    return FanKey{d - '0', {static_cast<char>(c >> 8), static_cast<char>(c)}};
}

}  // namespace

struct KernelSMCService::Shared {
    KernelDeviceLayout layout;
    std::chrono::milliseconds deadline{1000};  // to wait for the driver lock
    std::function<void(const std::string&, const std::string&)> afterWrite;
    // The key cursor can be moved (root, and /sys writable here): without it only the files of
    // fans and temperatures are read, and keys are described by the types those files carry.
    bool cursorUsable = false;
    std::unordered_map<std::uint32_t, int> temperatureByKey;  // label's key -> channel N; fixed
    // Every path a call may use, made once: a tick builds no strings.
    struct FanFiles {
        std::string input, min, max, target, mode, safe;
    };
    std::vector<FanFiles> fanFiles;              // fixed; one per fan
    std::vector<std::string> temperatureInputs;  // fixed; tempN_input at N - 1
    struct CursorFiles {
        std::string index, name, type, length, data;
    } cursor;                                    // fixed

    struct Entry {
        std::uint32_t name = 0, type = 0, size = 0;
        bool named = false, described = false;
    };
    std::mutex indexMutex;
    std::vector<Entry> entries;                      // guarded by indexMutex; one per index
    std::unordered_map<std::uint32_t, int> indexOf;  // guarded by indexMutex; -1: absent

    // The driver lock: one holder in this process, then one among all our processes (flock on a
    // root-only file of ours in the bootstrap directory, which every unit shares; never a driver
    // file, which any user may lock). It covers the shared cursor and the driver's unlocked
    // read-change-write of "FS! " behind every fanN_manual write.
    std::mutex driverMutex;  // taken by DriverLock only
    int lockFd = -1;

    std::atomic<std::uint64_t> operations{0};

    std::mutex temperatureMutex;
    AttributeFiles temperatureFiles;  // guarded by temperatureMutex

    // A device that went away may come back with another key table: learn it again.
    void forgetIndex() {
        std::lock_guard lock(indexMutex);
        std::fill(entries.begin(), entries.end(), Entry{});
        indexOf.clear();
    }

    ~Shared() {
        if (lockFd >= 0) ::close(lockFd);
    }
};

namespace {

using Shared = KernelSMCService::Shared;

class DriverLock {
public:
    explicit DriverLock(Shared& s) : s_(s) {
        // Polled rather than a timed mutex: the clocked wait of std::timed_mutex is invisible to
        // ThreadSanitizer, which then reports every unlock. Contention is rare and brief.
        const auto until = std::chrono::steady_clock::now() + s_.deadline;
        while (!s_.driverMutex.try_lock()) {
            if (std::chrono::steady_clock::now() >= until) return;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        if (s_.lockFd >= 0) {
            while (::flock(s_.lockFd, LOCK_EX | LOCK_NB) != 0) {
                if (errno != EWOULDBLOCK && errno != EINTR) break;  // no flock here: in-process order only
                if (std::chrono::steady_clock::now() >= until) {
                    s_.driverMutex.unlock();
                    return;
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
        }
        held_ = true;
    }
    ~DriverLock() {
        if (!held_) return;
        if (s_.lockFd >= 0) ::flock(s_.lockFd, LOCK_UN);
        s_.driverMutex.unlock();
    }
    bool held() const { return held_; }

private:
    Shared& s_;
    bool held_ = false;
};

struct Outcome {
    IOReturn kr = kIOReturnSuccess;
    std::uint8_t result = kSuccess;
    static Outcome smc(std::uint8_t r) { return {kIOReturnSuccess, r}; }
    static Outcome io(IOReturn k) { return {k, kSuccess}; }
    bool ok() const { return kr == kIOReturnSuccess && result == kSuccess; }
};

class KernelSMCClient final : public UserClient {
public:
    explicit KernelSMCClient(std::shared_ptr<Shared> s) : s_(std::move(s)) {}

    kern_return_t callStructMethod(std::uint32_t selector, const void* input, std::size_t inputSize, void* output,
                                   std::size_t* outputSize) override {
        if (selector != 2) return kIOReturnUnsupported;
        if (inputSize != kRecordSize || !outputSize || *outputSize < kRecordSize) return kIOReturnBadArgument;
        std::uint8_t in[kRecordSize], out[kRecordSize] = {};
        std::memcpy(in, input, kRecordSize);
        std::lock_guard lock(callMutex_);
        const std::uint32_t key = loadU32(in);
        storeU32(out, key);
        Outcome o;
        switch (in[42]) {
            case kKeyInfo: o = keyInfo(key, out); break;
            case kReadBytes: o = read(key, out); break;
            case kWriteBytes: o = write(key, loadU32(in + 28), in + 48); break;
            case kKeyByIndex: o = keyAt(loadU32(in + 44), out); break;
            default: o = Outcome::smc(kBadCommand);
        }
        if (o.kr != kIOReturnSuccess) return o.kr;
        out[40] = o.result;
        std::memcpy(output, out, kRecordSize);
        *outputSize = kRecordSize;
        return kIOReturnSuccess;
    }

private:
    const KernelDeviceLayout& layout() const { return s_->layout; }
    bool hwmon() const { return layout().kind == SMCBackend::Kind::macsmcHwmon; }

    FileResult readFile(const std::string& path) {
        s_->operations.fetch_add(1, std::memory_order_relaxed);
        FileResult r = files_.read(path);
        if (r.error == ENODEV) s_->forgetIndex();
        return r;
    }
    FileResult writeFile(const std::string& path, const std::string& text) {
        s_->operations.fetch_add(1, std::memory_order_relaxed);
        FileResult r = files_.write(path, text);
        if (r.error == ENODEV) s_->forgetIndex();
        if (r.ok() && s_->afterWrite) s_->afterWrite(path, text);
        return r;
    }
    Outcome readInteger(const std::string& path, std::int64_t& value) {
        const FileResult r = readFile(path);
        if (!r.ok()) return Outcome::io(ioReturnFor(r.error));
        const auto v = parseAttributeInteger(r.data);
        if (!v) return Outcome::io(kIOReturnIOError);
        value = *v;
        return {};
    }

    // ---- the key index (applesmc kinds) ----

    // Points the shared cursor at index; the driver lock must be held.
    Outcome seek(int index) {
        const FileResult r = writeFile(s_->cursor.index, std::to_string(index));
        // A descriptor of a removed device says ENODEV; a device gone before the open, ENOENT.
        // Either way the table may come back another: learn it again. (A fan file that is simply
        // not there on this Mac is no reason to.)
        if (r.error == ENOENT) s_->forgetIndex();
        return r.ok() ? Outcome{} : Outcome::io(ioReturnFor(r.error));
    }
    Outcome readName(std::uint32_t& name) {
        const FileResult r = readFile(s_->cursor.name);
        if (!r.ok()) return Outcome::io(ioReturnFor(r.error));
        const auto c = fourCharCode(r.data);
        if (!c) return Outcome::io(kIOReturnIOError);
        name = *c;
        return {};
    }

    Outcome nameAt(int index, std::uint32_t& name) {
        {
            std::lock_guard lock(s_->indexMutex);
            const auto& e = s_->entries[static_cast<std::size_t>(index)];
            if (e.named) {
                name = e.name;
                return {};
            }
        }
        for (int attempt = 0;; ++attempt) {
            if (attempt == kCursorAttempts) return Outcome::io(kIOReturnBusy);
            DriverLock lock(*s_);
            if (!lock.held()) return Outcome::io(kIOReturnBusy);
            Outcome o = seek(index);
            if (o.ok()) o = readName(name);
            if (!o.ok()) return o;
            // The cursor is one for the whole machine: a program outside our lock may have moved
            // it between the seek and the read, and a wrong name would stay cached for good.
            std::int64_t at = -1;
            if (o = readInteger(s_->cursor.index, at); !o.ok()) return o;
            if (at == index) break;
        }
        std::lock_guard index_lock(s_->indexMutex);
        auto& e = s_->entries[static_cast<std::size_t>(index)];
        e.name = name;
        e.named = true;
        s_->indexOf.emplace(name, index);  // a walk in index order then never searches
        return {};
    }

    // Binary search over the sorted key table; each name read once per process.
    Outcome find(std::uint32_t key, int& index) {
        {
            std::lock_guard lock(s_->indexMutex);
            if (const auto it = s_->indexOf.find(key); it != s_->indexOf.end()) {
                index = it->second;
                return index < 0 ? Outcome::smc(kKeyNotFound) : Outcome{};
            }
        }
        int lo = 0, hi = layout().keyCount - 1;
        index = -1;
        while (lo <= hi) {
            const int mid = lo + (hi - lo) / 2;
            std::uint32_t name = 0;
            if (const Outcome o = nameAt(mid, name); !o.ok()) return o;
            if (name == key) {
                index = mid;
                break;
            }
            if (name < key) lo = mid + 1;
            else hi = mid - 1;
        }
        std::lock_guard lock(s_->indexMutex);
        s_->indexOf[key] = index;
        return index < 0 ? Outcome::smc(kKeyNotFound) : Outcome{};
    }

    // Type and size of the key at index, read once; the name is checked after the reads.
    Outcome describe(int index, std::uint32_t key, Shared::Entry& entry) {
        {
            std::lock_guard lock(s_->indexMutex);
            entry = s_->entries[static_cast<std::size_t>(index)];
            if (entry.described) return {};
        }
        for (int attempt = 0; attempt < kCursorAttempts; ++attempt) {
            DriverLock lock(*s_);
            if (!lock.held()) return Outcome::io(kIOReturnBusy);
            if (const Outcome o = seek(index); !o.ok()) return o;
            const FileResult type = readFile(s_->cursor.type);
            if (!type.ok()) return Outcome::io(ioReturnFor(type.error));
            std::int64_t size = 0;
            if (const Outcome o = readInteger(s_->cursor.length, size); !o.ok()) return o;
            std::uint32_t name = 0;
            if (const Outcome o = readName(name); !o.ok()) return o;
            if (name != key) continue;  // someone outside our lock moved the cursor
            const auto typeCode = fourCharCode(type.data);
            if (!typeCode || size < 0 || size > static_cast<std::int64_t>(kValueCapacity))
                return Outcome::io(kIOReturnIOError);
            std::lock_guard index_lock(s_->indexMutex);
            auto& e = s_->entries[static_cast<std::size_t>(index)];
            e.type = *typeCode;
            e.size = static_cast<std::uint32_t>(size);
            e.described = true;
            entry = e;
            return {};
        }
        return Outcome::io(kIOReturnBusy);
    }

    Outcome lookup(std::uint32_t key, int& index, Shared::Entry& entry) {
        if (const Outcome o = find(key, index); !o.ok()) return o;
        return describe(index, key, entry);
    }

    Outcome cursorRead(int index, const Shared::Entry& entry, std::uint8_t* out) {
        for (int attempt = 0; attempt < kCursorAttempts; ++attempt) {
            DriverLock lock(*s_);
            if (!lock.held()) return Outcome::io(kIOReturnBusy);
            if (const Outcome o = seek(index); !o.ok()) return o;
            const FileResult data = readFile(s_->cursor.data);
            if (!data.ok()) return Outcome::io(ioReturnFor(data.error));
            std::uint32_t name = 0;
            if (const Outcome o = readName(name); !o.ok()) return o;
            if (name != entry.name) continue;
            if (data.data.size() != entry.size) return Outcome::io(kIOReturnIOError);
            std::memcpy(out + 48, data.data.data(), data.data.size());
            return {};
        }
        return Outcome::io(kIOReturnBusy);
    }

    // ---- the five operations ----

    static Outcome info(std::uint8_t* out, std::uint32_t type, std::uint32_t size) {
        storeU32(out + 28, size);
        storeU32(out + 32, type);
        return {};
    }

    Outcome keyInfo(std::uint32_t key, std::uint8_t* out) {
        if (key == kForceTest) return Outcome::smc(kKeyNotFound);
        if (hwmon()) {
            if (key == kFanCount) return info(out, kUi8, 1);
            const auto f = fanKey(key, layout().fanCount);
            if (f && f->is("Md")) return info(out, kUi8, 1);
            if (f && (f->is("Ac") || f->is("Mn") || f->is("Mx") || f->is("Tg"))) return info(out, kFlt, 4);
            return Outcome::smc(kKeyNotFound);
        }
        if (!s_->cursorUsable) {
            const auto k = fileKey(key);
            return k ? info(out, k->type, k->size) : Outcome::io(kIOReturnNotPrivileged);
        }
        if (key == kKeyCount) return info(out, kUi32, 4);
        int index = 0;
        Shared::Entry e;
        if (const Outcome o = lookup(key, index, e); !o.ok()) return o;
        return info(out, e.type, e.size);
    }

    Outcome keyAt(std::uint32_t index, std::uint8_t* out) {
        if (hwmon() || index >= static_cast<std::uint32_t>(layout().keyCount)) return Outcome::smc(kKeyNotFound);
        if (!s_->cursorUsable) return Outcome::io(kIOReturnNotPrivileged);
        std::uint32_t name = 0;
        if (const Outcome o = nameAt(static_cast<int>(index), name); !o.ok()) return o;
        storeU32(out, name);
        return {};
    }

    // The file that shows a fan key's value, if any.
    const std::string* fanReadPath(const FanKey& f) const {
        const Shared::FanFiles& files = fan(f.fan);
        if (f.is("Ac")) return &files.input;
        if (f.is("Mn")) return &files.min;
        if (f.is("Mx")) return &files.max;
        if (f.is("Tg")) return &files.target;
        if (f.is("Sf") && !hwmon()) return &files.safe;
        return nullptr;
    }
    const Shared::FanFiles& fan(int n) const { return s_->fanFiles[static_cast<std::size_t>(n)]; }
    const std::string& temperatureInput(int channel) const {
        return s_->temperatureInputs[static_cast<std::size_t>(channel - 1)];
    }

    // A key as its own file shows it, for a process that cannot move the cursor (no root): the
    // fans' files as "flt ", the temperatures' as "sp78", "FS! " from the mode files, the counts.
    // None for every other key: only the cursor could tell what it is.
    struct FileKey {
        std::uint32_t type = 0, size = 0;
        const std::string* path = nullptr;  // none: a count, or "FS! "
        std::int64_t count = 0;
        bool temperature = false;
    };
    std::optional<FileKey> fileKey(std::uint32_t key) const {
        if (key == kFanCount) return FileKey{kUi8, 1, {}, layout().fanCount};
        if (key == kKeyCount) return FileKey{kUi32, 4, {}, layout().keyCount};
        if (key == kFanManualMask && !layout().modeAttribute.empty()) return FileKey{kUi16, 2, {}, -1};
        if (const auto f = fanKey(key, layout().fanCount)) {
            if (const auto* path = fanReadPath(*f)) return FileKey{kFlt, 4, path};
        }
        if (const auto t = s_->temperatureByKey.find(key); t != s_->temperatureByKey.end())
            return FileKey{kSp78, 2, &temperatureInput(t->second), 0, true};
        return std::nullopt;
    }
    Outcome readFileKey(const FileKey& k, std::uint8_t* out) {
        if (!k.path) {
            if (k.count >= 0) return storeValue(out, encodeInteger(k.type, k.count));
            return readManualMask({0, k.type, k.size}, out);
        }
        std::int64_t v = 0;
        if (const Outcome o = readInteger(*k.path, v); !o.ok()) return o;
        return storeValue(out, k.temperature ? encodeMillidegrees(k.type, v) : encodeInteger(k.type, v));
    }

    Outcome storeValue(std::uint8_t* out, const std::optional<Bytes>& bytes) {
        if (!bytes) return Outcome::io(kIOReturnIOError);
        std::memcpy(out + 48, bytes->data(), bytes->size());
        return {};
    }

    Outcome read(std::uint32_t key, std::uint8_t* out) {
        if (key == kForceTest) return Outcome::smc(kKeyNotFound);
        const auto f = fanKey(key, layout().fanCount);
        if (hwmon()) {
            if (key == kFanCount) return storeValue(out, encodeInteger(kUi8, layout().fanCount));
            if (f && f->is("Md")) return Outcome::smc(kNotReadable);  // the driver shows no mode
            const std::string* path = f ? fanReadPath(*f) : nullptr;
            if (!path) return Outcome::smc(kKeyNotFound);
            std::int64_t v = 0;
            if (const Outcome o = readInteger(*path, v); !o.ok()) return o;
            return storeValue(out, encodeInteger(kFlt, v));
        }
        if (!s_->cursorUsable) {
            const auto k = fileKey(key);
            return k ? readFileKey(*k, out) : Outcome::io(kIOReturnNotPrivileged);
        }
        if (key == kKeyCount) return storeValue(out, encodeInteger(kUi32, layout().keyCount));
        int index = 0;
        Shared::Entry e;
        if (const Outcome o = lookup(key, index, e); !o.ok()) return o;
        // Fans and temperatures have files of their own that need no cursor and no lock.
        const std::string* path = nullptr;
        bool mode = false, temperature = false;
        if (f && f->is("Md") && !layout().modeAttribute.empty()) {
            path = &fan(f->fan).mode;
            mode = true;
        } else if (key == kFanManualMask && !layout().modeAttribute.empty()) {
            return readManualMask(e, out);
        } else if (f) {
            path = fanReadPath(*f);
        } else if (const auto t = s_->temperatureByKey.find(key); t != s_->temperatureByKey.end()) {
            path = &temperatureInput(t->second);
            temperature = true;
        }
        if (path) {
            std::int64_t v = 0;
            if (const Outcome o = readInteger(*path, v); !o.ok()) return o;
            if (mode && layout().modeAttribute == "pwm") v = v == 1 ? 1 : 0;
            const auto bytes = temperature ? encodeMillidegrees(e.type, v) : encodeInteger(e.type, v);
            if (bytes && bytes->size() == e.size) return storeValue(out, bytes);
        }
        return cursorRead(index, e, out);  // a type the file's integer cannot carry: the raw bytes
    }

    // "FS! " from each fan's mode file: one read per fan and no cursor, so a reset of the bits
    // (a suspend, another program) is cheap to notice.
    Outcome readManualMask(const Shared::Entry& e, std::uint8_t* out) {
        std::int64_t mask = 0;
        for (int fan = 0; fan < layout().fanCount; ++fan) {
            std::int64_t v = 0;
            if (const Outcome o = readInteger(this->fan(fan).mode, v); !o.ok()) return o;
            if (layout().modeAttribute == "pwm" ? v == 1 : (v & 1) == 1) mask |= std::int64_t{1} << fan;
        }
        const auto bytes = encodeInteger(e.type, mask);
        if (!bytes || bytes->size() != e.size) return Outcome::io(kIOReturnIOError);
        return storeValue(out, bytes);
    }

    // One fan's manual bit through fanN_manual (or pwmN_enable), read back and repeated until it
    // took; the driver lock must be held.
    Outcome writeMode(int fan, bool manual) {
        const bool pwm = layout().modeAttribute == "pwm";
        const std::string& path = this->fan(fan).mode;
        const std::string text = pwm ? (manual ? "1" : "2") : (manual ? "1" : "0");
        for (int attempt = 0; attempt < kModeWriteAttempts; ++attempt) {
            const FileResult w = writeFile(path, text);
            if (!w.ok()) return Outcome::io(ioReturnFor(w.error));
            std::int64_t v = 0;
            if (const Outcome o = readInteger(path, v); !o.ok()) return o;
            if ((pwm ? v == 1 : (v & 1) == 1) == manual) return {};
        }
        return Outcome::io(kIOReturnNotResponding);
    }

    Outcome writeSpeed(const std::string& path, std::optional<double> value, bool allowZero) {
        const auto v = value ? speedText(*value) : std::nullopt;
        if (!v || (*v == 0 && !allowZero)) return Outcome::io(kIOReturnBadArgument);
        const FileResult w = writeFile(path, std::to_string(*v));
        return w.ok() ? Outcome{} : Outcome::io(ioReturnFor(w.error));
    }

    Outcome write(std::uint32_t key, std::uint32_t size, const std::uint8_t* bytes) {
        if (key == kForceTest) return Outcome::smc(kKeyNotFound);
        const auto f = fanKey(key, layout().fanCount);
        if (hwmon()) {
            if (f && f->is("Tg")) return writeSpeed(fan(f->fan).target, decodeValue(kFlt, bytes, size), false);
            if (f && f->is("Md")) {
                const auto v = decodeValue(kUi8, bytes, size);
                if (v == 1.0) {
                    // A target write is what takes the fan: its present target, kept within its
                    // bounds, so engaging changes no speed and a refusing firmware is retried.
                    std::int64_t target = 0, lo = 0, hi = 0;
                    const Shared::FanFiles& files = fan(f->fan);
                    for (const auto& [path, value] : {std::pair{&files.min, &lo}, {&files.max, &hi}, {&files.target, &target}}) {
                        if (const Outcome o = readInteger(*path, *value); !o.ok()) return o;
                    }
                    return writeSpeed(files.target, static_cast<double>(std::clamp(target, lo, std::max(lo, hi))),
                                      false);
                }
                if (v != 0.0) return Outcome::io(kIOReturnBadArgument);
                const FileResult w = writeFile(fan(f->fan).target, "0");
                return w.ok() ? Outcome{} : Outcome::io(ioReturnFor(w.error));
            }
            if (key == kFanCount || (f && fanReadPath(*f) != nullptr)) return Outcome::io(kIOReturnNotPrivileged);
            return Outcome::smc(kKeyNotFound);
        }
        if (!s_->cursorUsable) return Outcome::io(kIOReturnNotPrivileged);
        int index = 0;
        Shared::Entry e;
        if (const Outcome o = lookup(key, index, e); !o.ok()) return o;
        const auto value = decodeValue(e.type, bytes, e.size);
        if (f && f->is("Tg")) return writeSpeed(fan(f->fan).target, value, true);
        if (f && f->is("Mn")) return writeSpeed(fan(f->fan).min, value, true);
        const bool modeKey = f && f->is("Md");
        if ((modeKey || key == kFanManualMask) && !layout().modeAttribute.empty()) {
            if (!value || !(*value >= 0 && *value <= 0xffff) || *value != std::floor(*value))
                return Outcome::io(kIOReturnBadArgument);
            const auto bits = static_cast<std::uint32_t>(*value);
            if (modeKey && bits > 1) return Outcome::io(kIOReturnBadArgument);
            if (!modeKey && (bits >> layout().fanCount) != 0) return Outcome::io(kIOReturnBadArgument);
            DriverLock lock(*s_);
            if (!lock.held()) return Outcome::io(kIOReturnBusy);
            if (modeKey) return writeMode(f->fan, bits == 1);
            Outcome first;
            for (int fan = 0; fan < layout().fanCount; ++fan) {
                const Outcome o = writeMode(fan, ((bits >> fan) & 1) != 0);
                if (first.ok()) first = o;  // every fan still gets its bit
            }
            return first;
        }
        return Outcome::io(kIOReturnNotPrivileged);  // what a locked key answers
    }

    std::shared_ptr<Shared> s_;
    AttributeFiles files_;
    std::mutex callMutex_;  // one exchange at a time, as on one IOKit connection
};

std::string join(const std::string& dir, const std::string& name) { return dir + "/" + name; }

// The first directory among dir and dir/hwmon/hwmon* that has fan1_input.
std::string fanDirectoryOf(const std::string& dir) {
    if (exists(join(dir, "fan1_input"))) return dir;
    const std::string hwmon = join(dir, "hwmon");
    if (DIR* d = ::opendir(hwmon.c_str())) {
        std::string found;
        while (const dirent* ent = ::readdir(d)) {
            const std::string name = ent->d_name;
            if (name.rfind("hwmon", 0) == 0 && exists(join(join(hwmon, name), "fan1_input"))) {
                found = join(hwmon, name);
                break;
            }
        }
        ::closedir(d);
        if (!found.empty()) return found;
    }
    return dir;
}

}  // namespace

std::string KernelDeviceLayout::fanPath(int fan, const std::string& attribute) const {
    return fanDirectory + "/fan" + std::to_string(fan + 1) + "_" + attribute;
}

std::string KernelDeviceLayout::modePath(int fan) const {
    if (modeAttribute == "pwm") return fanDirectory + "/pwm" + std::to_string(fan + 1) + "_enable";
    return fanPath(fan, modeAttribute);
}

std::string describe(SMCBackend::Kind kind) {
    switch (kind) {
        case SMCBackend::Kind::socket: return "socket";
        case SMCBackend::Kind::applesmc: return "applesmc";
        case SMCBackend::Kind::macsmcHwmon: return "macsmc-hwmon";
    }
    return "?";
}

SMCBackend resolveSMCBackend(const char* value, const std::string& sysRoot) {
    const std::string v = value ? value : "";
    auto withDirectory = [&](SMCBackend::Kind kind, std::string dir) {
        if (dir.empty()) return SMCBackend{kind, {}, "QUORVANE_SMC_BACKEND=\"" + v + "\" names no directory"};
        return SMCBackend{kind, std::move(dir), {}};
    };
    if (v == "socket") return {};
    if (v.rfind("applesmc:", 0) == 0) return withDirectory(SMCBackend::Kind::applesmc, v.substr(9));
    if (v.rfind("macsmc-hwmon:", 0) == 0) return withDirectory(SMCBackend::Kind::macsmcHwmon, v.substr(13));
    if (!v.empty() && v != "auto") {
        return {SMCBackend::Kind::socket, {},
                "QUORVANE_SMC_BACKEND=\"" + v + "\" is not socket, applesmc:DIR, macsmc-hwmon:DIR or auto"};
    }
    for (const char* device : {"/devices/platform/applesmc.768", "/bus/acpi/devices/APP0001:00"}) {
        if (exists(sysRoot + device + "/key_count")) return {SMCBackend::Kind::applesmc, sysRoot + device, {}};
    }
    const std::string hwmon = sysRoot + "/class/hwmon";
    SMCBackend found;
    if (DIR* d = ::opendir(hwmon.c_str())) {
        for (int budget = 256; budget > 0; --budget) {
            const dirent* ent = ::readdir(d);
            if (!ent) break;
            const std::string dir = join(hwmon, ent->d_name);
            const auto name = readSmall(join(dir, "name"));
            if (name && attributeText(*name) == "macsmc_hwmon") {
                found = {SMCBackend::Kind::macsmcHwmon, dir, {}};
                break;
            }
        }
        ::closedir(d);
    }
    return found;
}

const SMCBackend& smcBackend() {
    static const SMCBackend backend = resolveSMCBackend(std::getenv("QUORVANE_SMC_BACKEND"), sysRoot());
    return backend;
}

std::string sysRoot() {
    const char* root = std::getenv("QUORVANE_SYS_ROOT");
    return root && *root ? root : "/sys";
}

bool writableByDaemon(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
    const bool byMode = (st.st_uid == 0 && (st.st_mode & S_IWUSR) != 0) || (st.st_mode & S_IWOTH) != 0;
    // Root's own access() would pass a read-only file through its capabilities; the mode decides,
    // access() adds what the mode cannot show (a read-only mount).
    return byMode && (::geteuid() != 0 || ::access(path.c_str(), W_OK) == 0);
}

std::shared_ptr<KernelSMCService> KernelSMCService::create(const KernelSMCOptions& options, std::string& error) {
    auto s = std::make_shared<Shared>();
    s->deadline = options.deadline;
    s->afterWrite = options.afterWrite;
    KernelDeviceLayout& l = s->layout;
    l.kind = options.kind;
    const std::string& dir = options.directory;
    if (options.kind == SMCBackend::Kind::socket) {
        error = "the socket backend has no kernel device";
        return nullptr;
    }
    if (options.kind == SMCBackend::Kind::macsmcHwmon) {
        const auto name = readSmall(join(dir, "name"));
        if (!name || attributeText(*name) != "macsmc_hwmon") {
            error = join(dir, "name") + " does not read \"macsmc_hwmon\"";
            return nullptr;
        }
        l.fanDirectory = dir;
        l.targetAttribute = "target";
    } else {
        l.keyDirectory = dir;
        const auto text = readSmall(join(dir, "key_count"));
        const auto count = text ? parseAttributeInteger(*text) : std::nullopt;
        if (!count || *count < 0 || *count > kMaxKeys) {
            error = join(dir, "key_count") + (text ? " holds no plausible key count" : " cannot be read");
            return nullptr;
        }
        l.keyCount = static_cast<int>(*count);
        l.fanDirectory = fanDirectoryOf(dir);
        l.targetAttribute = exists(l.fanPath(0, "output")) || !exists(l.fanPath(0, "target")) ? "output" : "target";
        l.modeAttribute = exists(l.fanPath(0, "manual")) ? "manual"
                          : exists(join(l.fanDirectory, "pwm1_enable")) ? "pwm" : "";
        s->entries.resize(static_cast<std::size_t>(l.keyCount));
        s->cursorUsable = ::access(join(dir, "key_at_index").c_str(), W_OK) == 0;
        if (s->cursorUsable) s->lockFd = openDriverLock(options.lockFile.empty() ? bootstrap::socketPath(kDriverLockName) : options.lockFile);
    }
    while (l.fanCount < kMaxFans && exists(l.fanPath(l.fanCount, "input"))) ++l.fanCount;
    for (int n = 0; n < l.fanCount; ++n) {
        s->fanFiles.push_back({l.fanPath(n, "input"), l.fanPath(n, "min"), l.fanPath(n, "max"), l.targetPath(n),
                               l.modeAttribute.empty() ? std::string() : l.modePath(n), l.fanPath(n, "safe")});
    }
    s->cursor = {join(dir, "key_at_index"), join(dir, "key_at_index_name"), join(dir, "key_at_index_type"),
                 join(dir, "key_at_index_data_length"), join(dir, "key_at_index_data")};
    l.targetWritable = l.fanCount > 0 && writableByDaemon(l.targetPath(0));
    for (int n = 1; n <= kMaxTemperatures; ++n) {
        const auto label = readSmall(l.fanDirectory + "/temp" + std::to_string(n) + "_label");
        if (!label) break;
        l.temperatureLabels.emplace_back(attributeText(*label));
        s->temperatureInputs.push_back(l.fanDirectory + "/temp" + std::to_string(n) + "_input");
        if (const auto c = fourCharCode(*label); c && attributeText(*label).size() == 4) s->temperatureByKey[*c] = n;
    }
    error.clear();
    return std::shared_ptr<KernelSMCService>(new KernelSMCService(std::move(s)));
}

KernelSMCService::~KernelSMCService() = default;

kern_return_t KernelSMCService::open(std::uint32_t type, std::shared_ptr<UserClient>& client) {
    if (type != 0) return kIOReturnBadArgument;
    client = std::make_shared<KernelSMCClient>(shared_);
    return kIOReturnSuccess;
}

const KernelDeviceLayout& KernelSMCService::layout() const { return shared_->layout; }

std::uint64_t KernelSMCService::fileOperations() const { return shared_->operations.load(std::memory_order_relaxed); }

std::vector<KernelTemperature> KernelSMCService::readTemperatures() {
    std::lock_guard lock(shared_->temperatureMutex);
    std::vector<KernelTemperature> out;
    const auto& labels = shared_->layout.temperatureLabels;
    for (std::size_t i = 0; i < labels.size(); ++i) {
        shared_->operations.fetch_add(1, std::memory_order_relaxed);
        const FileResult r =
            shared_->temperatureFiles.read(shared_->temperatureInputs[i]);
        const auto milli = r.ok() ? parseAttributeInteger(r.data) : std::nullopt;
        if (milli) out.push_back({labels[i], static_cast<double>(*milli) / 1000.0});
    }
    return out;
}

std::shared_ptr<KernelSMCService> kernelSMCService() {
    static std::mutex mutex;
    static std::shared_ptr<KernelSMCService> service;  // kept once made: the index is built once
    std::lock_guard lock(mutex);
    if (service) return service;
    const SMCBackend& b = smcBackend();
    if (!b.error.empty() || b.kind == SMCBackend::Kind::socket) return nullptr;
    std::string error;
    service = KernelSMCService::create({b.kind, b.directory, std::chrono::milliseconds(1000), {}}, error);
    return service;
}

}  // namespace quorvane::iokit
