// SPDX-License-Identifier: GPL-3.0-or-later
#include "CorvaneCore/Config/SitePrep.hpp"

#include <algorithm>

#include "CorvaneCore/Config/LocalAddresses.hpp"
#include "CorvaneCore/Config/SiteBeacon.hpp"
#include "CorvaneCore/Support/Text.hpp"

namespace corvane::SitePrep {

bool countsAsDeviceInterface(std::string_view name) {
    // Loopback, tunnels (the tunnel's own "Corvane" interface among them) and
    // peer-to-peer links say nothing about where the device is.
    static constexpr std::string_view skipped[] = {"utun", "lo", "awdl", "llw", "tun", "tap", "wg", "Corvane"};
    return std::none_of(std::begin(skipped), std::end(skipped), [&](std::string_view p) { return name.starts_with(p); });
}

std::vector<IPv4Prefix> devicePrefixes() {
    return LocalAddresses::ipv4Prefixes(countsAsDeviceInterface);
}

bool isOnSite(const SiteAccess& site, const std::vector<IPv4Prefix>& devicePrefixes) {
    std::vector<IPv4Prefix> candidates;
    for (const auto* list : {&site.onsiteCidrs, &site.cidrs}) {
        for (const auto& text : *list) {
            if (auto prefix = IPv4Prefix::parse(text)) candidates.push_back(*prefix);
        }
    }
    for (const auto& candidate : candidates) {
        for (const auto& device : devicePrefixes) {
            if (candidate.overlaps(device)) return true;
        }
    }
    return false;
}

std::vector<std::string> localEndpointCandidates(const SiteAccess& site) {
    std::vector<std::string> out;
    for (const auto& raw : site.localEndpoints) {
        std::string_view entry = trimWhitespace(raw);
        if (!IPv4Prefix::parseAddress(entry) || entry == site.endpointHost) continue;
        out.emplace_back(entry);
        if (out.size() == 2) break;
    }
    return out;
}

PreparedSite prepare(SiteAccess site, bool onSite, const std::optional<std::string>& reachableLocal, bool disabled) {
    if (reachableLocal) site.endpointHost = *reachableLocal;
    return PreparedSite{std::move(site), onSite, reachableLocal.has_value(), disabled};
}

Async<std::vector<PreparedSite>> prepareSites(std::vector<SiteAccess> sites, std::vector<IPv4Prefix> devicePrefixes,
                                              std::set<std::int64_t> disabledIds, Probe probe) {
    if (!probe) {
        probe = [](std::string address, std::uint16_t port) -> Async<bool> {
            return SiteBeacon::answers(std::move(address), port, SiteBeacon::timeout);
        };
    }
    std::vector<PreparedSite> out;
    out.reserve(sites.size());
    for (auto& site : sites) {
        bool onSite = isOnSite(site, devicePrefixes);
        std::optional<std::string> reachableLocal;
        // Probed even when on site or disabled: the answer is shown to the user.
        for (auto& candidate : localEndpointCandidates(site)) {
            if (co_await probe(candidate, site.endpointPort)) {
                reachableLocal = std::move(candidate);
                break;
            }
        }
        bool disabled = disabledIds.contains(site.siteId);
        out.push_back(prepare(std::move(site), onSite, reachableLocal, disabled));
    }
    co_return out;
}

std::vector<SiteStatus> statuses(const std::vector<PreparedSite>& sites) {
    std::vector<SiteStatus> out;
    out.reserve(sites.size());
    for (const auto& prepared : sites) {
        SiteStatus status;
        status.siteId = prepared.site.siteId;
        status.name = prepared.site.name;
        status.mode = prepared.disabled ? SiteStatus::Mode::off
                      : prepared.onSite ? SiteStatus::Mode::onSite
                                        : SiteStatus::Mode::tunnel;
        if (status.mode == SiteStatus::Mode::tunnel) {
            status.endpoint = prepared.site.endpointHost + ":" + std::to_string(prepared.site.endpointPort);
        }
        status.viaLocal = prepared.viaLocal;
        out.push_back(std::move(status));
    }
    return out;
}

}  // namespace corvane::SitePrep
