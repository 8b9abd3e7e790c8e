// SPDX-License-Identifier: GPL-3.0-or-later
// The live part of a connected session: the engine's endpoint, traffic rates
// and totals, delays and the outbound in use.
#include <boost/asio/this_coro.hpp>

#include "Corvane/Model/AppModel.hpp"

namespace corvane {

namespace {

constexpr const char* selectorGroup = "proxy";
constexpr const char* automaticGroup = "proxy-auto";
constexpr std::size_t historyKept = 60;

// True once the running task was cancelled. Read directly: awaiting another
// coroutine in a cancelled task throws instead of answering.
#define CORVANE_CANCELLED() \
    ((co_await boost::asio::this_coro::cancellation_state).cancelled() != boost::asio::cancellation_type::none)

bool sameEndpoint(const std::shared_ptr<ClashClient>& a, const std::shared_ptr<ClashClient>& b) {
    return a && b && a->port() == b->port() && a->secret() == b->secret();
}

}  // namespace

std::shared_ptr<ClashClient> AppModel::makeClashClient(const TunnelIPC::StatusReply& reply) const {
    // A service that names no owner runs the engine as this user.
    std::optional<std::uint32_t> owner;
    if (reply.clashOwnerUID && *reply.clashOwnerUID >= 0 && *reply.clashOwnerUID <= 0xffffffffLL) {
        owner = static_cast<std::uint32_t>(*reply.clashOwnerUID);
    }
    return std::make_shared<ClashClient>(reply.clashPort.value_or(0), reply.clashSecret.value_or(""), clashEndpoints(), nullptr,
                                         owner);
}

Async<void> AppModel::runLiveState() {
    for (int attempt = 0; attempt < timings_.endpointAttempts; ++attempt) {
        if (CORVANE_CANCELLED()) co_return;
        auto reply = co_await tunnel.send<TunnelIPC::StatusReply>(TunnelIPC::Request::status());
        // The session may have ended while the service answered.
        if (CORVANE_CANCELLED()) co_return;
        if (reply && reply->clashPort) {
            clash = makeClashClient(*reply);
            localProxy = reply->localProxy;
            break;
        }
        co_await sleepFor(timings_.endpointAttemptInterval);
    }
    if (!clash) co_return;  // the engine never said where it listens: no live data

    co_await applyChoices();
    co_await resyncTotals();
    startTrafficStream();
    restartHealthChecks(true);
    if (clash) co_await clash->testGroup();  // fresh delay measurements
    co_await pollProxies();
    co_await adoptRunningSites();  // after the first live values: it may ask the sites' gateways

    for (int pass = 1;; ++pass) {
        co_await sleepFor(pass <= timings_.proxyPollFastPasses ? timings_.proxyPollFastInterval
                                                               : timings_.proxyPollInterval);
        if (CORVANE_CANCELLED()) co_return;
        co_await pollProxies();
    }
}

Async<void> AppModel::applyChoices() {
    const std::shared_ptr<ClashClient> client = clash;
    if (!client) co_return;
    // The engine starts on the selections its cache file kept from an earlier session, which
    // may be a pin the user has lifted since: the current choice is set at every start, the
    // automatic group too.
    co_await switchSelector();
    if (clash == client) co_await applySiteSwitches(activeSites, client);
}

Async<void> AppModel::pollProxies() {
    if (!clash) co_return;
    const std::shared_ptr<ClashClient> client = clash;
    std::optional<ClashClient::ProxiesResponse> response;
    try {
        response = co_await client->proxies();
    } catch (const boost::system::system_error& e) {
        if (e.code() == boost::asio::error::operation_aborted) throw;
    } catch (const std::exception&) {
    }
    if (!response) {
        co_await refreshClashEndpointIfChanged();  // the engine may have restarted on another port
        co_return;
    }
    // An answer of a replaced engine must not land in the new session.
    if (CORVANE_CANCELLED() || !sameEndpoint(clash, client)) co_return;

    std::map<std::string, std::int64_t> measured;
    std::map<std::string, Time> measuredAt;
    for (const auto& [name, proxy] : response->proxies) {
        if (proxy.history && !proxy.history->empty() && proxy.history->back().delay > 0) {
            const auto& last = proxy.history->back();
            measured[name] = last.delay;
            // An engine that gives no time: count the delay as just measured.
            measuredAt[name] = last.measuredAt().value_or(now());
        }
    }
    delays = std::move(measured);
    delayMeasuredAt = std::move(measuredAt);

    std::optional<std::string> active;
    const auto& table = response->proxies;
    if (auto selector = table.find(selectorGroup); selector != table.end() && selector->second.now) {
        if (*selector->second.now == automaticGroup) {
            if (auto automatic = table.find(automaticGroup); automatic != table.end()) active = automatic->second.now;
        } else {
            active = selector->second.now;
        }
    }
    activeOutbound = std::move(active);
    co_await resyncTotals();
}

Async<void> AppModel::resyncTotals() {
    if (!clash) co_return;
    const std::shared_ptr<ClashClient> client = clash;
    auto totals = co_await client->totals();
    if (!totals || !sameEndpoint(clash, client)) co_return;
    // Totals never go down: the engine's counters may lag the samples summed here.
    TrafficSample total = trafficTotal;
    total.up = std::max(total.up, totals->up);
    total.down = std::max(total.down, totals->down);
    trafficTotal = total;
}

Async<void> AppModel::refreshClashEndpointIfChanged() {
    auto reply = co_await tunnel.send<TunnelIPC::StatusReply>(TunnelIPC::Request::status());
    if (!reply || CORVANE_CANCELLED() || tunnel.status() != NEVPNStatus::connected || !reply->clashPort) co_return;
    auto fresh = makeClashClient(*reply);
    localProxy = reply->localProxy;
    if (clash && clash->port() == fresh->port() && clash->secret() == fresh->secret() && clash->owner() == fresh->owner()) co_return;
    clash = std::move(fresh);
    ++selectionGeneration;
    switchingTo = std::nullopt;
    restartHealthChecks(true);
    cancelTask(trafficTask);
    trafficHistory = {};
    startTrafficStream();
    co_await applyChoices();  // a new engine: its cache speaks for an earlier session
}

void AppModel::startTrafficStream() {
    if (!clash || trafficTask) return;
    lastSampleAt.reset();
    trafficTask = spawn(trafficLoop(clash));
}

Async<void> AppModel::trafficLoop(std::shared_ptr<ClashClient> client) {
    auto backoff = timings_.trafficBackoffStart;
    for (;;) {
        bool delivered = false;
        try {
            auto stream = client->traffic();
            while (auto sample = co_await stream.next()) {
                delivered = true;
                record(*sample);
            }
        } catch (const std::exception&) {
            // Reopened below; a cancelled task ends at the next await.
        }
        if (delivered) {
            co_await sleepFor(timings_.trafficReconnectDelay);
            backoff = timings_.trafficBackoffStart;
        } else {
            co_await sleepFor(backoff);
            backoff = std::min(backoff * 2, timings_.trafficBackoffMax);
        }
    }
}

void AppModel::record(const ClashClient::Traffic& sample) {
    const Instant at = steadyNow();
    const bool tooClose = lastSampleAt && at - *lastSampleAt < timings_.historySpacing;
    lastSampleAt = at;
    sampledTotal_.up += sample.up;
    sampledTotal_.down += sample.down;
    // Bytes a resync already took from the engine's counters arrive in samples a moment later.
    TrafficSample total = trafficTotal;
    total.up = std::max(total.up, sampledTotal_.up);
    total.down = std::max(total.down, sampledTotal_.down);
    trafficTotal = total;
    const TrafficSample rate{sample.up, sample.down};
    trafficNow = rate;
    if (tooClose) return;
    trafficHistory.modify([&](std::vector<TrafficSample>& history) {
        history.push_back(rate);
        if (history.size() > historyKept) history.erase(history.begin(), history.end() - historyKept);
    });
}

}  // namespace corvane
