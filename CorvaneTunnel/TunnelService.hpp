#pragma once

#include <memory>
#include <optional>
#include <string>

#include "CorvaneTunnel/ProfileStore.hpp"
#include "CorvaneTunnel/ServiceServer.hpp"
#include "CorvaneTunnel/TunnelProvider.hpp"

namespace corvane {

// The service's answers to the app: saved profiles, the one tunnel and its
// status, provider messages. Runs on the server's io_context.
class TunnelService final : public ServiceHandler {
public:
    TunnelService(ProfileStore& profiles, TunnelProvider& provider, ServiceMode mode);

    // Where status events go; set before the first request.
    void setServer(ServiceServer* server) { server_ = server; }

    Async<ServiceReply> handle(ServiceRequest request) override;

    NEVPNStatus status() const noexcept { return status_; }
    // Takes the tunnel down before the service ends.
    Async<void> shutdown();

private:
    Async<ServiceReply> startTunnel(const ServiceRequest& request);
    Async<void> runStart(std::uint64_t generation, std::map<std::string, std::string> options);
    Async<void> stopTunnel();
    NEVPNStatus statusOf(const std::string& identifier) const;
    void setStatus(NEVPNStatus status);

    ProfileStore& profiles_;
    TunnelProvider& provider_;
    ServiceMode mode_;
    ServiceServer* server_ = nullptr;
    // The profile whose tunnel runs or ran last, its status and why it last went down.
    std::optional<std::string> active_;
    NEVPNStatus status_ = NEVPNStatus::disconnected;
    std::optional<PlatformError> lastDisconnectError_;
    // The tunnel's generation: every start and stop request takes the next one
    // as it arrives, and whatever waited re-checks it afterwards. Only the
    // latest request reports a status or an error.
    std::uint64_t generation_ = 0;
};

}  // namespace corvane
