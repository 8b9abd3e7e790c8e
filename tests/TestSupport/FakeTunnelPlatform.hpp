// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "Corvane/Platform/TunnelPlatform.hpp"

namespace corvane::testing {

// An in-memory platform that records what the controller asked of it.
class FakeTunnelPlatform final : public TunnelPlatform {
public:
    std::vector<TunnelProfile> profiles;
    std::optional<PlatformError> loadAllError, saveError, startError, stopError;
    std::map<std::string, NEVPNStatus> statuses;
    std::optional<PlatformError> lastDisconnectError;
    std::function<std::optional<std::string>(const std::string&)> provider;
    std::vector<std::string> calls;
    std::vector<std::map<std::string, std::string>> startOptions;
    int nextIdentifier = 1;
    // Run after a start or stop was recorded, e.g. to move the status as a service would.
    std::function<void(const std::string& identifier)> onStart, onStop;

    // Changes a connection's status and tells the observers, as the system does.
    void setStatus(const std::string& identifier, NEVPNStatus status) {
        statuses[identifier] = status;
        auto copy = observers_;
        for (auto& [id, entry] : copy) {
            if (entry.first == identifier) entry.second();
        }
    }
    std::size_t observerCount() const { return observers_.size(); }

    Async<std::vector<TunnelProfile>> loadAllProfiles() override {
        calls.push_back("loadAll");
        if (loadAllError) throw TunnelPlatformError(*loadAllError);
        co_return profiles;
    }
    Async<TunnelProfile> saveProfile(TunnelProfile profile) override {
        calls.push_back("save");
        if (saveError) throw TunnelPlatformError(*saveError);
        if (profile.identifier.empty()) profile.identifier = "profile-" + std::to_string(nextIdentifier++);
        bool replaced = false;
        for (auto& p : profiles) {
            if (p.identifier == profile.identifier) p = profile, replaced = true;
        }
        if (!replaced) profiles.push_back(profile);
        if (!statuses.count(profile.identifier)) statuses[profile.identifier] = NEVPNStatus::disconnected;
        co_return profile;
    }
    Async<TunnelProfile> loadProfile(std::string identifier) override {
        calls.push_back("load " + identifier);
        for (const auto& p : profiles) {
            if (p.identifier == identifier) co_return p;
        }
        throw TunnelPlatformError({"NEVPNErrorDomain", 1, "the profile is gone"});
    }
    Async<void> removeProfile(std::string identifier) override {
        calls.push_back("remove " + identifier);
        std::erase_if(profiles, [&](const TunnelProfile& p) { return p.identifier == identifier; });
        co_return;
    }
    NEVPNStatus status(const std::string& identifier) override {
        auto it = statuses.find(identifier);
        return it == statuses.end() ? NEVPNStatus::invalid : it->second;
    }
    Async<void> startTunnel(std::string identifier, std::map<std::string, std::string> options) override {
        calls.push_back("start " + identifier);
        if (startError) throw TunnelPlatformError(*startError);
        startOptions.push_back(std::move(options));
        if (onStart) onStart(identifier);
        co_return;
    }
    Async<void> stopTunnel(std::string identifier, bool /*keepBlocking*/) override {
        calls.push_back("stop " + identifier);
        if (stopError) throw TunnelPlatformError(*stopError);
        if (onStop) onStop(identifier);
        co_return;
    }
    Async<std::optional<std::string>> sendProviderMessage(std::string identifier, std::string message) override {
        calls.push_back("message " + identifier + " " + message);
        co_return provider ? provider(message) : std::nullopt;
    }
    Async<std::optional<PlatformError>> fetchLastDisconnectError(std::string identifier) override {
        calls.push_back("lastError " + identifier);
        co_return lastDisconnectError;
    }
    std::unique_ptr<StatusObservation> observeStatus(const std::string& identifier, std::function<void()> onChange) override {
        int key = nextObserver_++;
        observers_[key] = {identifier, std::move(onChange)};
        return std::make_unique<Observation>(this, key);
    }

private:
    struct Observation final : StatusObservation {
        Observation(FakeTunnelPlatform* p, int k) : platform(p), key(k) {}
        ~Observation() override { platform->observers_.erase(key); }
        FakeTunnelPlatform* platform;
        int key;
    };
    std::map<int, std::pair<std::string, std::function<void()>>> observers_;
    int nextObserver_ = 0;
};

}  // namespace corvane::testing
