// SPDX-License-Identifier: GPL-3.0-or-later
#include "Corvane/Tunnel/TunnelController.hpp"

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>

#include "Corvane/Platform/ServiceActivationPlatform.hpp"

namespace corvane {

namespace {

bool sessionUp(NEVPNStatus s) {
    return s == NEVPNStatus::connecting || s == NEVPNStatus::connected || s == NEVPNStatus::reasserting ||
           s == NEVPNStatus::disconnecting;
}

// Asks why the profile's last session went down and hands on the answer; a
// service that cannot be asked leaves what is known as it is.
Async<void> lookUpDisconnectError(std::shared_ptr<TunnelPlatform> platform, std::string identifier,
                                  std::function<void(std::optional<PlatformError>)> apply) {
    std::optional<PlatformError> error;
    try {
        error = co_await platform->fetchLastDisconnectError(std::move(identifier));
    } catch (const std::exception&) {
        co_return;
    }
    apply(std::move(error));
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

std::optional<TunnelProfile> TunnelController::appProfile(std::vector<TunnelProfile> profiles) const {
    // Earlier versions could save more than one; a stop must reach the one that runs.
    std::optional<TunnelProfile> first;
    for (auto& profile : profiles) {
        if (profile.providerBundleIdentifier != TunnelIPC::providerBundleIdentifier) continue;
        if (sessionUp(platform_->status(profile.identifier))) return std::move(profile);
        if (!first) first = std::move(profile);
    }
    return first;
}

Async<void> TunnelController::load() {
    std::vector<TunnelProfile> profiles;
    try {
        profiles = co_await platform_->loadAllProfiles();
    } catch (const std::exception&) {
        // Unreadable preferences read as no profile.
    }
    manager_ = appProfile(std::move(profiles));
    observe();
    if (!manager_) co_return;
    if (status_ != NEVPNStatus::disconnected) {
        if (sessionUp(status_) && forgetLastError()) changed();
        co_return;
    }
    // A session that failed before this controller existed still shows as failed.
    const std::string identifier = manager_->identifier;
    const std::uint64_t epoch = errorEpoch_;
    std::optional<PlatformError> error;
    try {
        error = co_await platform_->fetchLastDisconnectError(identifier);
    } catch (const std::exception&) {
        co_return;
    }
    if (epoch != errorEpoch_ || !manager_ || manager_->identifier != identifier || status_ != NEVPNStatus::disconnected) {
        co_return;
    }
    if (error) {
        lastError_ = error->localizedDescription;
        lastErrorTrigger_.reset();  // this controller did not see it happen, so it reports nothing
        changed();
    } else if (forgetLastError()) {
        changed();
    }
}

bool TunnelController::forgetLastError() {
    ++errorEpoch_;
    const bool had = lastError_ || lastErrorTrigger_;
    lastError_.reset();
    lastErrorTrigger_.reset();
    return had;
}

Async<void> TunnelController::connect(std::string config, std::string panelHost) {
    forgetLastError();
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
    std::optional<TunnelProfile> existing = manager_;
    if (!existing) {
        // Saved by another process of the app, or found now that the service is up:
        // a second profile would leave this one's tunnel out of reach of the others.
        std::vector<TunnelProfile> profiles;
        try {
            profiles = co_await platform_->loadAllProfiles();
        } catch (const std::exception&) {
            // The save below says what is wrong.
        }
        existing = appProfile(std::move(profiles));
    }
    TunnelProfile profile = existing.value_or(TunnelProfile{});
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

Async<void> TunnelController::stopProfile(std::weak_ptr<TunnelController*> controller, std::shared_ptr<TunnelPlatform> platform,
                                          std::string identifier, bool forReconnect) {
    co_await platform->stopTunnel(std::move(identifier), forReconnect);
    // Ended on request: a failure before it no longer describes the tunnel.
    if (auto self = controller.lock()) {
        if ((*self)->forgetLastError()) (*self)->changed();
    }
}

Async<void> TunnelController::stop(bool forReconnect) {
    if (!manager_) co_return;
    co_await stopProfile(self_, platform_, manager_->identifier, forReconnect);
}

void TunnelController::stopInBackground(bool forReconnect) {
    if (!manager_) return;
    auto quietly = [](Async<void> stop) -> Async<void> {
        try {
            co_await std::move(stop);
        } catch (const std::exception&) {
            // The status says whether the tunnel went down.
        }
    };
    boost::asio::co_spawn(executor_, quietly(stopProfile(self_, platform_, manager_->identifier, forReconnect)),
                          boost::asio::detached);
}

void TunnelController::disconnect() { stopInBackground(false); }

void TunnelController::disconnectForReconnect() { stopInBackground(true); }

Async<void> TunnelController::remove() {
    if (manager_) {
        try {
            co_await platform_->stopTunnel(manager_->identifier, false);
        } catch (const std::exception&) {
        }
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
    // A session begins, whoever started it: an earlier failure is history.
    if (status_ == NEVPNStatus::connecting && previous != NEVPNStatus::connecting) forgetLastError();
    changed();
    if (status_ != NEVPNStatus::disconnected) return;
    if (previous == NEVPNStatus::connecting || previous == NEVPNStatus::connected) {
        fetchLastError(previous, false);
    } else if (previous == NEVPNStatus::disconnected && lastError_) {
        // The service also speaks up when a failed session was ended since (a stop by another process).
        fetchLastError(previous, true);
    }
}

void TunnelController::fetchLastError(NEVPNStatus previous, bool refreshOnly) {
    auto apply = [weak = std::weak_ptr<TunnelController*>(self_), identifier = manager_->identifier, epoch = errorEpoch_,
                  previous, refreshOnly](std::optional<PlatformError> error) {
        auto self = weak.lock();
        if (!self) return;
        TunnelController& c = **self;
        // A session begun or stopped meanwhile, or another profile, makes the answer stale.
        if (c.errorEpoch_ != epoch || !c.manager_ || c.manager_->identifier != identifier ||
            c.status_ != NEVPNStatus::disconnected) {
            return;
        }
        if (!error) {
            if (c.forgetLastError()) c.changed();  // a clean end
            return;
        }
        if (refreshOnly) return;
        std::optional<std::string> trigger;
        if (previous == NEVPNStatus::connecting) {
            trigger = "connect_fail";
        } else if (error->domain != NEVPNConnectionErrorDomain) {
            trigger = "singbox_exit";
        }
        c.lastErrorTrigger_ = std::move(trigger);
        c.lastError_ = error->localizedDescription;
        c.changed();
    };
    boost::asio::co_spawn(executor_, lookUpDisconnectError(platform_, manager_->identifier, std::move(apply)),
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
