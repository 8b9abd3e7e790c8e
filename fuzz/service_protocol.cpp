// SPDX-License-Identifier: GPL-3.0-or-later
// The tunnel service's socket records, both ways: decode, encode, decode gives the
// same record. The first byte picks request or reply.
#include "CorvaneCore/Tunnel/TunnelServiceProtocol.hpp"
#include "fuzz/FuzzSupport.hpp"

using namespace corvane;

CORVANE_FUZZ_TARGET {
    if (size == 0) return 0;
    const auto json = fuzz::text(data + 1, size - 1);
    switch (data[0] % 4) {
    case 0: fuzz::recordRoundTrip<ServiceRequest>(json); break;
    case 1: fuzz::recordRoundTrip<ServiceReply>(json); break;
    case 2: fuzz::recordRoundTrip<TunnelProfile>(json); break;
    case 3: fuzz::recordRoundTrip<PlatformError>(json); break;
    }
    return 0;
}
