#include "Corvane/CommandLine/ModelJSON.hpp"

#include <chrono>

#include <boost/json/array.hpp>

#include "Corvane/Model/AppModel.hpp"

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

std::string routeText(const AppModel& model) {
    // The automatic group names no member ("") until its first check ends: show the choice instead.
    const std::optional<std::string>& active = model.activeOutbound;
    return model.prettyTag(active && !active->empty() ? *active : model.pinChoice());
}

json::object statusJSON(const AppModel& m) {
    json::object o;
    o["status"] = rawValue(m.status());
    const auto lockdown = m.tunnel.lockdown();
    o["statusTitle"] = statusTitle(m.status(), m.tunnel.trafficBlocked(), lockdown && lockdown->enabled);
    o["trafficBlocked"] = m.tunnel.trafficBlocked();
    o["killSwitch"] = rawValue(m.tunnel.killSwitch());
    if (lockdown) {
        o["lockdown"] = lockdown->enabled;
        o["lockdownAllowsLAN"] = lockdown->allowLAN;
    }
    if (m.localProxy->has_value()) o["localProxy"] = **m.localProxy;
    o["route"] = routeText(m);
    o["pinChoice"] = m.pinChoice();
    o["entryName"] = m.entryName();
    o["exitName"] = m.exitName();
    if (m.activeOutbound->has_value()) o["activeOutbound"] = **m.activeOutbound;
    if (m.switchingTo->has_value()) o["switchingTo"] = **m.switchingTo;
    if (m.pin->has_value()) o["pin"] = {{"vpsId", (*m.pin)->vpsId}, {"reality", (*m.pin)->reality}};
    if (m.selectedExitId->has_value()) o["selectedExitId"] = **m.selectedExitId;
    if (m.quotaFallbackEntryId) o["quotaFallbackEntryId"] = *m.quotaFallbackEntryId;
    o["smartRouting"] = m.smartRouting.get();
    json::object delays;
    for (const auto& [tag, ms] : *m.delays) delays[tag] = ms;
    o["delays"] = std::move(delays);
    json::object measuredAt;  // seconds since 1970
    for (const auto& [tag, at] : *m.delayMeasuredAt) {
        measuredAt[tag] = std::chrono::duration_cast<std::chrono::seconds>(at.time_since_epoch()).count();
    }
    o["delayMeasuredAt"] = std::move(measuredAt);
    if (m.tunnelReachable->has_value()) o["tunnelReachable"] = **m.tunnelReachable;
    o["trafficNow"] = traffic(m.trafficNow);
    o["trafficTotal"] = traffic(m.trafficTotal);
    json::array fleet;
    for (const auto& slot : m.snapshot()) fleet.push_back(json::object{{"vpsId", slot.vpsId}, {"name", slot.name}});
    o["snapshot"] = std::move(fleet);  // the fleet shown: the session's servers while up
    o["lanShare"] = m.lanShare.get();
    if (m.sharingOn->has_value()) o["sharingOn"] = **m.sharingOn;
    if (m.update->has_value() && !m.updateDismissed) o["update"] = toJSON(**m.update);
    if (m.quotaNotice->has_value()) o["quotaNotice"] = **m.quotaNotice;
    if (m.errorMessage->has_value()) o["errorMessage"] = **m.errorMessage;
    if (m.tunnel.lastError()) o["tunnelLastError"] = *m.tunnel.lastError();
    return o;
}

}  // namespace corvane::cli
