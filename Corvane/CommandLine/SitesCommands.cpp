// SPDX-License-Identifier: GPL-3.0-or-later
// corvanectl sites and site: the private sites and their switches.
#include <algorithm>
#include <charconv>
#include <iostream>
#include <map>

#include "Corvane/CommandLine/Commands.hpp"
#include "Corvane/CommandLine/AgentConnection.hpp"
#include "Corvane/CommandLine/ModelJSON.hpp"
#include "CorvaneCore/Config/SitePrep.hpp"
#include "CorvaneCore/Support/Blocking.hpp"
#include "CorvaneCore/Support/JSONWriter.hpp"

namespace corvane::cli {

namespace {

namespace json = boost::json;
using namespace std::chrono_literals;

std::string statusText(const SiteStatus& s) {
    switch (s.mode) {
    case SiteStatus::Mode::off: return "off";
    case SiteStatus::Mode::onSite: return "on site, reached directly";
    case SiteStatus::Mode::tunnel: break;
    }
    return "via the gateway " + s.endpoint.value_or("?") + (s.viaLocal ? " (on the local network)" : "");
}

template <class T>
const T& orEmpty(const std::shared_ptr<const T>& p) {
    static const T empty{};
    return p ? *p : empty;
}

// How each site is reached right now, by site id: the running session's view
// when it covers every listed site, else a fresh look (the beacon asks each
// site's local gateways).
std::map<std::int64_t, SiteStatus> currentStatuses(const AppSnapshot& s) {
    std::map<std::int64_t, SiteStatus> byId;
    if (tunnelIsUp(s.tunnelStatus)) {
        for (const auto& status : orEmpty(s.siteStatuses)) byId.emplace(status.siteId, status);
    }
    const auto& sites = orEmpty(s.sites);
    if (std::all_of(sites.begin(), sites.end(), [&](const SiteAccess& site) { return byId.contains(site.siteId); })) return byId;
    boost::asio::io_context io;
    const auto prepared = runUntilDone(io, SitePrep::prepareSites(sites, SitePrep::devicePrefixes(), orEmpty(s.disabledSiteIds)));
    byId.clear();
    for (const auto& status : SitePrep::statuses(prepared)) byId.emplace(status.siteId, status);
    return byId;
}

int sites(CommandContext& ctx) {
    bool asJSON = false;
    if (!ctx.flags({{"--json", &asJSON}})) return ctx.usageError();
    AgentConnection agent;
    const auto state = agent.signedIn(ctx.err, true);
    if (!state) return 1;
    const auto& sites = orEmpty(state->sites);
    const auto statuses = currentStatuses(*state);
    if (asJSON) {
        json::array list;
        for (const SiteAccess& site : sites) {
            const auto status = statuses.find(site.siteId);
            if (status == statuses.end()) continue;
            json::object o = toJSON(site);
            o.erase("privateKey");
            o["disabled"] = orEmpty(state->disabledSiteIds).contains(site.siteId);
            o["mode"] = SiteStatus::rawValue(status->second.mode);
            if (status->second.endpoint) o["endpoint"] = *status->second.endpoint;
            o["viaLocal"] = status->second.viaLocal;
            list.emplace_back(std::move(o));
        }
        json::object doc;
        doc["sites"] = std::move(list);
        ctx.out << toJSONText(doc, 2) << "\n";
        return 0;
    }
    if (statuses.empty()) {
        ctx.out << "No private networks are configured for your account.\n";
        return 0;
    }
    for (const SiteAccess& site : sites) {
        const auto status = statuses.find(site.siteId);
        if (status == statuses.end()) continue;
        std::string networks;
        for (const auto& cidr : site.cidrs) networks += (networks.empty() ? "" : ", ") + cidr;
        ctx.out << terminalText(site.name) << " (site " << site.siteId << "): " << terminalText(statusText(status->second)) << "\n"
                << "  networks: " << (networks.empty() ? "-" : terminalText(networks)) << "\n";
    }
    return 0;
}

int site(CommandContext& ctx) {
    if (ctx.args.size() != 2 || (ctx.args[0] != "on" && ctx.args[0] != "off")) {
        return ctx.usageError();
    }
    const bool enable = ctx.args[0] == "on";
    const std::string wanted(ctx.args[1]);
    AgentConnection agent;
    const auto state = agent.signedIn(ctx.err, true);
    if (!state) return 1;
    std::int64_t number = 0;
    const bool isNumber = std::from_chars(wanted.data(), wanted.data() + wanted.size(), number).ec == std::errc() &&
                          !wanted.empty() && wanted.find_first_not_of("0123456789") == std::string::npos;
    const auto& sites = orEmpty(state->sites);
    auto match = std::find_if(sites.begin(), sites.end(), [&](const SiteAccess& s) {
        return (isNumber && s.siteId == number) || s.name == wanted;
    });
    if (match == sites.end()) {
        ctx.err << "corvanectl: no site \"" << terminalText(wanted) << "\"; see corvanectl sites\n";
        return 1;
    }
    // A running tunnel is switched at once; the agent answers once the engine has it.
    const json::object result =
        agent.callWaiting("setSiteEnabled", {{"siteId", match->siteId}, {"enabled", enable}}, std::chrono::seconds(10));
    ctx.out << terminalText(match->name) << " is " << (enable ? "on" : "off")
            << (result.at("running").as_bool() ? "." : " (from the next connect).") << "\n";
    return 0;
}

const CommandRegistration sitesRegistration{"sites", "sites [--json]", &sites};
const CommandRegistration siteRegistration{"site", "site on|off SITE", &site};

}  // namespace

}  // namespace corvane::cli
