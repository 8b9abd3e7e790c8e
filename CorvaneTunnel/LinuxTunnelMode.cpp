// SPDX-License-Identifier: GPL-3.0-or-later
#include "CorvaneTunnel/LinuxTunnelMode.hpp"

namespace corvane {

namespace {

bool isTunInbound(const JSONValue& inbound) {
    const JSONValue* type = inbound.find("type");
    return type && type->string() && *type->string() == "tun";
}

}  // namespace

void applyLinuxTunnelMode(JSONValue& configuration, ServiceMode mode, std::uint16_t proxyPort) {
    if (!configuration.isObject()) return;
    JSONValue* inbounds = configuration.find("inbounds");
    if (!inbounds || !inbounds->array()) return;
    if (mode == ServiceMode::system) {
        bool hasTun = false;
        for (auto& inbound : *inbounds->array()) {
            if (!isTunInbound(inbound)) continue;
            inbound["auto_route"] = true;
            hasTun = true;
        }
        if (hasTun) {
            JSONValue& route = configuration["route"];
            if (route.isObject() && !route.find("auto_detect_interface")) route["auto_detect_interface"] = true;
        }
        return;
    }
    for (auto& inbound : *inbounds->array()) {
        if (!isTunInbound(inbound)) continue;
        JSONValue tag = inbound.find("tag") ? *inbound.find("tag") : JSONValue("tun-in");
        JSONValue proxy = JSONObject{{"type", "mixed"}, {"tag", std::move(tag)}, {"listen", "127.0.0.1"}, {"listen_port", proxyPort}};
        // Sniffing still finds the names that domain rules route by.
        if (const JSONValue* sniff = inbound.find("sniff")) proxy["sniff"] = *sniff;
        inbound = std::move(proxy);
    }
}

void confineEngineFiles(JSONValue& configuration) {
    if (!configuration.isObject()) return;
    if (JSONValue* log = configuration.find("log"); log && log->isObject()) log->object()->erase("output");
    JSONValue* experimental = configuration.find("experimental");
    if (!experimental || !experimental->isObject()) return;
    if (JSONValue* api = experimental->find("clash_api"); api && api->isObject()) {
        for (const char* key : {"external_ui", "external_ui_download_url", "external_ui_download_detour"}) {
            api->object()->erase(key);
        }
    }
    if (JSONValue* cache = experimental->find("cache_file"); cache && cache->isObject()) {
        if (JSONValue* path = cache->find("path")) {
            const std::string* text = path->string();
            if (!text || text->empty() || text->find('/') != std::string::npos || *text == "." || *text == "..") {
                *path = JSONValue("cache.db");
            }
        }
    }
}

}  // namespace corvane
