// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <chrono>
#include <cstddef>
#include <filesystem>
#include <functional>
#include <memory>
#include <set>
#include <string>

#include <boost/asio/io_context.hpp>

#include "CorvaneCore/Support/Task.hpp"
#include "CorvaneCore/Tunnel/TunnelServiceProtocol.hpp"
#include "CorvaneTunnel/PeerCredentials.hpp"

namespace corvane {

class ServiceSession;

// Answers the requests of one client; runs on the server's io_context.
class ServiceHandler {
public:
    virtual ~ServiceHandler() = default;
    virtual Async<ServiceReply> handle(ServiceRequest request) = 0;
};

// What one client may make the service hold. Members of the access group
// share the service, so none of them may deny it to the others.
struct ServiceLimits {
    // Replies and events waiting for one connection that does not read; past it the connection is
    // dropped. Room for one reply as long as a message may be, and the events that queue beside it.
    std::size_t outbox = TunnelServiceEndpoint::maxMessageBytes + 1024 * 1024;
    // The same for all of one user's connections together: otherwise each connection the user may
    // open could hold a full outbox. Past it, the connection whose reply or event does not fit is dropped.
    std::size_t userOutbox = 2 * TunnelServiceEndpoint::maxMessageBytes;
    // Unfinished messages all of one user's connections hold together: each may send a message as
    // long as one may be, but not all of them at once. Past it, the connection that adds is dropped.
    std::size_t userInbox = 2 * TunnelServiceEndpoint::maxMessageBytes;
    // Requests of one connection being answered at once. At the limit the service reads no more from
    // that connection until an answer is out, so that pipelined requests cannot build up replies
    // faster than the outbox limits are checked.
    std::size_t answering = 8;
    std::size_t connectionsPerUser = 16;
    std::chrono::milliseconds firstMessage{10'000};  // from connecting to the first whole line
    std::chrono::milliseconds idle{300'000};         // between requests, unless subscribed to events
    std::chrono::milliseconds unfinishedLine{30'000};  // from a line's first byte to its end
    // For one write to a client to complete. A client that stops reading (a subscriber that hangs,
    // say) is dropped after it, so that it holds neither its outbox nor its place for long.
    std::chrono::milliseconds write{10'000};
};

// Listens on a Unix socket and speaks the service protocol: one JSON object a
// line each way, replies carrying the request's id, status events pushed to
// subscribers. Peers are checked with their socket credentials before a byte
// is read; every line is size-capped; a bad line gets an error reply and never
// stops the service.
class ServiceServer {
public:
    using Limits = ServiceLimits;

    ServiceServer(boost::asio::io_context& context, std::filesystem::path socketPath, ServiceMode mode,
                  ServiceHandler& handler, Limits limits = {});
    ~ServiceServer();

    // Binds the socket (replacing a stale one), sets its permissions and starts accepting. Throws std::system_error.
    void start();
    // Sends an event to every subscribed client.
    void broadcast(const ServiceReply& event);
    // Closes the listener and every connection.
    void stop();

    const std::filesystem::path& socketPath() const noexcept { return socketPath_; }
    // The bytes of replies and events that wait to be written to the user's connections,
    // as counted against ServiceLimits::userOutbox. Call on the server's io_context.
    std::size_t queuedBytes(uid_t uid) const;

private:
    friend class ServiceSession;
    struct Impl;
    std::unique_ptr<Impl> impl_;
    std::filesystem::path socketPath_;
};

}  // namespace corvane
