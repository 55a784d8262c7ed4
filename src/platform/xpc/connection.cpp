#include "platform/xpc/connection.hpp"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <cstring>

#include "platform/bootstrap/bootstrap.hpp"
#include "platform/xpc/code_signing_requirement.hpp"
#include "platform/xpc/identity_source.hpp"

namespace quorvane::xpc {

namespace {

std::atomic<std::uint64_t> nextIdentity{1};

thread_local std::weak_ptr<Connection> currentConnection;
thread_local std::optional<std::uint64_t> currentConnectionIdentity;

// Client side: a service that stops reading must not wedge the caller for good; a send that
// makes no progress for this long ends the connection. (The server side never blocks.)
constexpr timeval kSendTimeout{2, 0};

bool wouldBlock(int error) { return error == EAGAIN || error == EWOULDBLOCK || error == EINTR; }

bool sendAll(int fd, const std::uint8_t* data, std::size_t size) {
    while (size > 0) {
        ssize_t n = ::send(fd, data, size, MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

PeerCredentials peerCredentials(int fd) {
    PeerCredentials peer;
    ucred cred{};
    socklen_t len = sizeof cred;
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0) {
        // Unknown peer: nobody's uid and group, so it can only be unsigned.
        peer.uid = static_cast<uid_t>(-1);
        peer.gid = static_cast<gid_t>(-1);
        return peer;
    }
    peer.pid = cred.pid;
    peer.uid = cred.uid;
    peer.gid = cred.gid;
    std::vector<gid_t> groups(64);
    for (int attempt = 0; attempt < 2; ++attempt) {
        len = static_cast<socklen_t>(groups.size() * sizeof(gid_t));
        if (::getsockopt(fd, SOL_SOCKET, SO_PEERGROUPS, groups.data(), &len) == 0) {
            groups.resize(len / sizeof(gid_t));
            peer.groups = std::move(groups);
            return peer;
        }
        if (errno != ERANGE) break;
        groups.resize(len / sizeof(gid_t) + 1);
    }
    // A kernel without SO_PEERGROUPS (before 4.13): the primary group alone. Asking the group
    // database instead would pull the name service into the statically linked daemon.
    peer.groups = {peer.gid};
    return peer;
}

}  // namespace

struct Connection::ReadOutcome {
    enum class Kind { frame, needMore, closed, interrupted, malformed } kind;
    std::optional<Frame> frame;
};

std::shared_ptr<Connection> Connection::connectToMachService(std::string name) {
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    return std::make_shared<Connection>(Passkey{}, false, fd, std::move(name));
}

Connection::Connection(Passkey, bool serverSide, int fd, std::string serviceName)
    : identity_(nextIdentity.fetch_add(1, std::memory_order_relaxed)),
      serverSide_(serverSide),
      serviceName_(std::move(serviceName)),
      fd_(fd) {
    if (fd_ >= 0 && !serverSide_) ::setsockopt(fd_, SOL_SOCKET, SO_SNDTIMEO, &kSendTimeout, sizeof kSendTimeout);
}

Connection::~Connection() {
    if (thread_.joinable()) {
        // The last reference may be the delivery thread's own, released as it exits.
        if (thread_.get_id() == std::this_thread::get_id()) {
            thread_.detach();
        } else {
            thread_.join();
        }
    }
    if (fd_ >= 0) ::close(fd_);
    if (wakeFd_ >= 0) ::close(wakeFd_);
}

void Connection::setListenerHooks(std::function<void()> admissionSettled, std::function<void()> ended) {
    std::lock_guard lock(mutex_);
    admissionSettled_ = std::move(admissionSettled);
    ended_ = std::move(ended);
}

void Connection::settleAdmission() {
    std::function<void()> hook;
    {
        std::lock_guard lock(mutex_);
        hook = std::move(admissionSettled_);
        admissionSettled_ = nullptr;
    }
    if (hook) hook();
}

bool Connection::handlersFinished() {
    std::lock_guard lock(mutex_);
    return handlersDone_;
}

void Connection::setCodeSigningRequirement(std::string requirement) {
    std::lock_guard lock(mutex_);
    requirement_ = std::move(requirement);
}

void Connection::setExportedInterface(Interface interface) {
    auto shared = std::make_shared<const Interface>(std::move(interface));
    std::lock_guard lock(mutex_);
    interface_ = std::move(shared);
}

void Connection::setExportedObject(std::shared_ptr<ExportedObject> object) {
    std::lock_guard lock(mutex_);
    object_ = std::move(object);
}

void Connection::setInvalidationHandler(std::function<void()> handler) {
    std::lock_guard lock(mutex_);
    invalidationHandler_ = std::move(handler);
}

void Connection::setInterruptionHandler(std::function<void()> handler) {
    std::lock_guard lock(mutex_);
    interruptionHandler_ = std::move(handler);
}

void Connection::resume() {
    // Held until the hello is out, so no message can overtake it.
    std::unique_lock writeLock(writeMutex_);
    {
        std::lock_guard lock(mutex_);
        if (state_ != State::idle) return;
        state_ = State::running;
    }
    bool connected = serverSide_;
    if (!serverSide_ && fd_ >= 0) {
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::string path = bootstrap::socketPath(serviceName_);
        if (path.size() < sizeof address.sun_path) {
            std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
            connected = ::connect(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
        }
        if (connected) {
            auto hello = encodeFrame(HelloFrame{kFrameProtocolVersion, localCodeIdentity()});
            connected = hello && sendPayload(*hello);
        }
    }
    writeLock.unlock();
    std::lock_guard lock(mutex_);
    if (!connected) endRequested_ = true;  // the thread then ends it at once, as a plain invalidation
    thread_ = std::thread([self = shared_from_this()]() mutable {
        self->run();
        self.reset();  // last thing this thread touches
    });
}

void Connection::invalidate() {
    bool neverResumed = false;
    std::function<void()> handler;
    std::function<void()> interruption;
    std::shared_ptr<ExportedObject> object;
    std::shared_ptr<const Interface> interface;
    {
        std::lock_guard lock(mutex_);
        if (state_ == State::ended || endRequested_) return;
        if (state_ == State::running) {
            endRequested_ = true;
        } else {
            // Never resumed: there is no thread to end it, so it ends here.
            neverResumed = true;
            state_ = State::ended;
            handler = std::move(invalidationHandler_);
            interruption = std::move(interruptionHandler_);
            object = std::move(object_);
            interface = std::move(interface_);
        }
    }
    if (fd_ >= 0) ::shutdown(fd_, SHUT_RDWR);
    if (!neverResumed) return;
    settleAdmission();
    if (handler) handler();
    announceEnded();
}

void Connection::announceEnded() {
    std::function<void()> ended;
    {
        std::lock_guard lock(mutex_);
        handlersDone_ = true;
        ended = std::move(ended_);
    }
    endedCondition_.notify_all();
    if (ended) ended();
}

void Connection::requestEnd() {
    {
        std::lock_guard lock(mutex_);
        if (state_ != State::running || endRequested_) return;
        endRequested_ = true;
    }
    ::shutdown(fd_, SHUT_RDWR);
}

void Connection::waitUntilEnded() {
    std::unique_lock lock(mutex_);
    endedCondition_.wait(lock, [this] { return handlersDone_; });
}

void Connection::run() {
    Ending ending = serverSide_ ? serve() : serveClient();
    finish(ending);
}

Connection::ReadOutcome Connection::nextBufferedFrame() {
    using Kind = ReadOutcome::Kind;
    std::span<const std::uint8_t> payload;
    switch (reader_.next(payload)) {
        case FrameReader::Status::needMore: return {Kind::needMore, std::nullopt};
        case FrameReader::Status::malformed: return {Kind::malformed, std::nullopt};
        case FrameReader::Status::frame: break;
    }
    auto frame = decodeFrame(payload);
    if (!frame) return {Kind::malformed, std::nullopt};
    return {Kind::frame, std::move(frame)};
}

// Client side: blocks until a whole frame is buffered. `closed` means the peer ended cleanly
// between frames.
Connection::ReadOutcome Connection::readFrame() {
    using Kind = ReadOutcome::Kind;
    for (;;) {
        ReadOutcome buffered = nextBufferedFrame();
        if (buffered.kind != Kind::needMore) return buffered;
        auto space = reader_.space();
        ssize_t n = ::recv(fd_, space.data(), space.size(), 0);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return {Kind::interrupted, std::nullopt};
        if (n == 0) return {reader_.midFrame() ? Kind::interrupted : Kind::closed, std::nullopt};
        reader_.commit(static_cast<std::size_t>(n));
    }
}

Connection::Ending Connection::serve() {
    using Kind = ReadOutcome::Kind;
    bool admitted = false;
    for (;;) {
        // Every frame one read brought in, in order.
        for (;;) {
            ReadOutcome next = nextBufferedFrame();
            if (next.kind == Kind::needMore) break;
            if (next.kind != Kind::frame) return Ending::closed;
            if (!admitted) {
                const auto* hello = std::get_if<HelloFrame>(&*next.frame);
                bool ok = hello && hello->version == kFrameProtocolVersion && admit(hello->identity);
                if (ok) {
                    wakeFd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
                    ok = wakeFd_ >= 0;
                }
                settleAdmission();
                if (!ok) return Ending::closed;
                admitted = true;
                continue;
            }
            auto* invoke = std::get_if<InvokeFrame>(&*next.frame);
            if (!invoke || !deliver(std::move(*invoke))) return Ending::closed;
        }
        bool flushing = false;
        {
            std::lock_guard lock(mutex_);
            if (endRequested_) return Ending::closed;
        }
        if (admitted) {
            std::lock_guard lock(writeMutex_);
            flushing = outboxBegin_ < outbox_.size();
        }
        int timeout = -1;
        if (!admitted) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                acceptedAt_ + kFirstFrameDeadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) return Ending::closed;
            timeout = static_cast<int>(left.count()) + 1;
        }
        pollfd fds[2] = {{fd_, static_cast<short>(POLLIN | (flushing ? POLLOUT : 0)), 0}, {wakeFd_, POLLIN, 0}};
        const int ready = ::poll(fds, admitted ? 2 : 1, timeout);
        if (ready < 0) {
            if (errno == EINTR) continue;
            return Ending::interrupted;
        }
        if (ready == 0) continue;  // the deadline is checked above
        if (admitted && fds[1].revents != 0) {
            std::uint64_t count = 0;
            [[maybe_unused]] ssize_t drained = ::read(wakeFd_, &count, sizeof count);
        }
        if ((fds[0].revents & POLLOUT) != 0 && !flushOutbox()) return Ending::interrupted;
        if ((fds[0].revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
            auto space = reader_.space();
            ssize_t n = ::recv(fd_, space.data(), space.size(), MSG_DONTWAIT);
            if (n < 0) {
                if (wouldBlock(errno)) continue;
                return Ending::interrupted;
            }
            if (n == 0) return reader_.midFrame() ? Ending::interrupted : Ending::closed;
            reader_.commit(static_cast<std::size_t>(n));
        }
    }
}

bool Connection::admit(const CodeIdentity& declared) {
    std::optional<std::string> requirement;
    {
        std::lock_guard lock(mutex_);
        if (endRequested_) return false;
        requirement = requirement_;
    }
    if (!requirement) return true;
    CodeIdentity identity = identitySource()->identityOf(peerCredentials(fd_), declared);
    return satisfiesRequirement(*requirement, identity);
}

bool Connection::deliver(InvokeFrame invoke) {
    std::shared_ptr<const Interface> interface;
    std::shared_ptr<ExportedObject> object;
    {
        std::lock_guard lock(mutex_);
        if (endRequested_) return false;
        interface = interface_;
        object = object_;
    }
    if (!interface || !object) return false;
    const MethodSignature* signature = interface->find(invoke.selector);
    if (!signature || !matches(signature->arguments, invoke.arguments)) return false;

    struct Once {
        std::atomic<bool> used{false};
    };
    ReplyBlock reply = [weak = weak_from_this(), once = std::make_shared<Once>(), serial = invoke.serial,
                        kinds = signature->reply](std::vector<Value> values) {
        if (once->used.exchange(true)) return;
        if (auto self = weak.lock()) self->sendReply(serial, kinds, std::move(values));
    };
    ScopedCurrentConnection scope(shared_from_this());
    try {
        object->invoke(invoke.selector, invoke.arguments, std::move(reply));
    } catch (...) {
        // A throwing exported object costs its connection, never the daemon.
        return false;
    }
    return true;
}

void Connection::sendReply(std::uint64_t serial, const std::vector<ValueKind>& kinds, std::vector<Value> values) {
    {
        std::lock_guard lock(mutex_);
        if (state_ != State::running || endRequested_) return;
    }
    // A reply of the wrong shape would reach the client as garbage: end the connection instead,
    // so the caller gets its error handler.
    if (!matches(kinds, values)) {
        requestEnd();
        return;
    }
    auto payload = encodeFrame(ReplyFrame{serial, std::move(values)});
    if (!payload || !sendWithoutBlocking(*payload)) requestEnd();
}

bool Connection::sendWithoutBlocking(const std::vector<std::uint8_t>& payload) {
    std::array<std::uint8_t, kFrameHeaderSize> header{};
    writeFrameHeader(payload.size(), header);
    bool wake = false;
    {
        std::lock_guard lock(writeMutex_);
        std::size_t sent = 0;
        if (outboxBegin_ == outbox_.size()) {
            // The common case: one write on the caller's thread, taken whole.
            iovec parts[2] = {{header.data(), header.size()},
                              {const_cast<std::uint8_t*>(payload.data()), payload.size()}};
            msghdr message{};
            message.msg_iov = parts;
            message.msg_iovlen = 2;
            ssize_t n = ::sendmsg(fd_, &message, MSG_DONTWAIT | MSG_NOSIGNAL);
            if (n < 0 && !wouldBlock(errno)) return false;
            sent = n < 0 ? 0 : static_cast<std::size_t>(n);
            if (sent == header.size() + payload.size()) return true;
            outbox_.clear();
            outboxBegin_ = 0;
            wake = true;
        }
        const std::size_t total = header.size() + payload.size();
        if (outbox_.size() - outboxBegin_ + (total - sent) > kMaxOutbox) return false;
        for (std::size_t i = sent; i < total; ++i) {
            outbox_.push_back(i < header.size() ? header[i] : payload[i - header.size()]);
        }
    }
    if (wake) {
        const std::uint64_t one = 1;
        [[maybe_unused]] ssize_t written = ::write(wakeFd_, &one, sizeof one);
    }
    return true;
}

bool Connection::flushOutbox() {
    std::lock_guard lock(writeMutex_);
    while (outboxBegin_ < outbox_.size()) {
        ssize_t n = ::send(fd_, outbox_.data() + outboxBegin_, outbox_.size() - outboxBegin_, MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n < 0) return wouldBlock(errno);
        outboxBegin_ += static_cast<std::size_t>(n);
    }
    std::vector<std::uint8_t>().swap(outbox_);  // a stalled peer's backlog is not kept for life
    outboxBegin_ = 0;
    return true;
}

Connection::Ending Connection::serveClient() {
    for (;;) {
        {
            std::lock_guard lock(mutex_);
            if (endRequested_) return Ending::closed;
        }
        ReadOutcome next = readFrame();
        if (next.kind != ReadOutcome::Kind::frame) {
            return next.kind == ReadOutcome::Kind::interrupted ? Ending::interrupted : Ending::closed;
        }
        auto* reply = std::get_if<ReplyFrame>(&*next.frame);
        if (!reply) return Ending::closed;
        Pending pending;
        {
            std::lock_guard lock(mutex_);
            if (endRequested_) return Ending::closed;
            auto it = pending_.find(reply->serial);
            if (it == pending_.end()) return Ending::closed;  // a reply nobody asked for
            pending = std::move(it->second);
            pending_.erase(it);
        }
        if (pending.reply) pending.reply(std::move(reply->values));
    }
}

void Connection::finish(Ending ending) {
    std::map<std::uint64_t, Pending> pending;
    std::function<void()> invalidation;
    std::function<void()> interruption;
    std::shared_ptr<ExportedObject> object;
    std::shared_ptr<const Interface> interface;
    {
        std::lock_guard lock(mutex_);
        if (endRequested_) ending = Ending::closed;  // we closed it ourselves
        state_ = State::ended;
        pending.swap(pending_);
        invalidation = std::move(invalidationHandler_);
        interruption = std::move(interruptionHandler_);
        object = std::move(object_);
        interface = std::move(interface_);
    }
    if (fd_ >= 0) ::shutdown(fd_, SHUT_RDWR);
    const ErrorObject error =
        makeConnectionError(ending == Ending::interrupted ? kConnectionInterrupted : kConnectionInvalid);
    for (auto& [serial, call] : pending) {
        if (call.error) call.error(error);
    }
    settleAdmission();
    if (ending == Ending::interrupted && interruption) interruption();
    if (invalidation) invalidation();
    announceEnded();
}

bool Connection::sendPayload(const std::vector<std::uint8_t>& payload) {
    if (fd_ < 0) return false;
    std::vector<std::uint8_t> bytes(kFrameHeaderSize + payload.size());
    writeFrameHeader(payload.size(), std::span<std::uint8_t, kFrameHeaderSize>(bytes.data(), kFrameHeaderSize));
    std::memcpy(bytes.data() + kFrameHeaderSize, payload.data(), payload.size());
    return sendAll(fd_, bytes.data(), bytes.size());
}

bool Connection::sendPayloadLocked(const std::vector<std::uint8_t>& payload) {
    std::lock_guard lock(writeMutex_);
    return sendPayload(payload);
}

void Connection::remoteCall(const std::string& selector, std::vector<Value> arguments, ReplyHandler reply,
                            ErrorHandler errorHandler) {
    std::uint64_t serial = 0;
    bool accepted = false;
    {
        std::lock_guard lock(mutex_);
        if (!serverSide_ && state_ == State::running && !endRequested_) {
            serial = nextSerial_++;
            pending_.emplace(serial, Pending{std::move(reply), errorHandler});
            accepted = true;
        }
    }
    if (!accepted) {
        if (errorHandler) errorHandler(makeConnectionError(kConnectionInvalid));
        return;
    }
    auto payload = encodeFrame(InvokeFrame{serial, selector, std::move(arguments)});
    if (!payload) {
        // Too large to send: this call fails, the connection stays.
        Pending call;
        {
            std::lock_guard lock(mutex_);
            auto it = pending_.find(serial);
            if (it == pending_.end()) return;  // the connection ended and already failed it
            call = std::move(it->second);
            pending_.erase(it);
        }
        if (call.error) call.error(makeConnectionError(kConnectionInvalid));
        return;
    }
    // A failed write ends the connection; its end fails this call with the others.
    if (!sendPayloadLocked(*payload)) requestEnd();
}

std::optional<std::vector<Value>> Connection::callSync(const std::string& selector, std::vector<Value> arguments,
                                                       std::chrono::milliseconds timeout) {
    struct Outcome {
        std::mutex mutex;
        std::condition_variable condition;
        bool done = false;                        // guarded by mutex
        std::optional<std::vector<Value>> values;  // guarded by mutex
    };
    auto outcome = std::make_shared<Outcome>();
    remoteCall(
        selector, std::move(arguments),
        [outcome](std::vector<Value> values) {
            std::lock_guard lock(outcome->mutex);
            outcome->values = std::move(values);
            outcome->done = true;
            outcome->condition.notify_all();
        },
        [outcome](ErrorObject) {
            std::lock_guard lock(outcome->mutex);
            outcome->done = true;
            outcome->condition.notify_all();
        });
    std::unique_lock lock(outcome->mutex);
    outcome->condition.wait_for(lock, timeout, [&] { return outcome->done; });
    return outcome->values;
}

std::shared_ptr<Connection> Connection::current() { return currentConnection.lock(); }

std::optional<std::uint64_t> Connection::currentIdentity() { return currentConnectionIdentity; }

ScopedCurrentConnection::ScopedCurrentConnection(std::uint64_t identity)
    : previousConnection_(currentConnection), previousIdentity_(currentConnectionIdentity) {
    currentConnection.reset();
    currentConnectionIdentity = identity;
}

ScopedCurrentConnection::ScopedCurrentConnection(const std::shared_ptr<Connection>& connection)
    : previousConnection_(currentConnection), previousIdentity_(currentConnectionIdentity) {
    currentConnection = connection;
    currentConnectionIdentity = connection ? std::optional<std::uint64_t>(connection->identity()) : std::nullopt;
}

ScopedCurrentConnection::~ScopedCurrentConnection() {
    currentConnection = previousConnection_;
    currentConnectionIdentity = previousIdentity_;
}

}  // namespace quorvane::xpc
