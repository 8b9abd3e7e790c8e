// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "CorvaneCore/Diagnostics/LogLine.hpp"

namespace corvane {

// Cleans log text before it leaves the device: the destinations the user
// visited (host names, IPv4 and IPv6 addresses) become a placeholder, while the
// system's own infrastructure, local and private addresses, version numbers and
// file names stay. Per-connection bookkeeping lines are dropped.
namespace LogSanitizer {

using HostSet = std::unordered_set<std::string>;

inline constexpr std::string_view placeholder = "<destination>";

// The hosts of the system's own infrastructure named by an engine configuration
// (servers, WireGuard peers, DNS servers, rule-set hosts) plus the panel host,
// all lower-cased. A configuration that is not a JSON object adds nothing.
HostSet infrastructureHosts(std::string_view configJSON, const std::optional<std::string>& panelHost);

// The cleaned line, or nothing when it is bookkeeping to drop.
std::optional<LogLine> sanitize(const LogLine& line, const HostSet& keepHosts);
// The cleaned lines in order, dropped ones left out.
std::vector<LogLine> sanitize(const std::vector<LogLine>& lines, const HostSet& keepHosts);
// Replaces every destination in `text` that is not kept.
std::string scrub(std::string_view text, const HostSet& keepHosts);

}  // namespace LogSanitizer

}  // namespace corvane
