// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <string_view>

#include <boost/asio/any_io_executor.hpp>

#include "Corvane/Platform/TunnelPlatform.hpp"

namespace corvane {

// The tunnel platform over corvane-tunnel's Unix socket; lives on the model's
// executor. One connection at a time, written by one writer in request order;
// every request gets an answer or fails after a timeout. Connects on first
// use; while someone observes a status it also reconnects by itself after the
// service went away (backing off), subscribes again and refreshes the statuses.
class ServiceTunnelPlatform final : public TunnelPlatform {
public:
    // Failures on this side of the socket; the service's own refusals keep its domain.
    static constexpr std::string_view errorDomain = "com.corvane.tunnel.client";
    struct ErrorCode {
        static constexpr std::int64_t unreachable = 1;   // lost, or an unexpected connection failure
        static constexpr std::int64_t refused = 2;       // a refusal that came without a reason
        static constexpr std::int64_t notRunning = 3;    // nobody listens on the socket
        static constexpr std::int64_t notPermitted = 4;  // the socket's file mode keeps this user out
        static constexpr std::int64_t noReply = 5;       // the service did not answer in time
    };

    struct Timing {
        std::chrono::milliseconds replyTimeout{30'000};  // longer than a stop of a stubborn engine takes
        std::chrono::milliseconds firstReconnect{250};   // then doubling up to lastReconnect
        std::chrono::milliseconds lastReconnect{5'000};
    };

    ServiceTunnelPlatform(boost::asio::any_io_executor executor, std::filesystem::path socketPath);
    ServiceTunnelPlatform(boost::asio::any_io_executor executor, std::filesystem::path socketPath, Timing timing);
    ~ServiceTunnelPlatform() override;

    // The service's greeting: its version and mode. Throws TunnelPlatformError.
    Async<ServiceReply> hello();

    Async<std::vector<TunnelProfile>> loadAllProfiles() override;
    Async<TunnelProfile> saveProfile(TunnelProfile profile) override;
    Async<TunnelProfile> loadProfile(std::string identifier) override;
    Async<void> removeProfile(std::string identifier) override;
    NEVPNStatus status(const std::string& identifier) override;
    Async<void> startTunnel(std::string identifier, std::map<std::string, std::string> options) override;
    Async<void> stopTunnel(std::string identifier, bool keepBlocking) override;
    KillSwitchState killSwitch() const override;
    std::optional<LockdownState> lockdown() const override;
    Async<void> setLockdown(LockdownState state) override;
    Async<std::optional<std::uint64_t>> rejectedPackets(std::string identifier) override;
    Async<std::optional<std::string>> sendProviderMessage(std::string identifier, std::string message) override;
    Async<std::optional<PlatformError>> fetchLastDisconnectError(std::string identifier) override;
    std::unique_ptr<StatusObservation> observeStatus(const std::string& identifier, std::function<void()> onChange) override;

    // Sends one request and waits for its reply; throws TunnelPlatformError when
    // the service cannot be reached or refuses the request.
    Async<ServiceReply> request(ServiceRequest request);

    struct Impl;

private:
    std::shared_ptr<Impl> impl_;
};

}  // namespace corvane
