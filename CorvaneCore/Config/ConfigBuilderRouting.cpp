// SPDX-License-Identifier: GPL-3.0-or-later
// The route rules, the remote rule sets and the DNS section of the engine
// configuration. The engine takes the first rule that matches, so order matters.

#include <set>

#include "CorvaneCore/Config/ConfigBuilder.hpp"
#include "CorvaneCore/Config/DeploymentValues.hpp"

namespace corvane::ConfigBuilder {

namespace {

JSONValue stringArray(const std::vector<std::string>& items) {
    return JSONValue::Array(items.begin(), items.end());
}

}  // namespace

std::vector<std::string> defaultDirectDomainSuffixes() {
    return {DeploymentValues::cnAppDomainSuffixes.begin(), DeploymentValues::cnAppDomainSuffixes.end()};
}

JSONValue::Array serverBypassRules(const std::vector<ShareUrl>& shares) {
    std::set<std::string> addresses, domains;
    for (const auto& share : shares) {
        const std::string& host = share.host();
        if (isDottedQuad(host)) {
            addresses.insert(host + "/32");
        } else if (host.find(':') != std::string::npos) {
            addresses.insert(host + "/128");
        } else {
            domains.insert(host);
        }
    }
    JSONValue::Array rules;
    if (!addresses.empty()) {
        rules.push_back(JSONObject{{"ip_cidr", JSONValue::Array(addresses.begin(), addresses.end())}, {"outbound", "direct"}});
    }
    if (!domains.empty()) {
        rules.push_back(JSONObject{{"domain", JSONValue::Array(domains.begin(), domains.end())}, {"outbound", "direct"}});
    }
    return rules;
}

JSONValue::Array routeRules(bool smartRouting, const std::vector<ShareUrl>& shares, bool useRuleSets,
                            const std::vector<SiteAccess>& sites, const std::vector<std::string>& directSuffixes) {
    JSONValue::Array rules;
    rules.push_back(JSONObject{{"action", "hijack-dns"}, {"protocol", "dns"}});
    if (!sites.empty()) {
        // Devices using the LAN share may not reach private networks, the sites included.
        rules.push_back(JSONObject{{"inbound", JSONValue::Array{JSONValue(LanShare::tag)}}, {"ip_is_private", true}, {"action", "reject"}});
        for (auto& rule : siteBypassRules(sites)) rules.push_back(std::move(rule));
        for (std::size_t i = 0; i < sites.size(); ++i) {
            std::vector<std::string> destinations = siteDestinations(sites[i]);
            // The engine treats a rule without conditions as matching everything:
            // a site without networks would pull all traffic past the proxy.
            if (destinations.empty()) continue;
            rules.push_back(JSONObject{{"ip_cidr", stringArray(destinations)},
                                       {"outbound", siteSwitchTag(static_cast<std::int64_t>(i))}});
        }
    }
    rules.push_back(JSONObject{{"ip_is_private", true}, {"outbound", "direct"}});
    for (auto& rule : serverBypassRules(shares)) rules.push_back(std::move(rule));
    rules.push_back(JSONObject{{"ip_cidr", JSONValue::Array{"::/0"}}, {"action", "reject"}});
    // A rule with an empty list would match everything.
    if (smartRouting && !directSuffixes.empty()) {
        rules.push_back(JSONObject{{"domain_suffix", stringArray(directSuffixes)}, {"outbound", "direct"}});
    }
    if (useRuleSets) {
        rules.push_back(JSONObject{{"rule_set", JSONValue::Array{"geoip-cn", "geosite-cn"}}, {"outbound", "direct"}});
    }
    return rules;
}

JSONValue ruleSet(std::string_view tag, std::string_view repo, std::string_view baseURL) {
    std::string url(baseURL);
    url.append(repo).append("/rule-set/").append(tag).append(".srs");
    return JSONObject{
        {"type", "remote"},
        {"tag", JSONValue(tag)},
        {"format", "binary"},
        {"url", std::move(url)},
        {"download_detour", "proxy"},
        {"update_interval", "7d"},
    };
}

JSONValue dns(bool smartRouting, bool useRuleSets, const std::vector<SiteAccess>& sites, const Resolvers& resolvers,
              const std::vector<std::string>& directSuffixes) {
    JSONValue::Array servers;
    // First, so the default: the global resolver through the user's proxy.
    servers.push_back(JSONObject{
        {"type", "https"},
        {"tag", "proxy-dns"},
        {"server", resolvers.proxy},
        {"detour", "proxy"},
    });
    if (smartRouting) {
        servers.push_back(JSONObject{
            {"type", "https"},
            {"tag", "direct-dns"},
            {"server", resolvers.direct},
            {"tls", JSONObject{{"enabled", true}, {"server_name", resolvers.directTLSName}}},
        });
    }
    JSONValue::Array siteRules;
    for (std::size_t i = 0; i < sites.size(); ++i) {
        const SiteAccess& site = sites[i];
        if (site.dnsServers.empty() || site.dnsDomains.empty()) continue;
        std::string tag = "site-" + std::to_string(i) + "-dns";
        servers.push_back(JSONObject{
            {"type", "udp"},
            {"tag", tag},
            {"server", site.dnsServers.front()},
            {"detour", siteSwitchTag(static_cast<std::int64_t>(i))},
        });
        siteRules.push_back(JSONObject{{"domain_suffix", stringArray(site.dnsDomains)}, {"server", std::move(tag)}});
    }

    JSONObject object{{"servers", std::move(servers)}, {"strategy", "ipv4_only"}, {"disable_cache", false}};
    if (smartRouting) {
        JSONValue::Array rules = std::move(siteRules);
        if (!directSuffixes.empty()) {
            rules.push_back(JSONObject{{"domain_suffix", stringArray(directSuffixes)}, {"server", "direct-dns"}});
        }
        if (useRuleSets) rules.push_back(JSONObject{{"rule_set", "geosite-cn"}, {"server", "direct-dns"}});
        object.set("rules", std::move(rules));
    } else if (!siteRules.empty()) {
        object.set("rules", std::move(siteRules));
    }
    return object;
}

}  // namespace corvane::ConfigBuilder
