// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// Pieces of configuration that every server of the fleet shares.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "CorvaneCore/Support/JSONValue.hpp"

namespace corvane::fleet {

// `bytes` random bytes as lower-case hex.
std::string randomHex(std::size_t bytes);
// A random UUID in lower case, as share URLs carry it.
std::string lowerCaseUUID();
// Percent-encodes everything but unreserved characters.
std::string percentEncodeComponent(const std::string& text);

// The "direct" outbound; with a source address its connections leave from it.
JSONValue directOutbound(const std::optional<std::string>& sourceAddress);
// The first route rule of every fleet server: whatever is not inside `allowed`
// (names included, which are never resolved, but for "localhost") is refused.
JSONValue refuseOutside(const std::vector<std::string>& allowed);
// The control API on 127.0.0.1:`port`; it opens only once every inbound is up,
// which is how a server's readiness is seen.
JSONValue controlAPI(std::uint16_t port, const std::string& secret);
// The engine's log settings for a server.
JSONValue serverLog();

}  // namespace corvane::fleet
