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

}  // namespace corvane
