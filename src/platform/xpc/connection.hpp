// NSXPCConnection look-alike over a Unix stream socket. Server side: made by a Listener for each
// accepted peer, configured by the delegate, then resumed; one delivery thread reads frames,
// admits the peer against the code-signing requirement and delivers messages in order. A reply
// never blocks its sender: what the socket does not take at once waits in a bounded outbox that
// the delivery thread flushes; overflowing it ends the connection. The peer's first frame has a
// deadline. Client side: connectToMachService + resume; one thread reads replies. Thread-safe:
// every member may be called from any thread. Handlers and replies run on the connection's
// thread, never under an internal lock. A resumed connection keeps itself alive until it has
// ended (like the XPC runtime's own reference): call invalidate() when done with it.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/xpc/exported_object.hpp"
#include "platform/xpc/frame.hpp"
#include "platform/xpc/interface.hpp"
#include "platform/xpc/value.hpp"

namespace quorvane::xpc {

class Listener;

class Connection : public std::enable_shared_from_this<Connection> {
    struct Passkey {};

public:
    using ReplyHandler = std::function<void(std::vector<Value>)>;

    // A peer must have sent its hello this long after being accepted.
    static constexpr std::chrono::milliseconds kFirstFrameDeadline{2000};
    // Replies a peer has not read yet, beyond what its socket holds.
    static constexpr std::size_t kMaxOutbox = 256 * 1024;
    using ErrorHandler = std::function<void(ErrorObject)>;

    // A client connection to the Mach service `name` (its socket in the bootstrap directory).
    // Nothing happens until resume(); a service that cannot be reached invalidates the connection.
    static std::shared_ptr<Connection> connectToMachService(std::string name);

    Connection(Passkey, bool serverSide, int fd, std::string serviceName);
    ~Connection();
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    // Unique per connection object in this process, never reused, never 0.
    std::uint64_t identity() const { return identity_; }
    const std::string& serviceName() const { return serviceName_; }

    // Server side; take effect when the peer's hello is read, so set them before resume().
    // Without a requirement every peer is admitted; an unparsable one admits nobody.
    void setCodeSigningRequirement(std::string requirement);
    void setExportedInterface(Interface interface);
    void setExportedObject(std::shared_ptr<ExportedObject> object);

    // Interruption: the peer vanished abnormally (reset, or closed in the middle of a frame);
    // invalidation always follows. Invalidation: the connection has ended, for whatever reason
    // (peer closed, protocol violation, rejected peer, invalidate()); called exactly once. Both
    // are released after invalidation, so they may capture what they like.
    void setInvalidationHandler(std::function<void()> handler);
    void setInterruptionHandler(std::function<void()> handler);

    // Starts the delivery thread (client side: connects and sends the hello first). Once only.
    void resume();
    // Ends the connection; nothing is delivered afterwards. Returns at once; the handlers run on
    // the connection's thread (inline when the connection was never resumed).
    void invalidate();

    // Client side: sends a message; exactly one of `reply` (on the connection's thread) and
    // `errorHandler` is called. The error handler gets makeConnectionError(kConnectionInterrupted)
    // when the peer vanished abnormally, kConnectionInvalid otherwise; it runs inline when the
    // connection has already ended or was never resumed.
    void remoteCall(const std::string& selector, std::vector<Value> arguments, ReplyHandler reply,
                    ErrorHandler errorHandler);
    // Blocking convenience for tools and tests: the reply, or nullopt on error or timeout.
    // Never call it on this connection's own thread (from a reply or handler).
    std::optional<std::vector<Value>> callSync(const std::string& selector, std::vector<Value> arguments,
                                               std::chrono::milliseconds timeout);

    // The connection whose message invoke() is delivering on this thread; null elsewhere.
    static std::shared_ptr<Connection> current();
    // Its identity; also set by ScopedCurrentConnection in tests.
    static std::optional<std::uint64_t> currentIdentity();

private:
    friend class Listener;
    friend class ScopedCurrentConnection;

    enum class State { idle, running, ended };
    enum class Ending { closed, interrupted };
    struct ReadOutcome;

    void run();
    Ending serve();
    Ending serveClient();
    bool admit(const CodeIdentity& declared);
    bool deliver(InvokeFrame invoke);
    void sendReply(std::uint64_t serial, const std::vector<ValueKind>& kinds, std::vector<Value> values);
    void finish(Ending ending);
    bool sendPayload(const std::vector<std::uint8_t>& payload);        // caller holds writeMutex_
    bool sendPayloadLocked(const std::vector<std::uint8_t>& payload);  // takes writeMutex_
    // Server side: sends what the socket takes now and queues the rest; false on overflow or a
    // dead socket.
    bool sendWithoutBlocking(const std::vector<std::uint8_t>& payload);
    bool flushOutbox();  // delivery thread; false when the socket is dead
    ReadOutcome readFrame();
    ReadOutcome nextBufferedFrame();
    void requestEnd();
    // Listener hooks: `admissionSettled` runs once when the peer is admitted, refused or gone;
    // `ended` once after the handlers have run. Set before resume().
    void setListenerHooks(std::function<void()> admissionSettled, std::function<void()> ended);
    void settleAdmission();
    // The last handler has run: wakes whoever waits for the end and runs the ended callback.
    void announceEnded();
    bool handlersFinished();
    // Blocks until the connection has ended and its handlers have run (Listener shutdown).
    void waitUntilEnded();

    const std::uint64_t identity_;
    const bool serverSide_;
    const std::string serviceName_;
    const int fd_;  // set before resume() and closed only in the destructor, so writers never race a reuse

    std::mutex mutex_;
    std::condition_variable endedCondition_;
    State state_ = State::idle;                      // guarded by mutex_
    bool endRequested_ = false;                      // guarded by mutex_
    bool handlersDone_ = false;                      // guarded by mutex_
    std::optional<std::string> requirement_;         // guarded by mutex_
    std::shared_ptr<const Interface> interface_;     // guarded by mutex_
    std::shared_ptr<ExportedObject> object_;         // guarded by mutex_
    std::function<void()> invalidationHandler_;      // guarded by mutex_
    std::function<void()> interruptionHandler_;      // guarded by mutex_
    std::uint64_t nextSerial_ = 1;                   // guarded by mutex_
    struct Pending {
        ReplyHandler reply;
        ErrorHandler error;
    };
    std::map<std::uint64_t, Pending> pending_;       // guarded by mutex_
    std::thread thread_;                             // guarded by mutex_ (started once)
    std::function<void()> admissionSettled_;         // guarded by mutex_
    std::function<void()> ended_;                    // guarded by mutex_

    const std::chrono::steady_clock::time_point acceptedAt_ = std::chrono::steady_clock::now();
    FrameReader reader_;  // delivery thread only
    int wakeFd_ = -1;     // server side: written by senders, read by the delivery thread; set at admission

    std::mutex writeMutex_;              // one frame at a time on the socket
    std::vector<std::uint8_t> outbox_;   // guarded by writeMutex_
    std::size_t outboxBegin_ = 0;        // guarded by writeMutex_
};

// Test hook: makes `identity` (and, with the second form, the connection) current on this thread
// for its lifetime, for tests that call an exported object directly. Restores the previous value.
class ScopedCurrentConnection {
public:
    explicit ScopedCurrentConnection(std::uint64_t identity);
    explicit ScopedCurrentConnection(const std::shared_ptr<Connection>& connection);
    ~ScopedCurrentConnection();
    ScopedCurrentConnection(const ScopedCurrentConnection&) = delete;
    ScopedCurrentConnection& operator=(const ScopedCurrentConnection&) = delete;

private:
    std::weak_ptr<Connection> previousConnection_;
    std::optional<std::uint64_t> previousIdentity_;
};

}  // namespace quorvane::xpc
