#include "Corvane/Tunnel/TunnelController.hpp"

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>

#include "Corvane/Platform/ServiceActivationPlatform.hpp"

namespace corvane {

namespace {

// Records the reason of an unexpected drop once the platform tells it.
Async<void> recordDisconnectError(std::weak_ptr<TunnelController*> controller, std::shared_ptr<TunnelPlatform> platform,
                                  std::string identifier, NEVPNStatus previous,
                                  std::function<void(std::optional<std::string>, std::string)> apply) {
    std::optional<PlatformError> error;
    try {
        error = co_await platform->fetchLastDisconnectError(std::move(identifier));
    } catch (const std::exception&) {
    }
    if (!error || controller.expired()) co_return;
    std::optional<std::string> trigger;
    if (previous == NEVPNStatus::connecting) {
        trigger = "connect_fail";
    } else if (error->domain != NEVPNConnectionErrorDomain) {
        trigger = "singbox_exit";
    }
    apply(std::move(trigger), error->localizedDescription);
}

}  // namespace

TunnelController::TunnelController(boost::asio::any_io_executor executor, std::shared_ptr<TunnelPlatform> platform)
    : executor_(std::move(executor)), platform_(std::move(platform)), self_(std::make_shared<TunnelController*>(this)) {}

TunnelController::~TunnelController() {
    statusObserver_.reset();
    self_.reset();
}

void TunnelController::changed() {
    if (onChange_) onChange_();
}

Async<void> TunnelController::load() {
    std::vector<TunnelProfile> profiles;
    try {
        profiles = co_await platform_->loadAllProfiles();
    } catch (const std::exception&) {
        // Unreadable preferences read as no profile.
    }
    manager_.reset();
    for (auto& profile : profiles) {
        if (profile.providerBundleIdentifier == TunnelIPC::providerBundleIdentifier) {
            manager_ = std::move(profile);
            break;
        }
    }
    observe();
}

Async<void> TunnelController::connect(std::string config, std::string panelHost) {
    lastError_.reset();
    changed();
    try {
        co_await saveAndStart(std::move(config), std::move(panelHost));
    } catch (const TunnelPlatformError& e) {
        // The service's refusals (limits, access) get the words that say what to do.
        auto advice = serviceRefusalAdvice(e.error());
        if (!advice) throw;
        throw TunnelPlatformError({e.error().domain, e.error().code, std::string(*advice)});
    }
}

Async<void> TunnelController::saveAndStart(std::string config, std::string panelHost) {
    TunnelProfile profile = manager_.value_or(TunnelProfile{});
    profile.providerBundleIdentifier = std::string(TunnelIPC::providerBundleIdentifier);
    profile.serverAddress = std::move(panelHost);
    profile.localizedDescription = "Corvane";
    profile.enabled = true;
    TunnelProfile saved = co_await platform_->saveProfile(std::move(profile));
    std::string identifier = saved.identifier;
    TunnelProfile loaded = co_await platform_->loadProfile(std::move(identifier));
    manager_ = std::move(loaded);
    observe();
    std::map<std::string, std::string> options{{std::string(TunnelIPC::StartOption::config), std::move(config)}};
    co_await platform_->startTunnel(manager_->identifier, std::move(options));
}

void TunnelController::disconnect() {
    if (manager_) platform_->stopTunnel(manager_->identifier);
}

void TunnelController::disconnectForReconnect() {
    if (manager_) platform_->stopTunnelForReconnect(manager_->identifier);
}

Async<void> TunnelController::remove() {
    if (manager_) {
        platform_->stopTunnel(manager_->identifier);
        try {
            co_await platform_->removeProfile(manager_->identifier);
        } catch (const std::exception&) {
        }
    }
    manager_.reset();
    observe();
}

void TunnelController::observe() {
    statusObserver_.reset();
    if (manager_) {
        status_ = platform_->status(manager_->identifier);
        std::weak_ptr<TunnelController*> weak = self_;
        statusObserver_ = platform_->observeStatus(manager_->identifier, [weak] {
            if (auto self = weak.lock()) (*self)->handleStatusChange();
        });
    } else {
        status_ = NEVPNStatus::invalid;
    }
    changed();
}

void TunnelController::handleStatusChange() {
    if (!manager_) return;
    const NEVPNStatus previous = status_;
    status_ = platform_->status(manager_->identifier);
    changed();
    if (status_ != NEVPNStatus::disconnected ||
        (previous != NEVPNStatus::connecting && previous != NEVPNStatus::connected)) {
        return;
    }
    auto apply = [weak = std::weak_ptr<TunnelController*>(self_)](std::optional<std::string> trigger, std::string text) {
        auto self = weak.lock();
        if (!self) return;
        TunnelController& controller = **self;
        controller.lastErrorTrigger_ = std::move(trigger);
        controller.lastError_ = std::move(text);
        controller.changed();
    };
    boost::asio::co_spawn(executor_, recordDisconnectError(self_, platform_, manager_->identifier, previous, std::move(apply)),
                          boost::asio::detached);
}

Async<std::optional<std::uint64_t>> TunnelController::rejectedPackets() {
    if (!manager_) co_return std::nullopt;
    co_return co_await platform_->rejectedPackets(manager_->identifier);
}

Async<std::optional<std::string>> TunnelController::sendMessage(std::string message) {
    if (!manager_) co_return std::nullopt;
    if (status_ != NEVPNStatus::connected && status_ != NEVPNStatus::reasserting && status_ != NEVPNStatus::connecting) {
        co_return std::nullopt;
    }
    try {
        co_return co_await platform_->sendProviderMessage(manager_->identifier, std::move(message));
    } catch (const std::exception&) {
    }
    co_return std::nullopt;
}

}  // namespace corvane
