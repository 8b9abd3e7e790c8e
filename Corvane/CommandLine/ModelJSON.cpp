// SPDX-License-Identifier: GPL-3.0-or-later
#include "Corvane/CommandLine/ModelJSON.hpp"

#include <chrono>

#include <boost/json/array.hpp>

#include "Corvane/Model/SnapshotRoutes.hpp"

namespace corvane::cli {

namespace json = boost::json;

namespace {

template <class T>
json::array array(const std::vector<T>& values) {
    json::array a;
    for (const auto& v : values) a.emplace_back(v);
    return a;
}

}  // namespace

std::vector<std::string> protocols(const ServerListEntry& server) {
    std::vector<std::string> offered;
    if (!server.realityUrl.empty()) offered.emplace_back("Reality");
    if (!server.hysteria2Url.empty()) offered.emplace_back("Hysteria2");
    return offered;
}

json::object toJSON(const ServerListEntry& server) {
    json::object o;
    o["vpsId"] = server.vpsId;
    o["name"] = server.name;
    if (server.region) o["region"] = *server.region;
    o["publicIp"] = server.publicIp;
    o["configVersion"] = server.configVersion;
    o["protocols"] = array(protocols(server));
    return o;
}

json::object toJSON(const ClientExit& exit) {
    json::object o;
    o["exitId"] = exit.exitId;
    o["vpsId"] = exit.vpsId;
    o["name"] = exit.name;
    if (exit.region) o["region"] = *exit.region;
    o["metered"] = exit.metered;
    o["ready"] = exit.ready;
    if (exit.traffic) {
        const ExitTraffic& t = *exit.traffic;
        json::object traffic;
        traffic["provider"] = t.provider;
        traffic["status"] = t.status;
        if (t.remainingGb) traffic["remainingGb"] = *t.remainingGb;
        traffic["lowThresholdGb"] = t.lowThresholdGb;
        if (t.checkedAt) traffic["checkedAt"] = *t.checkedAt;
        traffic["stale"] = t.stale;
        traffic["fallbackOnExhaustion"] = t.fallbackOnExhaustion;
        traffic["usingOriginal"] = t.usingOriginal;
        traffic["summary"] = t.summary();
        o["traffic"] = std::move(traffic);
    }
    return o;
}

json::object toJSON(const SiteAccess& site) {
    json::object o;
    o["siteId"] = site.siteId;
    o["name"] = site.name;
    o["endpointHost"] = site.endpointHost;
    o["endpointPort"] = site.endpointPort;
    o["cidrs"] = array(site.cidrs);
    o["dnsServers"] = array(site.dnsServers);
    o["dnsDomains"] = array(site.dnsDomains);
    o["onsiteCidrs"] = array(site.onsiteCidrs);
    return o;
}

json::object toJSON(const UpdateStatus& update) {
    json::object o;
    o["updateAvailable"] = update.updateAvailable;
    o["blocking"] = update.blocking;
    o["latest"] = update.latest;
    o["installed"] = update.installed;
    return o;
}

}  // namespace corvane::cli

namespace corvane::cli {

namespace {

json::object traffic(const TrafficSample& sample) { return {{"up", sample.up}, {"down", sample.down}}; }

}  // namespace

std::string routeText(const AppSnapshot& s) {
    // The automatic group names no member ("") until its first check ends: show the choice instead.
    const std::optional<std::string>& active = s.activeOutbound;
    return SnapshotRoutes::prettyTag(s, active && !active->empty() ? *active : s.pinChoice);
}

json::object statusJSON(const AppSnapshot& s) {
    json::object o;
    o["status"] = rawValue(s.status);
    o["statusTitle"] = statusTitle(s.status, s.trafficBlocked, s.lockdown && s.lockdown->enabled);
    o["trafficBlocked"] = s.trafficBlocked;
    o["killSwitch"] = rawValue(s.killSwitch);
    if (s.lockdown) {
        o["lockdown"] = s.lockdown->enabled;
        o["lockdownAllowsLAN"] = s.lockdown->allowLAN;
    }
    if (s.localProxy) o["localProxy"] = *s.localProxy;
    o["route"] = routeText(s);
    o["pinChoice"] = s.pinChoice;
    o["entryName"] = s.entryName;
    o["exitName"] = s.exitName;
    if (s.activeOutbound && !s.activeOutbound->empty()) o["activeOutbound"] = *s.activeOutbound;  // "": no member chosen yet
    if (s.switchingTo) o["switchingTo"] = *s.switchingTo;
    if (s.pin) {
        o["pin"] = {{"vpsId", s.pin->vpsId}, {"reality", s.pin->reality}};
        if (s.pin->anyProtocol) o["pin"].as_object()["anyProtocol"] = true;
    }
    if (s.selectedExitId) o["selectedExitId"] = *s.selectedExitId;
    if (s.quotaFallbackEntryId) o["quotaFallbackEntryId"] = *s.quotaFallbackEntryId;
    o["smartRouting"] = s.smartRouting;
    o["notifications"] = s.notifications;
    json::object delays;
    if (s.delays) {
        for (const auto& [tag, ms] : *s.delays) delays[tag] = ms;
    }
    o["delays"] = std::move(delays);
    json::object measuredAt;  // seconds since 1970
    if (s.delayMeasuredAt) {
        for (const auto& [tag, at] : *s.delayMeasuredAt) {
            measuredAt[tag] = std::chrono::duration_cast<std::chrono::seconds>(at.time_since_epoch()).count();
        }
    }
    o["delayMeasuredAt"] = std::move(measuredAt);
    if (s.tunnelReachable) o["tunnelReachable"] = *s.tunnelReachable;
    o["trafficNow"] = traffic(s.trafficNow);
    o["trafficTotal"] = traffic(s.trafficTotal);
    json::array fleet;
    if (s.snapshot) {
        for (const auto& slot : *s.snapshot) fleet.push_back(json::object{{"vpsId", slot.vpsId}, {"name", slot.name}});
    }
    o["snapshot"] = std::move(fleet);  // the fleet shown: the session's servers while up
    o["lanShare"] = s.lanShare;
    if (s.sharingOn) o["sharingOn"] = *s.sharingOn;
    if (s.update && !s.updateDismissed) o["update"] = toJSON(*s.update);
    if (s.quotaNotice) o["quotaNotice"] = *s.quotaNotice;
    if (s.errorMessage) o["errorMessage"] = *s.errorMessage;
    if (s.tunnelLastError) o["tunnelLastError"] = *s.tunnelLastError;
    return o;
}

}  // namespace corvane::cli
