// SPDX-License-Identifier: GPL-3.0-or-later
// Connecting: the connect button, the connect sequence that turns the latest
// server list into an engine configuration for the tunnel service, and the
// full restart after route or site changes.
#include <boost/url/parse.hpp>

#include "Corvane/Model/AppModel.hpp"
#include "Corvane/Model/ModelErrors.hpp"
#include "CorvaneCore/Config/ConfigBuilder.hpp"
#include "CorvaneCore/Config/ShareUrlParser.hpp"
#include "CorvaneCore/Panel/ExitSelection.hpp"
#include "CorvaneCore/Panel/PanelClient.hpp"

namespace corvane {

namespace {

namespace json = boost::json;

bool tunnelIsUp(NEVPNStatus s) {
    return s == NEVPNStatus::connecting || s == NEVPNStatus::connected || s == NEVPNStatus::reasserting;
}

// The system shows this as the VPN's server: the panel's host, or the product's name.
std::string panelHostOf(const std::string& panelURL) {
    auto url = boost::urls::parse_uri(panelURL);
    if (!url || url->encoded_host().empty()) return "Corvane";
    return std::string(url->encoded_host());
}

json::value encodedFleet(const std::vector<FleetSlot>& fleet) { return json::value(encodeJSON(fleet)); }

}  // namespace

ClashClient::Endpoints AppModel::clashEndpoints() const {
    return {.groupTestURL = deployment_.urlTestProbeURL, .probeURLs = deployment_.reachabilityProbeURLs};
}

Async<void> AppModel::toggleConnection() {
    if (tunnelIsUp(tunnel.status())) {
        co_await disconnect();
        co_return;
    }
    co_await connect();
}

Async<void> AppModel::disconnect() {
    // The status change ends the session; the service lifts the block.
    std::optional<std::string> refused;
    try {
        co_await tunnel.stop();
    } catch (const TunnelPlatformError& e) {
        refused = e.description();
    }
    if (refused) errorMessage = "The tunnel could not be stopped: " + *refused;
}

Async<void> AppModel::connect() {
    if (updateBlocksConnecting()) {
        updateDismissed = false;  // show the blocking notice again
        co_return;
    }
    errorMessage = std::nullopt;
    connectInFlight = true;
    try {
        co_await connectSequence();
    } catch (const std::exception&) {
        errorMessage = userText(std::current_exception());
    }
    connectInFlight = false;
    // No tunnel came of it (a restart whose connect failed, say): what the
    // sequence or the session before it set up is not in effect. A start the
    // service accepted is connecting by now; its end clears them.
    const NEVPNStatus s = tunnel.status();
    if (!tunnelIsUp(s) && s != NEVPNStatus::disconnecting) dropSessionValues();
}

void AppModel::dropSessionValues() {
    sharingOn = std::nullopt;
    siteStatuses = {};
    activeSites.clear();
}

Async<void> AppModel::connectSequence() {
    const bool fresh = co_await refreshServers(true);
    if (!signedIn) co_return;  // the refresh found the session ended
    if (servers->empty()) {
        if (!errorMessage->has_value()) errorMessage = "Your account has no servers yet. Ask an admin to assign one.";
        co_return;
    }
    if (!fresh) {
        errorMessage =
            "Couldn't refresh the server list — connecting with the saved one. If nothing loads, disconnect and connect "
            "again.";
    }

    if (auto chosen = selectedExit(); chosen && chosen->traffic && fresh && panel) {
        const std::shared_ptr<PanelClient> client = panel;
        co_await client->selectMeteredExit(chosen->exitId, chosen->traffic->fallbackOnExhaustion);
    }

    ServerListResponse list{.servers = servers, .sites = sites, .exits = exits};
    std::optional<std::int64_t> pinnedEntry;
    if (pin->has_value()) pinnedEntry = (*pin)->vpsId;
    const std::optional<ClientExit> exit = ExitSelection::resolve(selectedExitId, pinnedEntry, list, fresh);
    const std::vector<ServerListEntry> base = ExitSelection::originalServers(servers, quotaFallbackEntryId);

    // Through a metered exit: its Reality share alone. Otherwise two per server, Hysteria2 first,
    // which is the order the tags proxy-2i / proxy-2i+1 stand for.
    std::vector<ShareUrl> shares;
    if (exit) {
        shares.push_back(ShareUrlParser::parse(exit->realityUrl.value_or("")));
    } else {
        shares.reserve(base.size() * 2);
        for (const auto& server : base) {
            shares.push_back(ShareUrlParser::parse(server.hysteria2Url));
            shares.push_back(ShareUrlParser::parse(server.realityUrl));
        }
    }

    lanAddress = lanAddressSource_();
    std::optional<std::string> listen;
    if (lanShare) listen = lanAddress.get();

    std::vector<PreparedSite> prepared;
    if (!sites->empty()) {
        prepared = co_await SitePrep::prepareSites(sites, SitePrep::devicePrefixes(), disabledSiteIds, siteProbe_);
    }

    ConfigBuilder::Inputs inputs;
    inputs.shares = std::move(shares);
    inputs.smartRouting = exit ? false : smartRouting.get();
    inputs.shareOverLanListen = listen;
    inputs.shareOverLanPassword = lanSharePassword.get();
    inputs.clashListen = std::string(ConfigBuilder::defaultClashListen);  // the service puts its own in
    inputs.includeRuleSets = true;
    for (const auto& site : prepared) inputs.sites.push_back(site.site);
    inputs.urlTestURL = deployment_.urlTestProbeURL;
    inputs.resolvers = {.proxy = deployment_.proxyResolverAddress,
                        .direct = deployment_.directResolverAddress,
                        .directTLSName = deployment_.directResolverTLSName};
    inputs.ruleSetBaseURL = deployment_.ruleSetBaseURL;
    inputs.directDomainSuffixes = deployment_.directDomainSuffixes;
    const std::string config = ConfigBuilder::build(inputs).serialize();

    std::vector<FleetSlot> fleet;
    if (exit) {
        for (const auto& s : *servers) {
            if (s.vpsId == exit->vpsId) fleet.push_back({s.vpsId, s.name});
        }
    } else {
        for (const auto& s : base) fleet.push_back({s.vpsId, s.name});
    }
    // Other processes (corvanectl) name the session's servers and listener from these: a
    // session they would misname does not start.
    SettingValues session;
    session.emplace_back("lan_share_address", listen ? std::optional<json::value>(json::value(*listen)) : std::nullopt);
    session.emplace_back("connected_fleet", encodedFleet(fleet));
    std::vector<std::int64_t> siteIds;
    for (const auto& site : prepared) siteIds.push_back(site.site.siteId);
    session.emplace_back("connected_site_ids", json::value(encodeJSON(siteIds)));
    writeSettings(std::move(session));
    connectedSiteIds = std::move(siteIds);
    siteStatuses = SitePrep::statuses(prepared);
    activeSites = std::move(prepared);
    sharingOn = listen;
    lastConfigJSON = config;
    storeConfigSnapshot(config);
    connectedFleet = std::move(fleet);
    lastLogSeq = 0;
    logLines = {};

    co_await tunnel.connect(config, panelHostOf(panelURL));
}

Async<bool> AppModel::stopAndWait() {
    connectInFlight = true;
    tunnel.disconnectForReconnect();  // a kill switch keeps blocking until the connect that follows
    for (int i = 0; i < timings_.restartPollCount; ++i) {
        if (!tunnelIsUp(tunnel.status()) && tunnel.status() != NEVPNStatus::disconnecting) break;
        try {
            co_await sleepFor(timings_.restartPollInterval);
        } catch (const std::exception&) {
            // A failed pause only shortens the wait; the status decides.
        }
    }
    connectInFlight = false;
    co_return !tunnelIsUp(tunnel.status()) && tunnel.status() != NEVPNStatus::disconnecting;
}

Async<void> AppModel::restartTunnel() {
    connectInFlight = true;
    tunnel.disconnectForReconnect();  // a kill switch keeps blocking until the connect that follows
    for (int i = 0; i < timings_.restartPollCount; ++i) {
        const NEVPNStatus s = tunnel.status();
        if (!tunnelIsUp(s) && s != NEVPNStatus::disconnecting) break;
        co_await sleepFor(timings_.restartPollInterval);
    }
    co_await connect();
}

}  // namespace corvane
