// SPDX-License-Identifier: GPL-3.0-or-later
// Private sites while connected, the site watch, and sharing the tunnel on the LAN.
#include <boost/asio/this_coro.hpp>
#include <boost/json/array.hpp>

#include <algorithm>

#include "Corvane/Model/AppModel.hpp"
#include "Corvane/Model/ModelErrors.hpp"
#include "CorvaneCore/Config/ConfigBuilder.hpp"
#include "CorvaneCore/Config/SitePrep.hpp"
#include "CorvaneCore/Panel/PanelClient.hpp"

namespace corvane {

namespace {

#define CORVANE_CANCELLED() \
    ((co_await boost::asio::this_coro::cancellation_state).cancelled() != boost::asio::cancellation_type::none)

bool tunnelIsUp(NEVPNStatus s) {
    return s == NEVPNStatus::connecting || s == NEVPNStatus::connected || s == NEVPNStatus::reasserting;
}

// The panel's records behind prepared sites. A gateway that answered on the LAN
// replaces the public endpoint in the prepared record; that alone is no other site.
bool sameSites(const std::vector<PreparedSite>& a, const std::vector<PreparedSite>& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        SiteAccess left = a[i].site, right = b[i].site;
        if (a[i].viaLocal || b[i].viaLocal) left.endpointHost = right.endpointHost;
        if (!(left == right)) return false;
    }
    return true;
}

}  // namespace

Async<void> AppModel::setSiteSwitch(std::int64_t index, PreparedSite site, std::shared_ptr<ClashClient> via) {
    if (!via) co_return;
    const std::string endpoint = ConfigBuilder::siteTag(index);
    const bool throughTunnel = !site.onSite && !site.disabled;
    // Named first: g++ 12 destroys a temporary made by ?: inside a co_await twice.
    std::string selector = ConfigBuilder::siteSwitchTag(index);
    std::string choice = throughTunnel ? endpoint : "direct";
    co_await via->setSelector(std::move(selector), std::move(choice));
    // Connections already running through the endpoint would keep using it.
    if (!throughTunnel) co_await via->closeConnections(endpoint);
}

Async<void> AppModel::applySiteSwitches(std::vector<PreparedSite> sites, std::shared_ptr<ClashClient> via) {
    for (std::size_t i = 0; i < sites.size(); ++i) {
        try {
            co_await setSiteSwitch(static_cast<std::int64_t>(i), sites[i], via);
        } catch (const boost::system::system_error& e) {
            if (e.code() == boost::asio::error::operation_aborted) throw;
        } catch (const std::exception&) {
        }
    }
}

void AppModel::setSiteEnabled(std::int64_t id, bool enabled) {
    std::set<std::int64_t> ids = storeSiteEnabled(id, enabled);
    std::set<std::int64_t> others = ids;
    if (disabledSiteIds->contains(id)) {
        others.insert(id);
    } else {
        others.erase(id);
    }
    if (others != *disabledSiteIds) {
        // The stored list brought sites another process switched meanwhile: the whole
        // list is followed as a change of the file is, this site with it.
        adoptDisabledSites(std::move(ids));
        return;
    }
    disabledSiteIds = std::move(ids);

    std::optional<std::size_t> index;
    for (std::size_t i = 0; i < activeSites.size(); ++i) {
        if (activeSites[i].site.siteId == id) {
            index = i;
            break;
        }
    }
    if (!index) return;  // not in the running configuration: it counts from the next connect
    activeSites[*index].disabled = !enabled;
    siteStatuses = SitePrep::statuses(activeSites);
    if (status() == UiStatus::connected && clash) {
        spawn(siteSwitchTask(static_cast<std::int64_t>(*index), activeSites[*index], clash));
    }
}

void AppModel::adoptDisabledSites(std::set<std::int64_t> ids) {
    if (ids == *disabledSiteIds) return;
    disabledSiteIds = std::move(ids);
    bool switched = false;
    for (auto& site : activeSites) {
        const bool disabled = disabledSiteIds->contains(site.site.siteId);
        switched = switched || site.disabled != disabled;
        site.disabled = disabled;
    }
    if (!switched) return;
    siteStatuses = SitePrep::statuses(activeSites);
    // The process that made the change switches the engine too; doing it again is harmless
    // and holds where that process ended first.
    if (status() == UiStatus::connected && clash) spawn(applySiteSwitches(activeSites, clash));
}

Async<void> AppModel::adoptRunningSites() {
    if (!activeSites.empty() || sites->empty() || !clash) co_return;
    const std::shared_ptr<ClashClient> client = clash;
    std::optional<ClashClient::ProxiesResponse> table;
    try {
        table = co_await client->proxies();
    } catch (const boost::system::system_error& e) {
        if (e.code() == boost::asio::error::operation_aborted) throw;
    } catch (const std::exception&) {
    }
    if (!table || clash != client || !activeSites.empty()) co_return;
    // The running configuration has one switch per site it was built with, in the order
    // the session noted by id (a session from before that note: the list's order).
    // A site the panel no longer lists is not adopted: the site watch rebuilds the session.
    std::vector<SiteAccess> listed;
    if (connectedSiteIds.empty()) {
        listed = sites;
    } else {
        for (std::int64_t id : connectedSiteIds) {
            const auto site = std::find_if(sites->begin(), sites->end(), [&](const SiteAccess& s) { return s.siteId == id; });
            if (site == sites->end()) co_return;
            listed.push_back(*site);
        }
    }
    const std::size_t count = listed.size();
    for (std::size_t i = 0; i <= count; ++i) {
        const bool present = table->proxies.contains(ConfigBuilder::siteSwitchTag(static_cast<std::int64_t>(i)));
        if (present != (i < count)) co_return;
    }
    std::set<std::int64_t> disabled = disabledSiteIds;
    auto prepared = co_await SitePrep::prepareSites(std::move(listed), SitePrep::devicePrefixes(), std::move(disabled),
                                                    siteProbe_);
    if (clash != client || !activeSites.empty() || tunnel.status() != NEVPNStatus::connected) co_return;
    activeSites = std::move(prepared);
    siteStatuses = SitePrep::statuses(activeSites);
}

Async<void> AppModel::siteSwitchTask(std::int64_t index, PreparedSite site, std::shared_ptr<ClashClient> via) {
    ++siteSwitchesRunning;
    std::optional<std::string> failure;
    try {
        co_await setSiteSwitch(index, site, std::move(via));
    } catch (const boost::system::system_error& e) {
        if (e.code() == boost::asio::error::operation_aborted) {
            --siteSwitchesRunning;
            throw;
        }
        failure = userText(std::current_exception());
    } catch (const std::exception&) {
        failure = userText(std::current_exception());
    }
    // Not in a guard's destructor: a frame destroyed with the model must not touch it.
    --siteSwitchesRunning;
    if (failure) errorMessage = "Could not switch " + site.site.name + ": " + *failure;
}

void AppModel::startSiteWatchIfNeeded() {
    if (siteWatchRunning || liveTasks.empty() || tunnel.status() != NEVPNStatus::connected) return;
    if (sites->empty() && exits->empty()) return;
    siteWatchRunning = true;
    liveTasks.push_back(spawn(runSiteWatch()));
    // A session found running learns its sites as soon as the list names them.
    if (activeSites.empty() && !sites->empty() && clash) liveTasks.push_back(spawn(adoptRunningSites()));
}

Async<void> AppModel::runSiteWatch() {
    for (;;) {
        co_await sleepFor(timings_.siteWatchPeriod);
        if (CORVANE_CANCELLED()) co_return;
        if (connectInFlight || tunnel.status() != NEVPNStatus::connected) continue;

        if (panel) {
            const std::shared_ptr<PanelClient> client = panel;
            std::optional<ServerListResponse> response;
            try {
                response = co_await client->serverList(inSeconds(timings_.siteWatchListTimeout));
            } catch (const boost::system::system_error& e) {
                if (e.code() == boost::asio::error::operation_aborted) throw;
            } catch (const std::exception&) {
                // A failing list is ignored for this pass.
            }
            if (response) {
                exits = response->exits;
                // Sites added or removed on the panel count at this pass, not only after a refresh.
                sites = response->sites;
                handleQuotaFallback(*response, false);
                if (quotaFallbackPending) continue;
                if (selectedExitId.get()) {
                    const std::int64_t wanted = **selectedExitId;
                    const bool stillOffered = std::any_of(exits->begin(), exits->end(),
                                                          [&](const ClientExit& e) { return e.exitId == wanted; });
                    if (!stillOffered) {
                        tunnel.disconnect();
                        errorMessage = "Access to the selected exit ended. Choose another route before reconnecting.";
                        continue;
                    }
                }
            }
        }

        // With none listed and none running there is nothing to follow; with none listed but
        // some running, the engine still routes their networks and is rebuilt below.
        if (sites->empty() && activeSites.empty()) continue;
        // A session another process started: its sites are learned, not rebuilt.
        if (activeSites.empty()) co_await adoptRunningSites();
        std::vector<SiteAccess> listed = sites;
        std::vector<IPv4Prefix> prefixes = SitePrep::devicePrefixes();
        std::set<std::int64_t> disabled = disabledSiteIds;
        auto prepared = co_await SitePrep::prepareSites(std::move(listed), std::move(prefixes), std::move(disabled), siteProbe_);
        // Anything may have happened while the gateways were probed.
        if (status() != UiStatus::connected || prepared == activeSites) continue;
        if (!sameSites(prepared, activeSites)) {
            // Sites came or went: the configuration is rebuilt. The restart ends this
            // session and with it this task, so it runs as a task of the model.
            spawn(restartTunnel());
            co_return;
        }
        activeSites = std::move(prepared);
        siteStatuses = SitePrep::statuses(activeSites);
        co_await applySiteSwitches(activeSites, clash);
    }
}

void AppModel::setLanShare(bool on) {
    if (on == lanShare.get()) return;
    writeSetting("lan_share", boost::json::value(on));
    lanShare = on;
    restartIfSharing();
}

void AppModel::regenerateLanSharePassword() {
    std::string fresh = ConfigBuilder::LanShare::generatePassword();
    writeSetting("lan_share_password", boost::json::value(fresh));
    lanSharePassword = std::move(fresh);
    if (lanShare) restartIfSharing();
}

void AppModel::restartIfSharing() {
    // The listener and its password are part of the engine's configuration.
    if (tunnelIsUp(tunnel.status())) spawn(restartTunnel());
}

}  // namespace corvane
