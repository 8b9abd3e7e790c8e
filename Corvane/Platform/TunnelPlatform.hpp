// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// What the tunnel controller needs from the system: saved VPN profiles, the
// tunnel connection of a profile, provider messages and status changes. On
// Linux the tunnel service (corvane-tunnel) provides all of it over its socket.

#include <cstdint>
#include <exception>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "CorvaneCore/Tunnel/TunnelServiceProtocol.hpp"
#include "CorvaneCore/Support/Task.hpp"

namespace corvane {

// Ends a status observation when destroyed.
class StatusObservation {
public:
    virtual ~StatusObservation() = default;
};

class TunnelPlatform {
public:
    virtual ~TunnelPlatform() = default;

    // The app's saved profiles; throws TunnelPlatformError when they cannot be read.
    virtual Async<std::vector<TunnelProfile>> loadAllProfiles() = 0;
    // Saves the profile and returns it as stored (with its identifier). Throws TunnelPlatformError.
    virtual Async<TunnelProfile> saveProfile(TunnelProfile profile) = 0;
    // Reads a saved profile back. Throws TunnelPlatformError.
    virtual Async<TunnelProfile> loadProfile(std::string identifier) = 0;
    // Throws TunnelPlatformError.
    virtual Async<void> removeProfile(std::string identifier) = 0;

    // The status of the profile's connection as last known.
    virtual NEVPNStatus status(const std::string& identifier) = 0;
    // Starts the tunnel with the given options. Throws TunnelPlatformError.
    virtual Async<void> startTunnel(std::string identifier, std::map<std::string, std::string> options) = 0;
    // Stops the profile's tunnel and waits for the answer; the status changes follow
    // as notifications. `keepBlocking`: the stop is the first half of a reconnect,
    // so where the service blocks traffic outside the tunnel, the block stays until
    // the next start. Throws TunnelPlatformError when the stop is refused (another
    // profile's tunnel runs) or the service cannot be reached.
    virtual Async<void> stopTunnel(std::string identifier, bool keepBlocking) = 0;
    // Whether the service blocks traffic outside the tunnel right now (its kill
    // switch: from a connect until an explicit disconnect), or could; observers
    // of a status hear of its changes too.
    virtual KillSwitchState killSwitch() const { return KillSwitchState::unknown; }
    // Whether the service always requires the tunnel, as it last said; nothing
    // before it said or where it cannot block. Observers hear of its changes.
    virtual std::optional<LockdownState> lockdown() const { return std::nullopt; }
    // Sets it for the whole machine. Throws TunnelPlatformError with the service's reason.
    virtual Async<void> setLockdown(LockdownState /*state*/) {
        throw TunnelPlatformError(PlatformError{std::string(ServiceErrorDomain), ServiceErrorCode::noKillSwitch,
                                                "this tunnel service cannot require the tunnel"});
        co_return;
    }
    // Asks the service how many packets its block refused so far; nothing when
    // no block is loaded or the service does not answer. Never fails.
    virtual Async<std::optional<std::uint64_t>> rejectedPackets(std::string /*identifier*/) { co_return std::nullopt; }
    // Sends one message to the running provider; nothing when it did not answer.
    virtual Async<std::optional<std::string>> sendProviderMessage(std::string identifier, std::string message) = 0;
    virtual Async<std::optional<PlatformError>> fetchLastDisconnectError(std::string identifier) = 0;
    // `onChange` runs on the model's executor after every status change of the profile's connection.
    virtual std::unique_ptr<StatusObservation> observeStatus(const std::string& identifier, std::function<void()> onChange) = 0;
};

}  // namespace corvane
