// SPDX-License-Identifier: GPL-3.0-or-later
#include "Corvane/Platform/ServiceActivationPlatform.hpp"

#include <cstdlib>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>

#include "Corvane/Platform/ServiceTunnelPlatform.hpp"
#include "CorvaneCore/Panel/Version.hpp"

namespace corvane {

std::filesystem::path preferredTunnelServiceSocket() {
    // A user-mode service beside a system one (or one on a socket of its own) is chosen by hand.
    if (const char* chosen = std::getenv("CORVANE_TUNNEL_SOCKET"); chosen && *chosen) return chosen;
    std::error_code ec;
    std::filesystem::path system(TunnelServiceEndpoint::systemSocketPath);
    if (std::filesystem::exists(system, ec)) return system;
    return TunnelServiceEndpoint::userSocketPath();
}

bool isServiceAccessRefusal(const PlatformError& error) {
    return (error.domain == ServiceTunnelPlatform::errorDomain && error.code == ServiceTunnelPlatform::ErrorCode::notPermitted) ||
           (error.domain == ServiceErrorDomain && error.code == ServiceErrorCode::notPermitted);
}

std::optional<std::string_view> serviceRefusalAdvice(const PlatformError& error) {
    using P = ServiceActivationPlatform;
    if (isServiceAccessRefusal(error)) return P::permissionText;
    if (error.domain == ServiceTunnelPlatform::errorDomain && error.code == ServiceTunnelPlatform::ErrorCode::notRunning) {
        return P::notRunningText;
    }
    if (error.domain != ServiceErrorDomain) return std::nullopt;
    switch (error.code) {
    case ServiceErrorCode::tooManyConnections: return P::tooManyConnectionsText;
    case ServiceErrorCode::peerCheckFailed: return P::peerCheckFailedText;
    case ServiceErrorCode::limitExceeded: return P::profileLimitText;
    default: return std::nullopt;
    }
}

ServiceActivationPlatform::ServiceActivationPlatform(boost::asio::any_io_executor executor, std::filesystem::path socketPath,
                                                     std::string appVersion)
    : executor_(std::move(executor)), socketPath_(std::move(socketPath)), appVersion_(std::move(appVersion)) {}

namespace {

Async<void> askService(boost::asio::any_io_executor executor, std::filesystem::path socketPath, std::string appVersion,
                       std::function<void(ActivationOutcome)> answer) {
    auto platform = std::make_shared<ServiceTunnelPlatform>(executor, socketPath);
    ActivationOutcome outcome;
    try {
        ServiceReply hello = co_await platform->hello();
        const bool older = hello.version && Version::compare(*hello.version, appVersion) < 0;
        outcome.kind = older ? ActivationOutcome::Kind::willCompleteAfterReboot : ActivationOutcome::Kind::completed;
    } catch (const TunnelPlatformError& e) {
        // Being let in is this user's approval step: the "corvane" group.
        if (isServiceAccessRefusal(e.error())) {
            outcome.kind = ActivationOutcome::Kind::needsUserApproval;
            answer(outcome);
            co_return;
        }
        outcome.kind = ActivationOutcome::Kind::failed;
        outcome.errorDomain = e.error().domain;
        outcome.errorCode = e.error().code;
        // A service that answers with a refusal is running: say what stands in the way.
        outcome.errorDescription =
            std::string(serviceRefusalAdvice(e.error()).value_or(ServiceActivationPlatform::notRunningText));
    }
    answer(outcome);
}

}  // namespace

void ServiceActivationPlatform::submitActivation(std::function<void(ActivationOutcome)> answer) {
    boost::asio::co_spawn(executor_, askService(executor_, socketPath_, appVersion_, std::move(answer)), boost::asio::detached);
}

}  // namespace corvane
