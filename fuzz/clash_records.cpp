// SPDX-License-Identifier: GPL-3.0-or-later
// The engine API's records: decode, encode, decode gives the same record; a delay's
// time reads without failing. The first byte picks the record.
#include "Corvane/Tunnel/ClashClient.hpp"
#include "fuzz/FuzzSupport.hpp"

using namespace corvane;

CORVANE_FUZZ_TARGET {
    if (size == 0) return 0;
    const auto json = fuzz::text(data + 1, size - 1);
    switch (data[0] % 3) {
    case 0: fuzz::recordRoundTrip<ClashClient::ProxiesResponse>(json); break;
    case 1: fuzz::recordRoundTrip<ClashClient::Traffic>(json); break;
    case 2:
        fuzz::recordRoundTrip<ClashClient::Proxy::Delay>(json);
        try {
            (void)decodeJSON<ClashClient::Proxy::Delay>(json).measuredAt();
        } catch (const DecodingError&) {
        }
        break;
    }
    return 0;
}
