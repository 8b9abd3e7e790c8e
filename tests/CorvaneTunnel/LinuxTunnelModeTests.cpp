// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include "CorvaneTunnel/LinuxTunnelMode.hpp"

using namespace corvane;

namespace {

const char* kConfig = R"({
  "inbounds": [
    {"type": "tun", "tag": "tun-in", "interface_name": "Corvane", "address": ["172.19.0.1/30"], "stack": "mixed"},
    {"type": "mixed", "tag": "lan-share", "listen": "0.0.0.0", "listen_port": 7890}
  ],
  "route": {"rules": [{"inbound": ["tun-in"], "action": "sniff"}], "final": "proxy"}
})";

}  // namespace

TEST(LinuxTunnelMode, SystemModeRoutesTheTunInterface) {
    auto config = JSONValue::parse(kConfig);
    applyLinuxTunnelMode(config, ServiceMode::system, 2080);
    const auto& tun = (*config.find("inbounds")->array())[0];
    EXPECT_EQ(*tun.find("auto_route"), JSONValue(true));
    EXPECT_EQ(*tun.find("interface_name"), JSONValue("Corvane"));
    EXPECT_EQ(*config.find("route")->find("auto_detect_interface"), JSONValue(true));
    EXPECT_EQ((*config.find("inbounds")->array())[1], JSONValue::parse(kConfig).find("inbounds")->array()->at(1));
}

TEST(LinuxTunnelMode, UserModeOffersALocalProxyUnderTheSameTag) {
    auto config = JSONValue::parse(kConfig);
    applyLinuxTunnelMode(config, ServiceMode::user, 2080);
    const auto& inbounds = *config.find("inbounds")->array();
    ASSERT_EQ(inbounds.size(), 2u);
    EXPECT_EQ(inbounds[0], JSONValue::parse(R"({"type":"mixed","tag":"tun-in","listen":"127.0.0.1","listen_port":2080})"));
    EXPECT_EQ(*inbounds[1].find("tag"), JSONValue("lan-share"));
    EXPECT_EQ(config.find("route")->find("auto_detect_interface"), nullptr);
    EXPECT_NE(config.serialize().find(R"("inbound":["tun-in"])"), std::string::npos);  // rules keep applying
}

TEST(LinuxTunnelMode, LeavesWhatItDoesNotKnowAlone) {
    for (const char* text : {"[]", "{}", R"({"inbounds":{}})", R"({"inbounds":[1,"x",{"type":5}]})"}) {
        auto config = JSONValue::parse(text);
        applyLinuxTunnelMode(config, ServiceMode::user, 2080);
        applyLinuxTunnelMode(config, ServiceMode::system, 2080);
        EXPECT_EQ(config, JSONValue::parse(text)) << text;
    }
}

TEST(LinuxTunnelMode, UserModeKeepsSniffing) {
    auto config = JSONValue::parse(R"({"inbounds":[{"type":"tun","tag":"tun-in","sniff":true}]})");
    applyLinuxTunnelMode(config, ServiceMode::user, 3128);
    EXPECT_EQ(config.find("inbounds")->array()->at(0),
              JSONValue::parse(R"({"type":"mixed","tag":"tun-in","listen":"127.0.0.1","listen_port":3128,"sniff":true})"));
}

TEST(ConfineEngineFiles, KeepsTheEnginesFilesInItsFolder) {
    struct Case {
        const char* in;
        const char* out;
    };
    const Case cases[] = {
        {R"({"log":{"level":"info","output":"/etc/cron.d/x"}})", R"({"log":{"level":"info"}})"},
        {R"({"experimental":{"cache_file":{"enabled":true,"path":"/root/.bashrc"}}})",
         R"({"experimental":{"cache_file":{"enabled":true,"path":"cache.db"}}})"},
        {R"({"experimental":{"cache_file":{"path":"../../x.db"}}})", R"({"experimental":{"cache_file":{"path":"cache.db"}}})"},
        {R"({"experimental":{"cache_file":{"path":7}}})", R"({"experimental":{"cache_file":{"path":"cache.db"}}})"},
        {R"({"experimental":{"cache_file":{"path":"corvane.db"}}})", R"({"experimental":{"cache_file":{"path":"corvane.db"}}})"},
        {R"({"experimental":{"clash_api":{"external_controller":"127.0.0.1:1","external_ui":"/","external_ui_download_url":"u"}}})",
         R"({"experimental":{"clash_api":{"external_controller":"127.0.0.1:1"}}})"},
        {R"({"log":"x","experimental":[]})", R"({"log":"x","experimental":[]})"},
    };
    for (const auto& c : cases) {
        auto config = JSONValue::parse(c.in);
        confineEngineFiles(config);
        EXPECT_EQ(config, JSONValue::parse(c.out)) << c.in;
    }
}
