// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <cstdint>

#include "CorvaneCore/Support/JSONValue.hpp"
#include "CorvaneTunnel/PeerCredentials.hpp"

namespace corvane {

// The last step before the engine sees a configuration on Linux.
//
// System mode: the TUN inbound ("tun-in") gets "auto_route": true, without which
// no traffic enters the interface on Linux, and the router detects the default
// interface so that the engine's own connections do not loop into the tunnel.
//
// User mode: no TUN interface can be made without privileges, so the TUN inbound
// is replaced by a "mixed" (HTTP and SOCKS5) inbound on 127.0.0.1:`proxyPort`
// under the same tag, which keeps every rule that names "tun-in" working for it.
void applyLinuxTunnelMode(JSONValue& configuration, ServiceMode mode, std::uint16_t proxyPort);

// Keeps the engine's own files in its working folder and its log on the output
// the service reads: the system service runs as root for any member of the
// access group, so a configuration must not name paths for it to write. Drops
// "log"."output" and the control API's web UI, and turns a cache file path
// that leaves the folder into "cache.db".
void confineEngineFiles(JSONValue& configuration);

}  // namespace corvane
