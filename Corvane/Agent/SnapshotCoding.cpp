// SPDX-License-Identifier: GPL-3.0-or-later
#include "Corvane/Agent/SnapshotCoding.hpp"

#include <chrono>
#include <type_traits>

#include "CorvaneCore/Support/RecordCoding.hpp"

namespace corvane {

namespace {

std::string_view rawValue(NEVPNStatus s) {
    switch (s) {
    case NEVPNStatus::disconnected: return "disconnected";
    case NEVPNStatus::connecting: return "connecting";
    case NEVPNStatus::connected: return "connected";
    case NEVPNStatus::reasserting: return "reasserting";
    case NEVPNStatus::disconnecting: return "disconnecting";
    case NEVPNStatus::invalid: break;
    }
    return "invalid";
}


template <class Enum, std::size_t N>
Enum enumFromRaw(const boost::json::value& v, const CodingContext& ctx, const Enum (&all)[N]) {
    const std::string raw = decodeValue<std::string>(v, ctx);
    for (Enum e : all) {
        if (rawValue(e) == raw) return e;
    }
    ctx.fail("unknown value \"" + raw + "\"");
}

}  // namespace

// The model's small types, by their field names.
template <>
struct JSONCoding<TrafficSample> {
    static TrafficSample decode(const boost::json::value& v, const CodingContext& ctx) {
        RecordDecoder d(v, ctx);
        return {.up = d.defaulted<std::int64_t>("up", 0), .down = d.defaulted<std::int64_t>("down", 0)};
    }
    static boost::json::value encode(const TrafficSample& t) { return {{"up", t.up}, {"down", t.down}}; }
};

template <>
struct JSONCoding<SiteStatus> {
    static SiteStatus decode(const boost::json::value& v, const CodingContext& ctx) {
        RecordDecoder d(v, ctx);
        const std::string mode = d.required<std::string>("mode");
        const auto known = SiteStatus::modeFromRawValue(mode);
        if (!known) ctx.member("mode").fail("unknown site mode \"" + mode + "\"");
        return {.siteId = d.required<std::int64_t>("siteId"),
                .name = d.required<std::string>("name"),
                .mode = *known,
                .endpoint = d.optional<std::string>("endpoint"),
                .viaLocal = d.defaulted<bool>("viaLocal", false)};
    }
    static boost::json::value encode(const SiteStatus& s) {
        boost::json::object o{{"siteId", s.siteId}, {"name", s.name}, {"mode", SiteStatus::rawValue(s.mode)}};
        if (s.endpoint) o["endpoint"] = *s.endpoint;
        if (s.viaLocal) o["viaLocal"] = true;
        return o;
    }
};

template <>
struct JSONCoding<std::set<std::int64_t>> {
    static std::set<std::int64_t> decode(const boost::json::value& v, const CodingContext& ctx) {
        auto ids = decodeValue<std::vector<std::int64_t>>(v, ctx);
        return {ids.begin(), ids.end()};
    }
    static boost::json::value encode(const std::set<std::int64_t>& ids) {
        return encodeValue(std::vector<std::int64_t>(ids.begin(), ids.end()));
    }
};

template <>
struct JSONCoding<UpdateStatus> {
    static UpdateStatus decode(const boost::json::value& v, const CodingContext& ctx) {
        RecordDecoder d(v, ctx);
        return {.updateAvailable = d.defaulted<bool>("updateAvailable", false),
                .blocking = d.defaulted<bool>("blocking", false),
                .latest = d.defaulted<std::string>("latest", ""),
                .installed = d.defaulted<std::string>("installed", "")};
    }
    static boost::json::value encode(const UpdateStatus& u) {
        return {{"updateAvailable", u.updateAvailable}, {"blocking", u.blocking}, {"latest", u.latest}, {"installed", u.installed}};
    }
};

template <>
struct JSONCoding<LockdownState> {
    static LockdownState decode(const boost::json::value& v, const CodingContext& ctx) {
        RecordDecoder d(v, ctx);
        return {.enabled = d.defaulted<bool>("enabled", false), .allowLAN = d.defaulted<bool>("allowLAN", false)};
    }
    static boost::json::value encode(const LockdownState& l) { return {{"enabled", l.enabled}, {"allowLAN", l.allowLAN}}; }
};

template <>
struct JSONCoding<UiStatus> {
    static UiStatus decode(const boost::json::value& v, const CodingContext& ctx) {
        static constexpr UiStatus all[] = {UiStatus::disconnected, UiStatus::connecting, UiStatus::connected,
                                           UiStatus::reconnecting, UiStatus::failed};
        return enumFromRaw(v, ctx, all);
    }
    static boost::json::value encode(UiStatus s) { return boost::json::string(rawValue(s)); }
};

template <>
struct JSONCoding<NEVPNStatus> {
    static NEVPNStatus decode(const boost::json::value& v, const CodingContext& ctx) {
        static constexpr NEVPNStatus all[] = {NEVPNStatus::invalid, NEVPNStatus::disconnected, NEVPNStatus::connecting,
                                              NEVPNStatus::connected, NEVPNStatus::reasserting, NEVPNStatus::disconnecting};
        return enumFromRaw(v, ctx, all);
    }
    static boost::json::value encode(NEVPNStatus s) { return boost::json::string(rawValue(s)); }
};

template <>
struct JSONCoding<KillSwitchState> {
    static KillSwitchState decode(const boost::json::value& v, const CodingContext& ctx) {
        static constexpr KillSwitchState all[] = {KillSwitchState::unknown, KillSwitchState::unavailable, KillSwitchState::off,
                                                  KillSwitchState::armed, KillSwitchState::blocking};
        return enumFromRaw(v, ctx, all);
    }
    static boost::json::value encode(KillSwitchState s) { return boost::json::string(rawValue(s)); }
};

// A moment as whole seconds since the epoch.
template <>
struct JSONCoding<std::chrono::system_clock::time_point> {
    static std::chrono::system_clock::time_point decode(const boost::json::value& v, const CodingContext& ctx) {
        return std::chrono::system_clock::time_point(std::chrono::seconds(decodeValue<std::int64_t>(v, ctx)));
    }
    static boost::json::value encode(std::chrono::system_clock::time_point t) {
        return std::chrono::duration_cast<std::chrono::seconds>(t.time_since_epoch()).count();
    }
};

namespace SnapshotCoding {

namespace {

template <class T>
struct IsShared : std::false_type {};
template <class T>
struct IsShared<std::shared_ptr<const T>> : std::true_type {};

// Every field once, for both directions: `visit(name, field)`.
template <class Snapshot, class Visit>
void eachField(Snapshot& s, Visit&& visit) {
    visit("version", s.version);
    visit("panelURL", s.panelURL);
    visit("email", s.email);
    visit("password", s.password);
    visit("signedIn", s.signedIn);
    visit("busy", s.busy);
    visit("errorMessage", s.errorMessage);
    visit("offerFileCredentialStore", s.offerFileCredentialStore);
    visit("servers", s.servers);
    visit("exits", s.exits);
    visit("selectedExitId", s.selectedExitId);
    visit("quotaFallbackEntryId", s.quotaFallbackEntryId);
    visit("quotaNotice", s.quotaNotice);
    visit("sites", s.sites);
    visit("siteStatuses", s.siteStatuses);
    visit("disabledSiteIds", s.disabledSiteIds);
    visit("connectedFleet", s.connectedFleet);
    visit("refreshing", s.refreshing);
    visit("smartRouting", s.smartRouting);
    visit("notifications", s.notifications);
    visit("pin", s.pin);
    visit("lanShare", s.lanShare);
    visit("sharingOn", s.sharingOn);
    visit("lanAddress", s.lanAddress);
    visit("lanSharePassword", s.lanSharePassword);
    visit("delays", s.delays);
    visit("delayMeasuredAt", s.delayMeasuredAt);
    visit("activeOutbound", s.activeOutbound);
    visit("switchingTo", s.switchingTo);
    visit("tunnelReachable", s.tunnelReachable);
    visit("trafficNow", s.trafficNow);
    visit("trafficTotal", s.trafficTotal);
    visit("trafficHistory", s.trafficHistory);
    visit("update", s.update);
    visit("updateDismissed", s.updateDismissed);
    visit("updateURL", s.updateURL);
    visit("diagnosticsNote", s.diagnosticsNote);
    visit("logLines", s.logLines);
    visit("connectInFlight", s.connectInFlight);
    visit("waitingForNetwork", s.waitingForNetwork);
    visit("status", s.status);
    visit("working", s.working);
    visit("snapshot", s.snapshot);
    visit("updateBlocksConnecting", s.updateBlocksConnecting);
    visit("tunnelStatus", s.tunnelStatus);
    visit("tunnelLastError", s.tunnelLastError);
    visit("trafficBlocked", s.trafficBlocked);
    visit("killSwitch", s.killSwitch);
    visit("lockdown", s.lockdown);
    visit("localProxy", s.localProxy);
    visit("pinChoice", s.pinChoice);
    visit("selectedExit", s.selectedExit);
    visit("entryName", s.entryName);
    visit("exitName", s.exitName);
}

}  // namespace

boost::json::object encode(const AppSnapshot& snapshot) {
    boost::json::object out;
    eachField(snapshot, [&](std::string_view name, const auto& field) {
        using Field = std::decay_t<decltype(field)>;
        if constexpr (IsShared<Field>::value) {
            if (field) out[name] = encodeValue(*field);
        } else if constexpr (coding_detail::IsOptional<Field>::value) {
            if (field) out[name] = encodeValue(*field);
        } else {
            out[name] = encodeValue(field);
        }
    });
    return out;
}

std::shared_ptr<const AppSnapshot> decode(const boost::json::object& fields, const AppSnapshot* base) {
    auto s = std::make_shared<AppSnapshot>(base ? *base : AppSnapshot{});
    eachField(*s, [&](std::string_view name, auto& field) {
        using Field = std::decay_t<decltype(field)>;
        const boost::json::value* v = fields.if_contains(name);
        const CodingContext ctx{"AppSnapshot", std::string(name)};
        if constexpr (IsShared<Field>::value) {
            // Views read every list: an absent one is empty, never missing.
            if (!v || v->is_null()) {
                if (!field || v) field = std::make_shared<const std::remove_const_t<typename Field::element_type>>();
                return;
            }
        }
        if (!v) return;
        if (v->is_null()) {
            field = Field{};
        } else if constexpr (IsShared<Field>::value) {
            field = std::make_shared<const std::remove_const_t<typename Field::element_type>>(decodeValue<std::remove_const_t<typename Field::element_type>>(*v, ctx));
        } else {
            field = decodeValue<Field>(*v, ctx);
        }
    });
    return s;
}

boost::json::object changes(const boost::json::object& before, const boost::json::object& after) {
    boost::json::object out;
    for (const auto& [key, value] : after) {
        const boost::json::value* old = before.if_contains(key);
        if (!old || *old != value) out[key] = value;
    }
    for (const auto& [key, value] : before) {
        if (!after.contains(key)) out[key] = nullptr;
    }
    return out;
}

}  // namespace SnapshotCoding

}  // namespace corvane
