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
        inbound = JSONObject{{"type", "mixed"}, {"tag", std::move(tag)}, {"listen", "127.0.0.1"}, {"listen_port", proxyPort}};
    }
}

}  // namespace corvane
