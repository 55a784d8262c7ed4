// NSXPCListener look-alike: publishes a Mach service as a Unix socket of that name in the
// bootstrap directory and hands each accepted peer, as a server-side Connection, to its
// delegate on the accept thread. Outside input is budgeted: connections that have not been
// admitted yet are capped per user and in total, ended connections are released as they end,
// and a spare descriptor lets accept shed connections when the process is out of descriptors
// instead of spinning or wedging. Thread-safe. invalidate() and the destructor wait for every
// connection's handlers and in-flight invoke to finish: never call them from the delegate or
// from a connection's handler or exported object.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/xpc/connection.hpp"

namespace quorvane::xpc {

class Listener;

class ListenerDelegate {
public:
    virtual ~ListenerDelegate() = default;
    // Configure the connection and resume() it, then return true; false invalidates it.
    virtual bool shouldAcceptNewConnection(Listener& listener, std::shared_ptr<Connection> connection) = 0;
};

class Listener {
public:
    // Connections accepted but not yet admitted (their first frame has a deadline).
    static constexpr std::size_t kMaxUnadmitted = 64;
    static constexpr std::size_t kMaxUnadmittedPerUser = 16;

    explicit Listener(std::string machServiceName);
    ~Listener();
    Listener(const Listener&) = delete;
    Listener& operator=(const Listener&) = delete;

    const std::string& serviceName() const { return serviceName_; }

    // Not owned; must outlive the listener (or be replaced first). Without one, every peer is
    // turned away.
    void setDelegate(ListenerDelegate* delegate);
    // Creates the bootstrap directory if missing, replaces a stale socket and starts accepting.
    // Throws std::system_error when the socket cannot be published (including when a live
    // listener already serves the name). Once only; a no-op after invalidate().
    void resume();
    // Stops accepting, removes the socket, invalidates every connection and joins their threads.
    void invalidate();

private:
    struct Budget;

    void acceptLoop();
    void acceptOne();
    void shedOneConnection();
    void releaseEndedConnections();

    const std::string serviceName_;
    std::mutex mutex_;
    ListenerDelegate* delegate_ = nullptr;                 // guarded by mutex_
    bool resumed_ = false;                                 // guarded by mutex_
    bool invalidated_ = false;                             // guarded by mutex_
    std::vector<std::shared_ptr<Connection>> connections_;  // guarded by mutex_
    std::thread acceptThread_;                             // set under mutex_ in resume()
    std::shared_ptr<Budget> budget_;                       // fixed once resumed; shared with connections
    int listenFd_ = -1;                                    // fixed once resumed
    int spareFd_ = -1;                                     // accept thread only
    dev_t socketDevice_ = 0;                               // fixed once resumed
    ino_t socketInode_ = 0;                                // fixed once resumed
};

}  // namespace quorvane::xpc
