// The journal sink against a real datagram socket standing in for the journal: what arrives is
// parsed with the journal's native field grammar.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "platform/log/journal_sink.hpp"
#include "platform/log/log.hpp"

namespace quorvane::log {
namespace {

using Fields = std::map<std::string, std::string>;

// Parses "NAME=value\n" and "NAME\n<le64 size><value>\n" fields; a malformed entry fails the test.
Fields parseEntry(const std::string& entry) {
    Fields fields;
    for (std::size_t at = 0; at < entry.size();) {
        const std::size_t end = entry.find('\n', at);
        const std::string line = entry.substr(at, end - at);
        if (const auto eq = line.find('='); end != std::string::npos && eq != std::string::npos) {
            fields[line.substr(0, eq)] = line.substr(eq + 1);
            at = end + 1;
            continue;
        }
        const bool sized = end != std::string::npos && end + 9 <= entry.size();
        std::uint64_t size = 0;
        for (int i = 7; sized && i >= 0; --i) size = (size << 8) | static_cast<unsigned char>(entry[end + 1 + i]);
        const std::size_t value = end + 9;
        if (!sized || size >= entry.size() - value || entry[value + size] != '\n') {
            ADD_FAILURE() << "field " << line << " is unterminated or overruns the entry";
            break;
        }
        fields[line] = entry.substr(value, size);
        at = value + size + 1;
    }
    return fields;
}

// A bound datagram socket in a private directory: the journal's side of the protocol.
class FakeJournal {
public:
    FakeJournal() {
        char pattern[] = "/tmp/quorvane-journal-XXXXXX";
        directory_ = ::mkdtemp(pattern);
        path_ = directory_ + "/socket";
        fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, path_.c_str(), sizeof address.sun_path - 1);
        if (::bind(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) ADD_FAILURE() << "bind";
    }
    ~FakeJournal() {
        ::close(fd_);
        std::filesystem::remove_all(directory_);
    }
    const std::string& path() const { return path_; }

    // The next entry, read from the datagram or from the memory file it carries; empty if none
    // comes within a second. sealed tells whether a passed file was sealed against change.
    std::string receive(bool* passedFile = nullptr, bool* sealed = nullptr, int timeoutMs = 1000) {
        pollfd ready{fd_, POLLIN, 0};
        if (::poll(&ready, 1, timeoutMs) != 1) return {};
        std::string datagram(256 * 1024, '\0');
        iovec part{datagram.data(), datagram.size()};
        alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
        msghdr message{nullptr, 0, &part, 1, control, sizeof control, 0};
        const ssize_t n = ::recvmsg(fd_, &message, MSG_CMSG_CLOEXEC);
        if (n < 0) return {};
        datagram.resize(static_cast<std::size_t>(n));
        const cmsghdr* header = CMSG_FIRSTHDR(&message);
        if (passedFile) *passedFile = header != nullptr;
        if (!header || header->cmsg_type != SCM_RIGHTS) return datagram;
        int file = -1;
        std::memcpy(&file, CMSG_DATA(header), sizeof file);
        constexpr int kSeals = F_SEAL_WRITE | F_SEAL_SHRINK | F_SEAL_GROW;
        const int seals = ::fcntl(file, F_GET_SEALS);
        if (sealed) *sealed = seals >= 0 && (seals & kSeals) == kSeals;
        struct stat st {};
        ::fstat(file, &st);
        std::string contents(static_cast<std::size_t>(st.st_size), '\0');
        const ssize_t got = ::pread(file, contents.data(), contents.size(), 0);
        ::close(file);
        contents.resize(got < 0 ? 0 : static_cast<std::size_t>(got));
        return contents;
    }

private:
    std::string directory_;
    std::string path_;
    int fd_ = -1;
};

TEST(LogJournal, LoggerCallArrivesWithItsFieldsPriorityAndCodeLocation) {
    FakeJournal journal;
    auto sink = std::make_shared<JournalSink>(journal.path());
    addSink(sink);
    const Logger logger("com.quorvane.SMCService", "service");
    const unsigned line = __LINE__ + 1;
    logger.error("write failed: %{public}s", "keyNotFound(\"F0Tg\")");
    removeSink(sink);

    const Fields fields = parseEntry(journal.receive());
    EXPECT_EQ(fields.at("MESSAGE"), "write failed: keyNotFound(\"F0Tg\")");
    EXPECT_EQ(fields.at("PRIORITY"), "3");
    EXPECT_EQ(fields.at("SYSLOG_IDENTIFIER"), "com.quorvane.SMCService");
    EXPECT_EQ(fields.at("QUORVANE_SUBSYSTEM"), "com.quorvane.SMCService");
    EXPECT_EQ(fields.at("QUORVANE_CATEGORY"), "service");
    EXPECT_NE(fields.at("CODE_FILE").find("log_journal_test.cpp"), std::string::npos);
    EXPECT_EQ(fields.at("CODE_LINE"), std::to_string(line));
    EXPECT_EQ(fields.at("CODE_FUNC"), "TestBody");

    const std::pair<Level, const char*> rows[] = {
        {Level::Fault, "2"}, {Level::Error, "3"}, {Level::Default, "5"}, {Level::Info, "6"}, {Level::Debug, "7"}};
    for (const auto& [level, priority] : rows) {
        sink->write(Record{level, "s", "c", "m"});
        EXPECT_EQ(parseEntry(journal.receive()).at("PRIORITY"), priority) << levelName(level);
    }
}

TEST(LogJournal, ValuesWithNewlinesAndOversizedEntriesArriveWhole) {
    FakeJournal journal;
    JournalSink sink(journal.path());
    struct Row {
        std::string message;
        bool asFile;
    };
    const Row rows[] = {
        {"first line\nsecond line\n", false},
        {"x=y\n\nz", false},
        {std::string(300 * 1024, 'k') + "\nend", true},  // beyond what one datagram may carry
    };
    for (const auto& row : rows) {
        sink.write(Record{Level::Default, "com.quorvane.test", "multi\nline", row.message, "f.cpp", 7, "fn"});
        bool passedFile = false;
        bool sealed = false;
        const Fields fields = parseEntry(journal.receive(&passedFile, &sealed));
        ASSERT_EQ(fields.count("MESSAGE"), 1u);
        EXPECT_EQ(fields.at("MESSAGE"), row.message);
        EXPECT_EQ(fields.at("QUORVANE_CATEGORY"), "multi\nline");
        EXPECT_EQ(fields.at("CODE_LINE"), "7");
        EXPECT_EQ(passedFile, row.asFile);
        EXPECT_EQ(sealed, row.asFile);
    }
}

TEST(LogJournal, OnlyASocketCountsAsAJournalAndAMissingOneDropsQuietly) {
    FakeJournal journal;
    EXPECT_TRUE(JournalSink::available(journal.path().c_str()));
    EXPECT_FALSE(JournalSink::available("/nonexistent/journal/socket"));
    EXPECT_FALSE(JournalSink::available("/proc/self/exe"));
    JournalSink nobody("/nonexistent/journal/socket");
    nobody.write(Record{Level::Fault, "s", "c", "nobody listens"});  // no throw, no signal
    JournalSink tooLong(std::string(200, 'p'));
    tooLong.write(Record{Level::Fault, "s", "c", "the path does not fit"});
}

std::string deviceAndInode(int fd) {
    struct stat st {};
    EXPECT_EQ(::fstat(fd, &st), 0);
    return std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino);
}

// What the sink chosen by default wrote: each message lands in exactly one place.
TEST(LogDefaultSink, JournalOnlyWhenStderrIsItsStreamAndItListensElseStderrNeverBoth) {
    FakeJournal journal;
    int pipeFds[2];
    ASSERT_EQ(::pipe2(pipeFds, O_CLOEXEC | O_NONBLOCK), 0);
    const int stderrFd = pipeFds[1];
    const int devNull = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    const std::string own = deviceAndInode(stderrFd);
    const std::string other = deviceAndInode(devNull);
    const std::string missing = journal.path() + ".missing";
    struct Row {
        const char* what;
        std::optional<std::string> journalStream;
        const std::string* socketPath;
        bool toJournal;
    };
    const Row rows[] = {
        {"stderr is the journal's stream, journal listening", own, &journal.path(), true},
        {"stderr is the journal's stream, no journal socket", own, &missing, false},
        {"another stream is the journal's (stderr redirected)", other, &journal.path(), false},
        {"no JOURNAL_STREAM (a terminal)", std::nullopt, &journal.path(), false},
        {"empty JOURNAL_STREAM", std::string(), &journal.path(), false},
        {"device only", own.substr(0, own.find(':') + 1), &journal.path(), false},
        {"inode only", own.substr(own.find(':')), &journal.path(), false},
        {"trailing text", own + "x", &journal.path(), false},
        {"not numbers", std::string("dev:ino"), &journal.path(), false},
    };
    for (const auto& row : rows) {
        const char* stream = row.journalStream ? row.journalStream->c_str() : nullptr;
        EXPECT_EQ(isJournalStream(stderrFd, stream), row.journalStream == own) << row.what;
        const auto sink = defaultSink(stream, stderrFd, *row.socketPath);
        sink->write(Record{Level::Error, "com.quorvane.test", "sinks", std::string("once: ") + row.what});
        char buffer[4096];
        const ssize_t n = ::read(pipeFds[0], buffer, sizeof buffer);
        const std::string onStderr = n > 0 ? std::string(buffer, static_cast<std::size_t>(n)) : std::string();
        const std::string inJournal = journal.receive(nullptr, nullptr, row.toJournal ? 1000 : 50);
        if (row.toJournal) {
            EXPECT_EQ(onStderr, "") << row.what;
            EXPECT_EQ(parseEntry(inJournal).at("PRIORITY"), "3") << row.what;
            EXPECT_EQ(parseEntry(inJournal).at("MESSAGE"), std::string("once: ") + row.what);
        } else {
            EXPECT_EQ(inJournal, "") << row.what;
            EXPECT_NE(onStderr.find(std::string(" error com.quorvane.test [sinks] once: ") + row.what + "\n"),
                      std::string::npos)
                << row.what << ": " << onStderr;
        }
    }
    ::close(devNull);
    ::close(pipeFds[0]);
    ::close(pipeFds[1]);
}

}  // namespace
}  // namespace quorvane::log
