// SPDX-License-Identifier: GPL-3.0-or-later
#include "CorvaneTunnel/TunnelService.hpp"

namespace corvane {

namespace {

ServiceReply refusal(std::int64_t code, std::string text) {
    ServiceReply r;
    r.ok = false;
    r.error = PlatformError{std::string(ServiceErrorDomain), code, std::move(text)};
    return r;
}

}  // namespace

TunnelService::TunnelService(ProfileStore& profiles, TunnelProvider& provider, ServiceMode mode, KillSwitch* killSwitch)
    : profiles_(profiles), provider_(provider), mode_(mode), killSwitch_(killSwitch) {
    provider_.onUnexpectedStop = [this](std::uint64_t generation, PlatformError error) {
        if (generation != generation_) return;  // news of a run that a later request already replaced
        lastDisconnectError_ = std::move(error);
        setStatus(NEVPNStatus::disconnected);
    };
}

void TunnelService::setStatus(NEVPNStatus status) {
    if (status_ == status) return;
    status_ = status;
    broadcastStatus();
}

void TunnelService::broadcastStatus() {
    if (server_ && active_) {
        ServiceReply event;
        event.event = "status";
        event.identifier = active_;
        event.status = static_cast<int>(status_);
        describeBlock(event);
        server_->broadcast(event);
    }
}

NEVPNStatus TunnelService::statusOf(const std::string& identifier) const {
    if (!profiles_.find(identifier)) return NEVPNStatus::invalid;
    return active_ == identifier ? status_ : NEVPNStatus::disconnected;
}

Async<ServiceReply> TunnelService::handle(ServiceRequest request) {
    const std::string& op = request.op;
    ServiceReply reply;
    if (op == ServiceOp::hello) {
        reply.version = CORVANE_VERSION;
        describeBlock(reply);
        countRejected(reply);
    } else if (op == ServiceOp::listProfiles) {
        reply.profiles = profiles_.all();
        describeBlock(reply);  // so that an app without a profile yet knows what this service can block
    } else if (op == ServiceOp::saveProfile) {
        if (!request.profile) co_return refusal(ServiceErrorCode::missingArgument, "saveProfile needs a profile");
        std::optional<std::string> tooMuch;
        try {
            reply.profile = profiles_.save(*request.profile);
        } catch (const ProfileLimitError& e) {
            tooMuch = e.what();
        }
        if (tooMuch) co_return refusal(ServiceErrorCode::limitExceeded, *tooMuch);
    } else if (op == ServiceOp::setLockdown) {
        co_return setLockdown(request);
    } else if (op == ServiceOp::loadProfile || op == ServiceOp::removeProfile || op == ServiceOp::status ||
               op == ServiceOp::startTunnel || op == ServiceOp::stopTunnel || op == ServiceOp::lastDisconnectError ||
               op == ServiceOp::providerMessage) {
        if (!request.identifier) co_return refusal(ServiceErrorCode::missingArgument, op + " needs a profile identifier");
        const std::string identifier = *request.identifier;
        if (op == ServiceOp::status) {
            reply.status = static_cast<int>(statusOf(identifier));
            describeBlock(reply);
            countRejected(reply);
            co_return reply;
        }
        auto profile = profiles_.find(identifier);
        if (!profile) co_return refusal(ServiceErrorCode::noSuchProfile, "there is no saved profile " + identifier);
        if (op == ServiceOp::loadProfile) {
            reply.profile = profile;
        } else if (op == ServiceOp::removeProfile) {
            // Gone first, so that no start for it can arrive while its tunnel stops.
            profiles_.remove(identifier);
            if (!active_ || active_ == identifier) {
                co_await stopTunnel(true);
                if (active_ == identifier) active_.reset();
            }
        } else if (op == ServiceOp::startTunnel) {
            co_return co_await startTunnel(request);
        } else if (op == ServiceOp::stopTunnel) {
            const bool keepBlocking = request.options && request.options->contains(std::string(StopOption::keepBlocking)) &&
                                      request.options->at(std::string(StopOption::keepBlocking)) == "true";
            // Answering ok would let the caller believe the tunnel is down while it still carries traffic.
            if (active_ && active_ != identifier && status_ != NEVPNStatus::disconnected) {
                co_return refusal(ServiceErrorCode::otherProfileRuns,
                                  "the tunnel runs another profile (" + *active_ + "), not " + identifier + "; nothing was stopped");
            }
            // With no tunnel up (or none since the service restarted) a stop ends what is left of the
            // last session, whichever profile asks: a block it restored may still stand. The
            // subscribers of the profile that asked then hear of it.
            active_ = identifier;
            co_await stopTunnel(!keepBlocking);
        } else if (op == ServiceOp::lastDisconnectError) {
            if (active_ == identifier) reply.lastDisconnectError = lastDisconnectError_;
        } else {
            bool running = active_ == identifier &&
                           (status_ == NEVPNStatus::connected || status_ == NEVPNStatus::connecting ||
                            status_ == NEVPNStatus::reasserting);
            if (running) reply.reply = co_await provider_.handleMessage(request.message.value_or(""));
        }
    } else {
        co_return refusal(ServiceErrorCode::unknownOperation, "unknown operation \"" + op + "\"");
    }
    co_return reply;
}

Async<ServiceReply> TunnelService::startTunnel(const ServiceRequest& request) {
    if (!profiles_.find(*request.identifier)->enabled) co_return refusal(ServiceErrorCode::profileDisabled, "the profile is not enabled");
    const std::uint64_t generation = ++generation_;
    if (active_ != *request.identifier) {
        if (active_ && status_ != NEVPNStatus::disconnected) {
            // Another profile's tunnel makes way for this one: whoever follows that profile hears it is down.
            status_ = NEVPNStatus::disconnected;
            broadcastStatus();
        }
        active_ = *request.identifier;
    }
    lastDisconnectError_.reset();
    setStatus(NEVPNStatus::connecting);
    // The start runs on its own; the caller learns the outcome through status events,
    // as the system's start call returns once the start request is accepted.
    spawnTask(co_await boost::asio::this_coro::executor,
              runStart(generation, request.options.value_or(std::map<std::string, std::string>{})));
    co_return ServiceReply{};
}

Async<void> TunnelService::runStart(std::uint64_t generation, std::map<std::string, std::string> options) {
    // Whatever runs or is still starting goes first; stopping interrupts a start that waits for its engine.
    co_await provider_.stop(generation);
    if (generation != generation_) co_return;
    std::optional<PlatformError> failure;
    try {
        co_await provider_.start(std::move(options), generation);
    } catch (const TunnelStartError& e) {
        failure = e.error();
    } catch (const std::exception& e) {
        failure = PlatformError{std::string(EngineErrorDomain), EngineErrorCode::startFailed, e.what()};
    }
    if (generation != generation_) co_return;  // superseded: the later request reports
    if (failure) {
        lastDisconnectError_ = std::move(failure);
        setStatus(NEVPNStatus::disconnected);
    } else {
        setStatus(NEVPNStatus::connected);
    }
}

Async<void> TunnelService::stopTunnel(bool release) {
    // Taken also when nothing runs: a start that arrives meanwhile must not have its block lifted.
    const std::uint64_t generation = ++generation_;
    if (status_ != NEVPNStatus::disconnected) {
        setStatus(NEVPNStatus::disconnecting);
        co_await provider_.stop(generation);
    }
    if (generation != generation_) co_return;
    const bool lifted = release && releaseBlock();
    // Stopped as asked: why an earlier run went down no longer describes the tunnel.
    const bool forgotten = lastDisconnectError_.has_value();
    lastDisconnectError_.reset();
    // Either is news by itself when the status stays the same.
    if (status_ == NEVPNStatus::disconnected && (lifted || forgotten)) broadcastStatus();
    setStatus(NEVPNStatus::disconnected);
}

Async<void> TunnelService::shutdown() {
    co_await provider_.stop(++generation_);
    // A restart or an upgrade while a session was meant to be up must not open
    // the machine: the table stays, and the next service start finds its intent.
    if (killSwitch_ && killSwitch_->engaged() && onServiceLine) {
        onServiceLine("INFO", killSwitch_->lockdown().enabled
                                  ? "traffic outside the tunnel stays blocked while the service is down: the tunnel is "
                                    "always required (corvane-tunnel --lift-block as root turns that off)"
                                  : "traffic outside the tunnel stays blocked while the service is down; "
                                    "disconnect, or run corvane-tunnel --lift-block as root, to lift it");
    }
}

bool TunnelService::releaseBlock() {
    if (!killSwitch_ || !killSwitch_->engaged()) return false;
    try {
        if (killSwitch_->lockdown().enabled) {
            // Lockdown keeps blocking with no tunnel up; only the session's openings go.
            const KillSwitchRules rules = killSwitch_->lockdownRules();
            if (killSwitch_->rules() == rules) return false;
            killSwitch_->engage(rules);
            if (onServiceLine) onServiceLine("INFO", "traffic outside the tunnel stays blocked: the tunnel is always required");
            return true;
        }
        killSwitch_->release();
        if (onServiceLine) onServiceLine("INFO", "traffic outside the tunnel is no longer blocked");
        return true;
    } catch (const std::exception& e) {
        // The table stays; the next stop tries again.
        if (onServiceLine) onServiceLine("ERROR", std::string("traffic outside the tunnel is still blocked: ") + e.what());
        return false;
    }
}

ServiceReply TunnelService::setLockdown(const ServiceRequest& request) {
    if (!killSwitch_) {
        return refusal(ServiceErrorCode::noKillSwitch,
                       mode_ == ServiceMode::user
                           ? "always requiring the tunnel needs the system tunnel service: in user mode nothing can be blocked"
                           : "this tunnel service runs without a kill switch (--no-kill-switch), so it cannot require the tunnel");
    }
    auto flag = [&](std::string_view key) -> std::optional<bool> {
        if (!request.options) return std::nullopt;
        auto found = request.options->find(std::string(key));
        if (found == request.options->end()) return std::nullopt;
        if (found->second == "true") return true;
        if (found->second == "false") return false;
        throw std::invalid_argument(std::string(key));
    };
    std::optional<bool> enabled, allowLAN;
    try {
        enabled = flag("enabled");
        allowLAN = flag("allowLAN");
    } catch (const std::invalid_argument& e) {
        return refusal(ServiceErrorCode::missingArgument, std::string("setLockdown: \"") + e.what() + "\" is true or false");
    }
    if (!enabled) return refusal(ServiceErrorCode::missingArgument, "setLockdown needs the option \"enabled\" (true or false)");
    const KillSwitch::Lockdown wanted{.enabled = *enabled, .allowLAN = allowLAN.value_or(killSwitch_->lockdown().allowLAN)};
    const bool wasBlocking = killSwitch_->engaged();
    try {
        killSwitch_->setLockdown(wanted);
        const std::optional<KillSwitchRules> current = killSwitch_->rules();
        if (wanted.enabled && !current) {
            killSwitch_->engage(killSwitch_->lockdownRules());
        } else if (!wanted.enabled && current && current->lockdown) {
            killSwitch_->release();
        } else if (current) {
            // A session's block keeps its openings; the LAN follows the setting.
            KillSwitchRules rules = *current;
            rules.allowLAN = wanted.enabled && wanted.allowLAN;
            if (rules != *current) killSwitch_->engage(rules);
        }
    } catch (const std::exception& e) {
        return refusal(ServiceErrorCode::blockFailed, std::string("the tunnel requirement could not be applied: ") + e.what());
    }
    if (onServiceLine) {
        onServiceLine("INFO", wanted.enabled ? std::string("the tunnel is always required from now on") +
                                                   (wanted.allowLAN ? " (the LAN stays reachable)" : "")
                                             : "the tunnel is no longer always required");
    }
    if (wasBlocking != killSwitch_->engaged()) broadcastStatus();
    ServiceReply reply;
    describeBlock(reply);
    return reply;
}

void TunnelService::describeBlock(ServiceReply& reply) const {
    // The mode says whether a missing `blocking` means "cannot block" (user mode) or "runs without a kill switch".
    reply.mode = mode_ == ServiceMode::system ? "system" : "user";
    if (!killSwitch_) return;
    reply.blocking = killSwitch_->engaged();
    reply.lockdown = killSwitch_->lockdown().enabled;
    if (killSwitch_->lockdown().enabled) reply.lockdownAllowsLAN = killSwitch_->lockdown().allowLAN;
}

void TunnelService::countRejected(ServiceReply& reply) const {
    if (killSwitch_) reply.rejectedPackets = killSwitch_->rejectedPackets();
}

}  // namespace corvane
