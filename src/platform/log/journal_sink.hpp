// The systemd journal as a log sink, spoken to directly over its native datagram protocol: one
// datagram of fields per record, or a sealed memory file passed over the socket when the record
// is larger than a datagram may be. Sends never block: when the journal falls behind, the record
// is dropped. Also the choice of where a process's messages go by default: the journal or stderr,
// never both. Thread-safe: one socket, one send per record.
#pragma once

#include <sys/socket.h>
#include <sys/un.h>

#include <memory>
#include <string>

#include "platform/log/log.hpp"

namespace quorvane::log {

class JournalSink final : public Sink {
public:
    static constexpr const char* defaultSocketPath = "/run/systemd/journal/socket";

    // True when path names a socket, i.e. a journal is listening there.
    static bool available(const char* socketPath = defaultSocketPath);

    explicit JournalSink(const std::string& socketPath = defaultSocketPath);
    ~JournalSink() override;
    JournalSink(const JournalSink&) = delete;
    JournalSink& operator=(const JournalSink&) = delete;

    // Fields: MESSAGE, PRIORITY (syslog numbering), SYSLOG_IDENTIFIER and QUORVANE_SUBSYSTEM (the
    // subsystem), QUORVANE_CATEGORY, and CODE_FILE, CODE_LINE, CODE_FUNC where known.
    void write(const Record& record) override;

private:
    void sendAsMemoryFile(const std::string& entry) const;

    int fd_ = -1;  // -1: no socket could be made or the path does not fit; every write is dropped
    sockaddr_un address_{};
    socklen_t addressLength_ = 0;
};

// True when fd is the stream the service manager connected to the journal: journalStream (the
// JOURNAL_STREAM variable, "device:inode") names fd's device and inode.
bool isJournalStream(int fd, const char* journalStream);

// Where a process's messages go when nothing else is said, so each appears once: the native
// journal (with each message's real priority) when stderr is the journal's stream and the journal
// listens at socketPath; stderr otherwise (a terminal, a file, or the journal's stream when its
// socket is missing).
std::shared_ptr<Sink> defaultSink(const char* journalStream, int stderrFd = 2,
                                  const std::string& socketPath = JournalSink::defaultSocketPath);

}  // namespace quorvane::log
