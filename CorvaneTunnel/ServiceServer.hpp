#pragma once

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

// Listens on a Unix socket and speaks the service protocol: one JSON object a
// line each way, replies carrying the request's id, status events pushed to
// subscribers. Peers are checked with their socket credentials before a byte
// is read; every line is size-capped; a bad line gets an error reply and never
// stops the service.
class ServiceServer {
public:
    // Replies and events waiting for a client that does not read may fill this
    // much memory; past it the client is dropped.
    static constexpr std::size_t defaultOutboxLimit = 4 * TunnelServiceEndpoint::maxMessageBytes;

    ServiceServer(boost::asio::io_context& context, std::filesystem::path socketPath, ServiceMode mode,
                  ServiceHandler& handler, std::size_t outboxLimit = defaultOutboxLimit);
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
