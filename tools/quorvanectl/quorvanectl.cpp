// quorvanectl: the companion application's half of the daemon contract on the command line.
// Connects to the daemon's Mach service, declares the application's code identity, sends one
// command and prints its reply; `hold` keeps fan control and heartbeats until it is killed.
#include <chrono>
#include <cstdio>
#include <future>
#include <iostream>
#include <string>
#include <thread>

#include <CLI/CLI.hpp>

#include "protocol/quorvane_xpc_interface.hpp"
#include "platform/xpc/code_identity.hpp"
#include "shared/smc/helper_constants.hpp"
#include "shared/smc/smc_data_codec.hpp"

using namespace quorvane;

namespace {

struct Outcome {
    bool ok = false;
    std::string text;
};

// Waits for one reply (or the connection's error) for at most `timeout` seconds.
class Client {
public:
    Client() {
        connection_ = xpc::Connection::connectToMachService(HelperConstants::machServiceName);
        proxy_ = std::make_unique<QuorvaneXPCRemoteProxy>(connection_, [this](const xpc::ErrorObject& e) {
            complete({false, "connection failed: " + xpc::describe(e)});
        });
        connection_->resume();
    }
    ~Client() { connection_->invalidate(); }

    template <class Send>
    Outcome run(double timeout, Send send) {
        {
            std::lock_guard lock(mutex_);
            promise_ = std::promise<Outcome>();
            done_ = false;
        }
        auto future = promise_.get_future();
        send(*proxy_, [this](Outcome o) { complete(std::move(o)); });
        if (future.wait_for(std::chrono::duration<double>(timeout)) != std::future_status::ready) {
            return {false, "timed out waiting for the daemon"};
        }
        return future.get();
    }

private:
    void complete(Outcome o) {
        std::lock_guard lock(mutex_);
        if (done_) return;
        done_ = true;
        promise_.set_value(std::move(o));
    }

    std::shared_ptr<xpc::Connection> connection_;
    std::unique_ptr<QuorvaneXPCRemoteProxy> proxy_;
    std::mutex mutex_;
    std::promise<Outcome> promise_;  // guarded by mutex_
    bool done_ = false;              // guarded by mutex_
};

std::string errorText(const ServiceError& e) {
    return "error " + std::to_string(e.code) + ": " + e.localizedDescription();
}

using Done = std::function<void(Outcome)>;

Outcome setRPM(Client& client, long fan, double rpm) {
    return client.run(HelperConstants::engageCallTimeout, [&](QuorvaneXPCProtocol& p, Done done) {
        p.setTargetRPM(fan, rpm, [done](double applied, OptionalError e) {
            done(e ? Outcome{false, errorText(*e)} : Outcome{true, shortestDecimal(applied)});
        });
    });
}

Outcome heartbeat(Client& client) {
    return client.run(HelperConstants::heartbeatCallTimeout, [](QuorvaneXPCProtocol& p, Done done) {
        p.heartbeat([done](double uptime) { done({true, shortestDecimal(uptime)}); });
    });
}

int report(const Outcome& o) {
    (o.ok ? std::cout : std::cerr) << o.text << std::endl;
    return o.ok ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"Talks to the Quorvane fan-control daemon (com.quorvane.SMCService)"};
    app.require_subcommand(1);
    std::string identifier = HelperConstants::appBundleID;
    std::string team = HelperConstants::teamID;
    bool unsignedPeer = false;
    app.add_option("--identifier", identifier, "Signing identifier to declare");
    app.add_option("--team", team, "Team identifier (leaf certificate OU) to declare");
    app.add_flag("--unsigned", unsignedPeer, "Declare no signature at all");

    long fan = 0;
    double rpm = 0;
    std::string onOff;
    double interval = HelperConstants::heartbeatInterval;
    bool noHeartbeat = false;

    auto* version = app.add_subcommand("version", "Print the daemon's version");
    auto* beat = app.add_subcommand("heartbeat", "Send one heartbeat; prints the daemon's uptime");
    auto* restore = app.add_subcommand("restore", "Hand every fan back to Apple automatic control");
    auto* set = app.add_subcommand("set-rpm", "Set a fan's target speed; prints the value applied");
    set->add_option("fan", fan)->required();
    set->add_option("rpm", rpm)->required();
    auto* manual = app.add_subcommand("manual", "Take a fan under manual control (on) or release all (off)");
    manual->add_option("fan", fan)->required();
    manual->add_option("state", onOff)->required()->check(CLI::IsMember({"on", "off"}));
    auto* hold = app.add_subcommand("hold", "Set a fan's speed, then stay connected sending heartbeats");
    hold->add_option("fan", fan)->required();
    hold->add_option("rpm", rpm)->required();
    hold->add_option("--interval", interval, "Seconds between heartbeats")->check(CLI::Range(0.05, 3600.0));
    hold->add_flag("--no-heartbeat", noHeartbeat, "Stay connected but never send a heartbeat");
    CLI11_PARSE(app, argc, argv);

    xpc::CodeIdentity identity;
    if (!unsignedPeer) identity = {true, true, identifier, team};
    xpc::setLocalCodeIdentity(identity);

    Client client;
    if (*version) {
        return report(client.run(HelperConstants::xpcCallTimeout, [](QuorvaneXPCProtocol& p, Done done) {
            p.helperVersion([done](std::string v) { done({true, std::move(v)}); });
        }));
    }
    if (*beat) return report(heartbeat(client));
    if (*restore) {
        return report(client.run(HelperConstants::xpcCallTimeout, [](QuorvaneXPCProtocol& p, Done done) {
            p.restoreAutomaticControl([done](OptionalError e) { done(e ? Outcome{false, errorText(*e)} : Outcome{true, "restored"}); });
        }));
    }
    if (*set) return report(setRPM(client, fan, rpm));
    if (*manual) {
        const bool enable = onOff == "on";
        return report(client.run(HelperConstants::engageCallTimeout, [&](QuorvaneXPCProtocol& p, Done done) {
            p.setManualControl(fan, enable, [done](OptionalError e) { done(e ? Outcome{false, errorText(*e)} : Outcome{true, "ok"}); });
        }));
    }
    // hold
    if (int status = report(setRPM(client, fan, rpm)); status != 0) return status;
    for (;;) {
        std::this_thread::sleep_for(std::chrono::duration<double>(interval));
        if (noHeartbeat) continue;
        if (const auto o = heartbeat(client); !o.ok) return report(o);
    }
}
