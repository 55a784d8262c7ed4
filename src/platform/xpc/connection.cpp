#include "platform/xpc/connection.hpp"

#include <grp.h>
#include <pwd.h>
#include <sys/socket.h>
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

// A peer that stops reading must not wedge the thread replying to it (the daemon replies from
// its hardware queue): a send that makes no progress for this long ends the connection.
constexpr timeval kSendTimeout{2, 0};

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

enum class Received { all, eofAtStart, eofInside, error };

Received recvAll(int fd, std::uint8_t* data, std::size_t size) {
    std::size_t got = 0;
    while (got < size) {
        ssize_t n = ::recv(fd, data + got, size - got, 0);
        if (n < 0) {
            if (errno == EINTR) continue;
            return Received::error;
        }
        if (n == 0) return got == 0 ? Received::eofAtStart : Received::eofInside;
        got += static_cast<std::size_t>(n);
    }
    return Received::all;
}

std::vector<gid_t> groupsOfUser(uid_t uid, gid_t primary) {
    std::vector<char> buffer(16384);
    passwd pw{};
    passwd* found = nullptr;
    if (::getpwuid_r(uid, &pw, buffer.data(), buffer.size(), &found) != 0 || !found) return {};
    int count = 64;
    std::vector<gid_t> groups(static_cast<std::size_t>(count));
    if (::getgrouplist(pw.pw_name, primary, groups.data(), &count) < 0) {
        if (count <= 0 || count > 65536) return {};
        groups.resize(static_cast<std::size_t>(count));
        if (::getgrouplist(pw.pw_name, primary, groups.data(), &count) < 0) return {};
    }
    groups.resize(static_cast<std::size_t>(count));
    return groups;
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
    // Kernels without SO_PEERGROUPS: the user's groups as the group database lists them.
    peer.groups = groupsOfUser(peer.uid, peer.gid);
    return peer;
}

}  // namespace

struct Connection::ReadOutcome {
    enum class Kind { frame, closed, interrupted, malformed } kind;
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
    if (fd_ >= 0) ::setsockopt(fd_, SOL_SOCKET, SO_SNDTIMEO, &kSendTimeout, sizeof kSendTimeout);
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
    if (handler) handler();
    {
        std::lock_guard lock(mutex_);
        handlersDone_ = true;
    }
    endedCondition_.notify_all();
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

bool Connection::hasEnded() {
    std::lock_guard lock(mutex_);
    return state_ == State::ended;
}

void Connection::run() {
    Ending ending = serverSide_ ? serve() : serveClient();
    finish(ending);
}

Connection::ReadOutcome Connection::readFrame(std::vector<std::uint8_t>& buffer) {
    using Kind = ReadOutcome::Kind;
    std::array<std::uint8_t, kFrameHeaderSize> header{};
    switch (recvAll(fd_, header.data(), header.size())) {
        case Received::all: break;
        case Received::eofAtStart: return {Kind::closed, std::nullopt};
        case Received::eofInside:
        case Received::error: return {Kind::interrupted, std::nullopt};
    }
    auto length = framePayloadLength(header);
    if (!length) return {Kind::malformed, std::nullopt};
    buffer.resize(*length);
    if (recvAll(fd_, buffer.data(), buffer.size()) != Received::all) return {Kind::interrupted, std::nullopt};
    auto frame = decodeFrame(buffer);
    if (!frame) return {Kind::malformed, std::nullopt};
    return {Kind::frame, std::move(frame)};
}

Connection::Ending Connection::serve() {
    std::vector<std::uint8_t> buffer;
    auto toEnding = [](ReadOutcome::Kind kind) {
        return kind == ReadOutcome::Kind::interrupted ? Ending::interrupted : Ending::closed;
    };
    {
        std::lock_guard lock(mutex_);
        if (endRequested_) return Ending::closed;
    }
    ReadOutcome first = readFrame(buffer);
    if (first.kind != ReadOutcome::Kind::frame) return toEnding(first.kind);
    const auto* hello = std::get_if<HelloFrame>(&*first.frame);
    if (!hello || hello->version != kFrameProtocolVersion) return Ending::closed;
    if (!admit(hello->identity)) return Ending::closed;
    for (;;) {
        ReadOutcome next = readFrame(buffer);
        if (next.kind != ReadOutcome::Kind::frame) return toEnding(next.kind);
        auto* invoke = std::get_if<InvokeFrame>(&*next.frame);
        if (!invoke) return Ending::closed;
        if (!deliver(std::move(*invoke))) return Ending::closed;
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
    if (!payload || !sendPayloadLocked(*payload)) requestEnd();
}

Connection::Ending Connection::serveClient() {
    std::vector<std::uint8_t> buffer;
    for (;;) {
        {
            std::lock_guard lock(mutex_);
            if (endRequested_) return Ending::closed;
        }
        ReadOutcome next = readFrame(buffer);
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
    if (ending == Ending::interrupted && interruption) interruption();
    if (invalidation) invalidation();
    {
        std::lock_guard lock(mutex_);
        handlersDone_ = true;
    }
    endedCondition_.notify_all();
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
