// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "CorvaneTunnel/KillSwitch.hpp"
#include "CorvaneTunnel/ProfileStore.hpp"
#include "CorvaneTunnel/ServiceServer.hpp"
#include "CorvaneTunnel/TunnelProvider.hpp"

namespace corvane {

// The service's answers to the app: saved profiles, the one tunnel and its
// status, provider messages. Runs on the server's io_context.
class TunnelService final : public ServiceHandler {
public:
    // `killSwitch`: the block of traffic outside the tunnel that the provider
    // sets on a start; this lifts it on an explicit stop and a removal of the
    // profile, unless the tunnel is always required (none: no kill switch).
    TunnelService(ProfileStore& profiles, TunnelProvider& provider, ServiceMode mode, KillSwitch* killSwitch = nullptr);

    // Where status events go; set before the first request.
    void setServer(ServiceServer* server) { server_ = server; }

    Async<ServiceReply> handle(ServiceRequest request) override;

    NEVPNStatus status() const noexcept { return status_; }
    // Told the lines the service logs about itself (level, text).
    std::function<void(const std::string&, const std::string&)> onServiceLine;
    // Takes the tunnel down before the service ends; a block stays in place.
    Async<void> shutdown();

private:
    Async<ServiceReply> startTunnel(const ServiceRequest& request);
    Async<void> runStart(std::uint64_t generation, std::map<std::string, std::string> options);
    // `release`: also lift the block of traffic outside the tunnel.
    Async<void> stopTunnel(bool release);
    // Whether the block changed: lifted, or narrowed to the lockdown's.
    bool releaseBlock();
    ServiceReply setLockdown(const ServiceRequest& request);
    void broadcastStatus();
    // The mode, and whether traffic outside the tunnel is blocked when this service has a kill switch.
    void describeBlock(ServiceReply& reply) const;
    // The block's counter of refused packets, while it is loaded (one nftables
    // query, so only for requests, never for every status event).
    void countRejected(ServiceReply& reply) const;
    NEVPNStatus statusOf(const std::string& identifier) const;
    void setStatus(NEVPNStatus status);

    ProfileStore& profiles_;
    TunnelProvider& provider_;
    ServiceMode mode_;
    KillSwitch* killSwitch_;
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
