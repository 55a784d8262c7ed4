#include "platform/log/journal_sink.hpp"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string_view>

namespace quorvane::log {

namespace {

int syslogPriority(Level level) {
    switch (level) {
        case Level::Default: return 5;  // notice
        case Level::Info: return 6;
        case Level::Debug: return 7;
        case Level::Error: return 3;
        case Level::Fault: return 2;  // critical
    }
    return 5;
}

// "NAME=value\n", or, for a value with a newline, the binary-safe form
// "NAME\n" + little-endian 64-bit length + value + "\n".
void appendField(std::string& out, std::string_view name, std::string_view value) {
    out += name;
    if (value.find('\n') == std::string_view::npos) {
        out += '=';
        out += value;
        out += '\n';
        return;
    }
    out += '\n';
    const std::uint64_t size = value.size();
    for (int i = 0; i < 8; ++i) out += static_cast<char>((size >> (8 * i)) & 0xff);
    out += value;
    out += '\n';
}

std::string encode(const Record& record) {
    std::string out;
    out.reserve(record.message.size() + 2 * record.subsystem.size() + record.category.size() + 256);
    appendField(out, "MESSAGE", record.message);
    appendField(out, "PRIORITY", std::to_string(syslogPriority(record.level)));
    appendField(out, "SYSLOG_IDENTIFIER", record.subsystem);
    appendField(out, "QUORVANE_SUBSYSTEM", record.subsystem);
    appendField(out, "QUORVANE_CATEGORY", record.category);
    if (record.file && *record.file) appendField(out, "CODE_FILE", record.file);
    if (record.line != 0) appendField(out, "CODE_LINE", std::to_string(record.line));
    if (record.function && *record.function) appendField(out, "CODE_FUNC", record.function);
    return out;
}

constexpr int sendFlags = MSG_NOSIGNAL | MSG_DONTWAIT;

}  // namespace

bool JournalSink::available(const char* socketPath) {
    struct stat st {};
    return ::stat(socketPath, &st) == 0 && S_ISSOCK(st.st_mode);
}

JournalSink::JournalSink(const std::string& socketPath) {
    if (socketPath.size() >= sizeof address_.sun_path) return;
    address_.sun_family = AF_UNIX;
    std::memcpy(address_.sun_path, socketPath.c_str(), socketPath.size() + 1);
    addressLength_ = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + socketPath.size() + 1);
    // Unconnected: each send names the journal, so a restarted journal is found again.
    fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
}

JournalSink::~JournalSink() {
    if (fd_ >= 0) ::close(fd_);
}

void JournalSink::write(const Record& record) {
    if (fd_ < 0) return;
    const std::string entry = encode(record);
    iovec part{const_cast<char*>(entry.data()), entry.size()};
    msghdr message{};
    message.msg_name = &address_;
    message.msg_namelen = addressLength_;
    message.msg_iov = &part;
    message.msg_iovlen = 1;
    if (::sendmsg(fd_, &message, sendFlags) >= 0) return;
    if (errno == EMSGSIZE || errno == ENOBUFS) sendAsMemoryFile(entry);
}

// The protocol's way for an entry too large for one datagram: an empty datagram carrying a sealed
// memfd whose contents are the entry. The journal refuses an unsealed one.
void JournalSink::sendAsMemoryFile(const std::string& entry) const {
    const int file = ::memfd_create("journal-entry", MFD_CLOEXEC | MFD_ALLOW_SEALING);
    if (file < 0) return;
    std::size_t done = 0;
    while (done < entry.size()) {
        const ssize_t n = ::write(file, entry.data() + done, entry.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += static_cast<std::size_t>(n);
    }
    if (done == entry.size() &&
        ::fcntl(file, F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_WRITE | F_SEAL_SEAL) == 0) {
        alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
        msghdr message{};
        message.msg_name = const_cast<sockaddr_un*>(&address_);
        message.msg_namelen = addressLength_;
        message.msg_control = control;
        message.msg_controllen = sizeof control;
        cmsghdr* header = CMSG_FIRSTHDR(&message);
        header->cmsg_level = SOL_SOCKET;
        header->cmsg_type = SCM_RIGHTS;
        header->cmsg_len = CMSG_LEN(sizeof(int));
        std::memcpy(CMSG_DATA(header), &file, sizeof file);
        (void)::sendmsg(fd_, &message, sendFlags);
    }
    ::close(file);
}

bool isJournalStream(int fd, const char* journalStream) {
    if (!journalStream || !*journalStream) return false;
    // "device:inode", both decimal; anything else is not the journal's doing.
    char* end = nullptr;
    errno = 0;
    const unsigned long long device = std::strtoull(journalStream, &end, 10);
    if (errno != 0 || end == journalStream || *end != ':') return false;
    const char* inodeText = end + 1;
    const unsigned long long inode = std::strtoull(inodeText, &end, 10);
    if (errno != 0 || end == inodeText || *end != '\0') return false;
    struct stat st {};
    if (::fstat(fd, &st) != 0) return false;
    return static_cast<unsigned long long>(st.st_dev) == device && static_cast<unsigned long long>(st.st_ino) == inode;
}

std::shared_ptr<Sink> defaultSink(const char* journalStream, int stderrFd, const std::string& socketPath) {
    if (isJournalStream(stderrFd, journalStream) && JournalSink::available(socketPath.c_str())) {
        return std::make_shared<JournalSink>(socketPath);
    }
    return std::make_shared<StreamSink>(stderrFd);
}

}  // namespace quorvane::log
