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
    // Replies and events waiting for a client that does not read; past it the client is dropped.
    std::size_t outbox = 4 * TunnelServiceEndpoint::maxMessageBytes;
    std::size_t connectionsPerUser = 16;
    std::chrono::milliseconds firstMessage{10'000};  // from connecting to the first whole line
    std::chrono::milliseconds idle{300'000};         // between requests, unless subscribed to events
    std::chrono::milliseconds unfinishedLine{30'000};  // from a line's first byte to its end
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

private:
    friend class ServiceSession;
    struct Impl;
    std::unique_ptr<Impl> impl_;
    std::filesystem::path socketPath_;
};

}  // namespace corvane
