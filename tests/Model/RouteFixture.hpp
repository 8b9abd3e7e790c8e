// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <string>
#include <vector>

#include "CorvaneCore/Support/JSONValue.hpp"
#include "Model/ModelFixture.hpp"

namespace corvane::testing {

// A server with share URLs the connect parses (nothing listens there).
inline std::string shareServerJSON(std::int64_t id, const std::string& name) {
    const std::string host = "127.0.0." + std::to_string(10 + id);
    return R"({"vps_id":)" + std::to_string(id) + R"(,"name":")" + name + R"(","public_ip":")" + host +
           R"(","hysteria2_url":"hysteria2://secret@)" + host + R"(:8443/?sni=hy.example.net#H",)"
           R"("reality_url":"vless://451d324c-605b-4383-a814-967c5d2d589e@)" + host +
           R"(:443?security=reality&sni=www.example.com&pbk=BoyfA7zDUQj6BrJQNq1BtbYTXhgsZyc-Q65n2ktuRSE&sid=9d13#R",)"
           R"("config_version":1})";
}

inline std::string trafficJSON(const std::string& status, bool usingOriginal) {
    return R"({"provider":"p","status":")" + status + R"(","remaining_gb":)" + (status == "exhausted" ? "0" : "3") +
           R"(,"low_threshold_gb":1,"checked_at":"t","stale":false,"fallback_on_exhaustion":true,"using_original":)" +
           (usingOriginal ? "true" : "false") + "}";
}

inline std::string exitJSON(std::int64_t exitId, std::int64_t vpsId, const std::string& name,
                            const std::string& traffic = "", bool ready = true) {
    return R"({"exit_id":)" + std::to_string(exitId) + R"(,"vps_id":)" + std::to_string(vpsId) + R"(,"name":")" + name +
           R"(","metered":true,"ready":)" + (ready ? "true" : "false") +
           R"(,"reality_url":"vless://451d324c-605b-4383-a814-967c5d2d589e@127.0.0.10:2443?security=reality&sni=www.example.com&pbk=BoyfA7zDUQj6BrJQNq1BtbYTXhgsZyc-Q65n2ktuRSE&sid=9d13")" +
           (traffic.empty() ? "" : R"(,"traffic":)" + traffic) + "}";
}

inline const std::vector<std::string> kNames{"", "Amsterdam", "Tokyo", "Oslo"};

inline std::string listJSON(const std::vector<std::int64_t>& ids, const std::string& exits = "") {
    std::string text = R"({"servers":[)";
    for (std::size_t i = 0; i < ids.size(); ++i) text += (i ? "," : "") + shareServerJSON(ids[i], kNames.at(ids[i]));
    text += "]";
    if (!exits.empty()) text += R"(,"exits":[)" + exits + "]";
    return text + "}";
}

// The types of proxy-0, proxy-1, ... in order.
inline std::vector<std::string> proxyTypes(const JSONValue& config) {
    std::vector<std::string> types;
    for (const auto& outbound : *config.find("outbounds")->array()) {
        const std::string tag = *outbound.find("tag")->string();
        if (tag.starts_with("proxy-") && tag != "proxy-auto") types.push_back(*outbound.find("type")->string());
    }
    return types;
}

inline std::optional<std::string> urlTestURL(const JSONValue& config) {
    for (const auto& outbound : *config.find("outbounds")->array()) {
        if (*outbound.find("tag")->string() == "proxy-auto") return *outbound.find("url")->string();
    }
    return std::nullopt;
}

// The fake service moves through connecting to connected on a start and down on a stop.
class RouteTest : public ModelTest {
protected:
    RouteTest() {
        script.set("/api/client/exit-selection", ScriptedReply::json(200, R"({"ok":true})"));
        tunnelPlatform->onStart = [this](const std::string& id) {
            tunnelPlatform->setStatus(id, NEVPNStatus::connecting);
            tunnelPlatform->setStatus(id, NEVPNStatus::connected);
        };
        tunnelPlatform->onStop = [this](const std::string& id) { tunnelPlatform->setStatus(id, NEVPNStatus::disconnected); };
    }
    const std::string& profile() const { return tunnelPlatform->profiles.at(0).identifier; }
    std::size_t starts() const { return tunnelPlatform->startOptions.size(); }
};

}  // namespace corvane::testing
