// SPDX-License-Identifier: GPL-3.0-or-later
// Every record the panel sends (and those we send it): decode, encode, decode gives
// the same record. The first byte picks the record, the rest is its JSON text.
#include "CorvaneCore/Panel/PanelRecords.hpp"
#include "fuzz/FuzzSupport.hpp"

using namespace corvane;

CORVANE_FUZZ_TARGET {
    if (size == 0) return 0;
    const auto json = fuzz::text(data + 1, size - 1);
    switch (data[0] % 10) {
    case 0: fuzz::recordRoundTrip<ServerListResponse>(json); break;
    case 1: fuzz::recordRoundTrip<ServerListEntry>(json); break;
    case 2: fuzz::recordRoundTrip<ClientExit>(json); break;
    case 3: fuzz::recordRoundTrip<ExitTraffic>(json); break;
    case 4: fuzz::recordRoundTrip<SiteAccess>(json); break;
    case 5: fuzz::recordRoundTrip<LoginRequest>(json); break;
    case 6: fuzz::recordRoundTrip<LoginResponse>(json); break;
    case 7: fuzz::recordRoundTrip<PanelErrorResponse>(json); break;
    case 8: fuzz::recordRoundTrip<Selection>(json); break;
    case 9: fuzz::recordRoundTrip<Reply>(json); break;
    }
    return 0;
}
