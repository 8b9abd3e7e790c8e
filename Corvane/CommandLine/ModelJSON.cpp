#include "Corvane/CommandLine/ModelJSON.hpp"

#include <boost/json/array.hpp>

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
