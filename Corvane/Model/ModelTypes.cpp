// SPDX-License-Identifier: GPL-3.0-or-later
#include "Corvane/Model/ModelTypes.hpp"

namespace corvane {

FleetSlot FleetSlot::decode(const RecordDecoder& d) {
    return {d.required<std::int64_t>("vpsId"), d.required<std::string>("name")};
}

void FleetSlot::encode(RecordEncoder& e) const {
    e.set("vpsId", vpsId);
    e.set("name", name);
}

PinPref PinPref::decode(const RecordDecoder& d) {
    return {d.required<std::int64_t>("vpsId"), d.required<bool>("reality"),
            d.defaulted<bool>("anyProtocol", false)};
}

void PinPref::encode(RecordEncoder& e) const {
    e.set("vpsId", vpsId);
    e.set("reality", reality);
    // Written only when set: settings and snapshots of a protocol pin read as before.
    if (anyProtocol) e.set("anyProtocol", true);
}

std::string_view rawValue(UiStatus status) {
    switch (status) {
    case UiStatus::disconnected: return "disconnected";
    case UiStatus::connecting: return "connecting";
    case UiStatus::connected: return "connected";
    case UiStatus::reconnecting: return "reconnecting";
    case UiStatus::failed: return "failed";
    }
    return "disconnected";
}

std::string statusTitle(UiStatus status, bool trafficBlocked, bool tunnelRequired) {
    if (trafficBlocked && tunnelRequired) {
        if (status == UiStatus::failed) return "Failed \u00b7 traffic blocked: the tunnel is always required";
        if (status == UiStatus::disconnected) return "Disconnected \u00b7 traffic blocked: the tunnel is always required";
    }
    switch (status) {
    case UiStatus::connected: return "Connected";  // blocked or not, everything goes through the tunnel
    case UiStatus::connecting: return trafficBlocked ? "Connecting\u2026 \u00b7 traffic blocked meanwhile" : "Connecting\u2026";
    case UiStatus::reconnecting:
        return trafficBlocked ? "Reconnecting\u2026 \u00b7 traffic blocked meanwhile" : "Reconnecting\u2026";
    case UiStatus::failed:
        return trafficBlocked ? "Failed \u00b7 traffic blocked until you reconnect or disconnect" : "Failed";
    case UiStatus::disconnected: break;
    }
    // Down without a failure to name (the service went away, say) while the block stands.
    return trafficBlocked ? "Tunnel down \u00b7 traffic blocked until you reconnect or disconnect" : "Disconnected";
}

std::string_view rawValue(Recovery recovery) {
    return recovery == Recovery::servers ? "servers" : "signIn";
}

}  // namespace corvane
