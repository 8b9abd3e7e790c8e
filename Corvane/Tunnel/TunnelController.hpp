// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include <boost/asio/any_io_executor.hpp>

#include "Corvane/Platform/TunnelPlatform.hpp"
#include "CorvaneCore/Support/RecordCoding.hpp"
#include "CorvaneCore/Support/Task.hpp"
#include "CorvaneCore/Tunnel/TunnelIPC.hpp"

namespace corvane {

// Owns the app's VPN profile and the running tunnel: saves and starts it,
// follows its status and the reason for an unexpected drop, and carries
// provider messages. Lives on the model's thread.
class TunnelController {
public:
    TunnelController(boost::asio::any_io_executor executor, std::shared_ptr<TunnelPlatform> platform);
    ~TunnelController();
    TunnelController(const TunnelController&) = delete;
    TunnelController& operator=(const TunnelController&) = delete;

    NEVPNStatus status() const noexcept { return status_; }
    // Why the last session went down unexpectedly, while no session has begun
    // or been ended by a stop since (the service keeps it across processes).
    const std::optional<std::string>& lastError() const noexcept { return lastError_; }
    // "connect_fail" or "singbox_exit" for the last unexpected drop.
    const std::optional<std::string>& lastErrorTrigger() const noexcept { return lastErrorTrigger_; }
    bool hasProfile() const noexcept { return manager_.has_value(); }
    // Traffic outside the tunnel is blocked (system mode's kill switch), also
    // while the tunnel is down after a failure, until the user disconnects.
    bool trafficBlocked() const { return platform_->killSwitch() == KillSwitchState::blocking; }
    // Whether the service blocks, could block, or cannot (user mode), as it last said.
    KillSwitchState killSwitch() const { return platform_->killSwitch(); }
    // Whether the service always requires the tunnel, as it last said.
    std::optional<LockdownState> lockdown() const { return platform_->lockdown(); }
    // Sets it for the whole machine. Throws TunnelPlatformError with the service's reason.
    Async<void> setLockdown(LockdownState state) { return platform_->setLockdown(state); }

    // The packets the kill switch refused so far; nothing without a loaded block. Never fails.
    Async<std::optional<std::uint64_t>> rejectedPackets();

    // Called after every change of status, lastError or lastErrorTrigger.
    void setOnChange(std::function<void()> onChange) { onChange_ = std::move(onChange); }

    // Finds the app's saved profile, if any, and why its last session failed. Never fails.
    Async<void> load();
    // Saves the profile (the one already saved, when this controller holds none
    // yet) and starts the tunnel with `config`. Throws TunnelPlatformError.
    Async<void> connect(std::string config, std::string panelHost);
    // Asks the tunnel to stop and waits for the service's answer; keeps the
    // profile. `forReconnect`: the first half of a reconnect, so a block of
    // traffic outside the tunnel (system mode) stays up until the next connect.
    // Throws TunnelPlatformError when the service refuses (another profile's
    // tunnel runs) or cannot be reached.
    Async<void> stop(bool forReconnect = false);
    // stop() without waiting: the outcome shows in the status only.
    void disconnect();
    void disconnectForReconnect();
    // Stops the tunnel and deletes the profile. Never fails.
    Async<void> remove();

    // Sends one request to the running provider and decodes its reply as `Reply`;
    // nothing on any failure (no profile, not running, no reply, undecodable reply).
    template <Record Reply, class Request>
    Async<std::optional<Reply>> send(const Request& request) {
        std::optional<std::string> message;
        try {
            message = encodeJSON(request);
        } catch (const std::exception&) {
        }
        if (!message) co_return std::nullopt;
        auto reply = co_await sendMessage(std::move(*message));
        if (!reply) co_return std::nullopt;
        try {
            co_return decodeJSON<Reply>(std::string_view(*reply));
        } catch (const DecodingError&) {
        }
        co_return std::nullopt;
    }

    // The raw exchange behind send(): the reply text, or nothing.
    Async<std::optional<std::string>> sendMessage(std::string message);

private:
    // The app's profile among the saved ones: the one whose tunnel is up, else the first.
    std::optional<TunnelProfile> appProfile(std::vector<TunnelProfile> profiles) const;
    Async<void> saveAndStart(std::string config, std::string panelHost);
    static Async<void> stopProfile(std::weak_ptr<TunnelController*> controller, std::shared_ptr<TunnelPlatform> platform,
                                   std::string identifier, bool forReconnect);
    void stopInBackground(bool forReconnect);
    // A session began or was ended on request: an earlier failure is history.
    // True when there was one to forget.
    bool forgetLastError();
    // Asks the service why the held profile's last session went down. `refreshOnly`:
    // only drop an error the service no longer reports.
    void fetchLastError(NEVPNStatus previous, bool refreshOnly);
    void observe();
    void handleStatusChange();
    void changed();

    boost::asio::any_io_executor executor_;
    std::shared_ptr<TunnelPlatform> platform_;
    std::optional<TunnelProfile> manager_;
    std::unique_ptr<StatusObservation> statusObserver_;
    NEVPNStatus status_ = NEVPNStatus::invalid;
    std::optional<std::string> lastError_;
    std::optional<std::string> lastErrorTrigger_;
    // Counts forgetLastError(): a lookup answered after a later one does not apply.
    std::uint64_t errorEpoch_ = 0;
    std::function<void()> onChange_;
    // Background work holds this weakly, so it does nothing once the controller is gone.
    std::shared_ptr<TunnelController*> self_;
};

}  // namespace corvane
