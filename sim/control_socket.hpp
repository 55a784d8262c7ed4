// The virtual Mac process's control socket: a Unix stream socket answering one request line per
// connection (protocol in control_protocol.hpp), and the client side used by "ctl".
// ControlServer is thread-safe; it serves connections one at a time on its own thread, with a
// bounded line length and a receive timeout so a silent peer cannot wedge it.
#pragma once

#include <memory>
#include <stdexcept>
#include <string>
#include <thread>

#include "sim/smc_key_model.hpp"

namespace quorvane::sim {

class ControlServer {
public:
    // Binds path (an existing socket file is replaced). Throws std::system_error.
    ControlServer(std::string path, std::shared_ptr<SMCKeyModel> model);
    // Stops serving, closes the socket and removes its file.
    ~ControlServer();
    ControlServer(const ControlServer&) = delete;
    ControlServer& operator=(const ControlServer&) = delete;

private:
    void run();
    void serve(int connection);

    const std::string path_;
    const std::shared_ptr<SMCKeyModel> model_;
    int listener_ = -1;
    int wake_[2] = {-1, -1};  // the destructor writes to wake_[1] to stop run()
    std::thread thread_;
};

// A control request that could not be delivered (no virtual Mac running, or it went away).
class ControlUnavailable : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Sends one request line to the control socket at path and returns the reply line.
// Throws ControlUnavailable.
std::string sendControlRequest(const std::string& path, const std::string& request);

}  // namespace quorvane::sim
