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
    return {d.required<std::int64_t>("vpsId"), d.required<bool>("reality")};
}

void PinPref::encode(RecordEncoder& e) const {
    e.set("vpsId", vpsId);
    e.set("reality", reality);
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

std::string_view rawValue(Recovery recovery) {
    return recovery == Recovery::servers ? "servers" : "signIn";
}

}  // namespace corvane
