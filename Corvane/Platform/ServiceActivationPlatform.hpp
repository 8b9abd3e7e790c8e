// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <string_view>

#include <boost/asio/any_io_executor.hpp>

#include "Corvane/Platform/ExtensionActivationPlatform.hpp"
#include "CorvaneCore/Tunnel/TunnelServiceProtocol.hpp"

namespace corvane {

// $CORVANE_TUNNEL_SOCKET when set; else the system service's socket when it exists,
// else the user service's.
std::filesystem::path preferredTunnelServiceSocket();

// True when `error` says this user may not use the tunnel service (by the
// socket's file mode or by the service's own check).
bool isServiceAccessRefusal(const PlatformError& error);

// What a person can do about `error` from the tunnel service, in words, when
// it is one of the service's refusals (not running, access, limits); nothing otherwise.
std::optional<std::string_view> serviceRefusalAdvice(const PlatformError& error);

// On Linux the tunnel component is corvane-tunnel: it is "active" when it
// answers and lets this user in, "needs approval" when it refuses this user
// (the "corvane" group), and "needs a restart" when the running service is
// older than the app.
class ServiceActivationPlatform final : public ExtensionActivationPlatform {
public:
    ServiceActivationPlatform(boost::asio::any_io_executor executor, std::filesystem::path socketPath, std::string appVersion);

    bool appIsInSupportedLocation() override { return true; }  // any install location works
    void submitActivation(std::function<void(ActivationOutcome)> answer) override;
    void openApprovalSettings() override {}  // nothing to approve in a settings pane

    static constexpr std::string_view notRunningText =
        "The Corvane tunnel service is not running. Start it with \"sudo systemctl enable --now corvane-tunnel\", "
        "or run \"corvane-tunnel --user\" to use the tunnel as a local proxy without administrator rights.";
    static constexpr std::string_view permissionText =
        "Your user may not use the Corvane tunnel service. Add it to the \"corvane\" group with "
        "\"sudo usermod -aG corvane $USER\", then sign out and in again.";
    static constexpr std::string_view tooManyConnectionsText =
        "Your user has as many connections to the Corvane tunnel service open as it allows. "
        "Close Corvane windows and corvanectl commands that are still running, then try again.";
    static constexpr std::string_view peerCheckFailedText =
        "The Corvane tunnel service could not look up your user's groups (it may be out of file descriptors). "
        "Try again in a moment; if it keeps happening, restart it with \"sudo systemctl restart corvane-tunnel\".";
    static constexpr std::string_view profileLimitText =
        "The Corvane tunnel service keeps no more VPN profiles. Ask its administrator to remove the saved profiles "
        "that are no longer used.";

private:
    boost::asio::any_io_executor executor_;
    std::filesystem::path socketPath_;
    std::string appVersion_;
};

}  // namespace corvane
