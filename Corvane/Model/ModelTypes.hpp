// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// Small value types of the application model.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "CorvaneCore/Support/RecordCoding.hpp"

namespace corvane {

// One server of the fleet as the user sees it.
struct FleetSlot {
    static constexpr std::string_view recordName = "FleetSlot";
    std::int64_t vpsId = 0;
    std::string name;

    bool operator==(const FleetSlot&) const = default;
    static FleetSlot decode(const RecordDecoder& d);
    void encode(RecordEncoder& e) const;
};

// The pinned server and protocol: `reality` pins VLESS Reality, otherwise Hysteria2.
struct PinPref {
    static constexpr std::string_view recordName = "PinPref";
    std::int64_t vpsId = 0;
    bool reality = false;
    // The user chose "Automatic protocol" for this server: `reality` is the
    // faster of its two protocols when the choice was made.
    bool anyProtocol = false;

    bool operator==(const PinPref&) const = default;
    static PinPref decode(const RecordDecoder& d);
    void encode(RecordEncoder& e) const;
};

// Bytes per second (rates) or bytes (totals).
struct TrafficSample {
    std::int64_t up = 0;
    std::int64_t down = 0;
    bool operator==(const TrafficSample&) const = default;
};

// The connection state shown to the user.
enum class UiStatus { disconnected, connecting, connected, reconnecting, failed };
std::string_view rawValue(UiStatus status);

// The status line every view shows (window, tray, corvanectl): the status, and
// while traffic outside the tunnel is blocked with the tunnel not up, that it
// is and until when. "Failed · traffic blocked until you reconnect or disconnect".
// `tunnelRequired`: the service blocks whenever no tunnel is up, so a
// disconnect does not lift the block.
std::string statusTitle(UiStatus status, bool trafficBlocked, bool tunnelRequired = false);

// Which operation a network recovery retries.
enum class Recovery { servers, signIn };
std::string_view rawValue(Recovery recovery);

}  // namespace corvane
