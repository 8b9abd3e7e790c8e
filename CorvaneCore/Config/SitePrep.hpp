// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "CorvaneCore/Config/IPv4Prefix.hpp"
#include "CorvaneCore/Config/PreparedSite.hpp"
#include "CorvaneCore/Config/SiteStatus.hpp"
#include "CorvaneCore/Panel/PanelRecords.hpp"
#include "CorvaneCore/Support/Task.hpp"

namespace corvane {

// Classifies private sites before a connect: on site, reachable over the LAN,
// disabled, or tunnelled through the public gateway.
namespace SitePrep {

// Does a gateway answer on (address, port)?
using Probe = std::function<Async<bool>(std::string address, std::uint16_t port)>;

// Networks of the device's own interfaces, tunnels and loopback left out.
std::vector<IPv4Prefix> devicePrefixes();
// Whether an interface's network counts as a place the device is at.
bool countsAsDeviceInterface(std::string_view name);

bool isOnSite(const SiteAccess& site, const std::vector<IPv4Prefix>& devicePrefixes);
// At most two plain IPv4 local endpoints that differ from the public one.
std::vector<std::string> localEndpointCandidates(const SiteAccess& site);
PreparedSite prepare(SiteAccess site, bool onSite, const std::optional<std::string>& reachableLocal, bool disabled);

// Probes one candidate at a time, never in parallel. Without a probe, the site beacon answers.
Async<std::vector<PreparedSite>> prepareSites(std::vector<SiteAccess> sites, std::vector<IPv4Prefix> devicePrefixes,
                                              std::set<std::int64_t> disabledIds, Probe probe = {});

std::vector<SiteStatus> statuses(const std::vector<PreparedSite>& sites);

}  // namespace SitePrep

}  // namespace corvane
