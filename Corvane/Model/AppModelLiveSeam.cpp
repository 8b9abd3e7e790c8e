// The session's live part in its smallest form: the engine client, the health
// checks from the first moment of the session, and the proxy table's delays
// and active outbound. The live-state flow (traffic, totals, endpoint changes,
// the site watch) takes these over in its own files.
#include "Corvane/Model/AppModel.hpp"

namespace corvane {

namespace {

constexpr std::string_view tagPrefix = "proxy-";

}  // namespace

Async<void> AppModel::runLiveState() {
    for (int attempt = 1; attempt <= timings_.endpointAttempts && !clash; ++attempt) {
        auto reply = co_await tunnel.send<TunnelIPC::StatusReply>(TunnelIPC::Request::status());
        if (tunnel.status() != NEVPNStatus::connected) co_return;
        if (reply && reply->clashPort && reply->clashSecret) {
            clash = std::make_shared<ClashClient>(*reply->clashPort, *reply->clashSecret, clashEndpoints());
            break;
        }
        co_await sleepFor(timings_.endpointAttemptInterval);
    }
    if (!clash) co_return;
    // The first probe runs now rather than one period into the session.
    restartHealthChecks(true);
    for (int pass = 0;; ++pass) {
        co_await pollProxies();
        co_await sleepFor(pass < timings_.proxyPollFastPasses ? timings_.proxyPollFastInterval
                                                              : timings_.proxyPollInterval);
    }
}

Async<void> AppModel::runSiteWatch() { co_return; }

Async<void> AppModel::pollProxies() {
    const std::shared_ptr<ClashClient> client = clash;
    if (!client) co_return;
    ClashClient::ProxiesResponse table;
    try {
        table = co_await client->proxies();
    } catch (const std::exception&) {
        co_return;
    }
    if (clash != client) co_return;  // another session's answer
    std::map<std::string, std::int64_t> latest;
    for (const auto& [name, proxy] : table.proxies) {
        if (!name.starts_with(tagPrefix) || name == "proxy-auto" || !proxy.history || proxy.history->empty()) continue;
        if (proxy.history->back().delay > 0) latest[name] = proxy.history->back().delay;
    }
    delays = std::move(latest);
    std::optional<std::string> active;
    if (auto group = table.proxies.find("proxy"); group != table.proxies.end() && group->second.now) {
        active = group->second.now;
        if (auto automatic = table.proxies.find(*active); *active == "proxy-auto" && automatic != table.proxies.end()) {
            active = automatic->second.now;
        }
    }
    activeOutbound = active;
}

}  // namespace corvane
