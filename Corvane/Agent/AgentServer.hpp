// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>

#include <boost/asio/io_context.hpp>
#include <boost/json/object.hpp>
#include <boost/json/value.hpp>

#include "Corvane/Model/AppSnapshot.hpp"
#include "CorvaneCore/Support/Task.hpp"

namespace corvane {

// Carries out the agent's operations; runs on the server's io_context.
class AgentHandler {
public:
    virtual ~AgentHandler() = default;
    // The operation's result; throws AgentError (or any exception) with the
    // text for people when it fails or `op` is unknown.
    virtual Async<boost::json::value> call(std::string op, boost::json::object args) = 0;
    // Done once the model has its stored state: operations and watches wait
    // for it, so that nobody reads a signed-out snapshot of a model still loading.
    virtual Async<void> ready() { co_return; }
};

// What one client may make the agent hold. Its clients are the user's own
// programs, but a window that hangs must not make the agent grow.
struct AgentLimits {
    std::size_t outbox = 4 * 1024 * 1024;  // replies and events waiting for a client that does not read
    std::size_t connections = 64;
    std::size_t answering = 16;                 // requests of one connection answered at once
    std::chrono::milliseconds write{10'000};    // for one write to a client
};

// Listens on a Unix socket of the user's own (its folder 0700, the socket
// 0600, the peer's uid checked before a byte is read) and speaks the agent
// protocol (AgentProtocol.hpp): requests answered by the handler, each
// watcher sent the snapshot whole and then its changes, numbered.
class AgentServer {
public:
    AgentServer(boost::asio::io_context& context, AgentHandler& handler, AgentLimits limits = {});
    ~AgentServer();

    // Binds `socketPath` (replacing a stale socket; refusing a folder others
    // may enter or a path that is not a socket), or takes over `listeningFd`
    // (systemd's socket activation) when it is not negative. Throws std::system_error.
    void start(const std::filesystem::path& socketPath, int listeningFd = -1);
    // The model's newest snapshot: watchers are sent what changed, and those
    // that asked for the log its new lines (the log is not part of the stream's snapshot).
    void publish(const std::shared_ptr<const AppSnapshot>& snapshot);
    // Tells every watcher that the agent ends on purpose: a watcher need not start another.
    void sayStopping();
    // Closes the listener and every connection.
    void stop();

    std::uint64_t sequence() const noexcept;

private:
    friend class AgentSession;
    struct Impl;
    std::shared_ptr<Impl> impl_;
};

}  // namespace corvane
