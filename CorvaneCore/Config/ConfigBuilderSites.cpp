// SPDX-License-Identifier: GPL-3.0-or-later
// The private-site pieces of the engine configuration.

#include <algorithm>
#include <set>

#include "CorvaneCore/Config/ConfigBuilder.hpp"
#include "CorvaneCore/Config/IPv4Prefix.hpp"
#include "CorvaneCore/Support/Text.hpp"

namespace corvane::ConfigBuilder {

bool isDottedQuad(std::string_view text) {
    int pieces = 0;
    std::size_t start = 0;
    while (true) {
        std::size_t dot = text.find('.', start);
        std::string_view piece = text.substr(start, dot == std::string_view::npos ? std::string_view::npos : dot - start);
        if (piece.empty() || piece.size() > 3 || ++pieces > 4) return false;
        if (!std::all_of(piece.begin(), piece.end(), [](char c) { return c >= '0' && c <= '9'; })) return false;
        if (dot == std::string_view::npos) break;
        start = dot + 1;
    }
    return pieces == 4;
}

std::vector<std::string> siteDestinations(const SiteAccess& site) {
    std::vector<std::string> out;
    auto add = [&](std::string value) {
        if (std::find(out.begin(), out.end(), value) == out.end()) out.push_back(std::move(value));
    };
    for (const auto& cidr : site.cidrs) add(cidr);
    for (const auto& server : site.dnsServers) add(server + "/32");
    if (site.gatewayOverlayIp && isDottedQuad(*site.gatewayOverlayIp)) add(*site.gatewayOverlayIp + "/32");
    return out;
}

JSONValue siteEndpoint(const SiteAccess& site, const std::string& tag) {
    JSONValue::Array allowed;
    for (auto& destination : siteDestinations(site)) allowed.emplace_back(std::move(destination));
    JSONObject peer{
        {"address", site.endpointHost},
        {"port", site.endpointPort},
        {"public_key", site.serverPublicKey},
    };
    peer.set("allowed_ips", std::move(allowed));
    peer.set("persistent_keepalive_interval", 25);
    JSONObject endpoint{
        {"type", "wireguard"},
        {"tag", tag},
        {"address", JSONValue::Array{site.address}},
        {"private_key", site.privateKey},
        {"mtu", site.mtu},
    };
    endpoint.set("peers", JSONValue::Array{JSONValue(std::move(peer))});
    return endpoint;
}

JSONValue siteSwitch(std::int64_t index) {
    // Site traffic goes direct until the application switches the site on.
    return JSONObject{
        {"type", "selector"},
        {"tag", siteSwitchTag(index)},
        {"outbounds", JSONValue::Array{siteTag(index), "direct"}},
        {"default", "direct"},
        {"interrupt_exist_connections", true},
    };
}

JSONValue::Array siteBypassRules(const std::vector<SiteAccess>& sites) {
    // Gateway addresses inside a site's own networks must leave directly, or
    // the WireGuard packets to the gateway would be routed into the site.
    std::set<std::string> addresses;
    for (const auto& site : sites) {
        std::vector<IPv4Prefix> destinations;
        for (const auto& destination : siteDestinations(site)) {
            if (auto prefix = IPv4Prefix::parse(destination)) destinations.push_back(*prefix);
        }
        for (const auto& raw : site.localEndpoints) {
            std::string_view entry = trimWhitespace(raw);
            std::size_t slash = entry.find('/');
            auto address = IPv4Prefix::parseAddress(entry.substr(0, slash));
            if (!address) continue;
            if (slash != std::string_view::npos && entry.substr(slash + 1) != "32") continue;
            if (!isDottedQuad(entry)) continue;
            IPv4Prefix host(*address, 32);
            if (std::any_of(destinations.begin(), destinations.end(), [&](const IPv4Prefix& p) { return p.contains(host); })) {
                addresses.insert(std::string(entry) + "/32");
            }
        }
    }
    if (addresses.empty()) return {};
    JSONValue::Array cidrs(addresses.begin(), addresses.end());
    return {JSONObject{{"ip_cidr", std::move(cidrs)}, {"outbound", "direct"}}};
}

}  // namespace corvane::ConfigBuilder
