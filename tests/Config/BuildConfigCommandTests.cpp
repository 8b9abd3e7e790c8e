// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include "CorvaneCore/Config/ConfigBuilder.hpp"
#include "CorvaneCore/Config/ShareUrlParser.hpp"
#include "CorvaneCore/Support/JSONValue.hpp"
#include "tools/fleet/ChildProcess.hpp"
#include "TestSupport/ConfigSchema.hpp"
#include "tools/fleet/TempDir.hpp"

using namespace corvane;
using corvane::testing::isAcceptedAsBuilt;
using corvane::testing::isValidEngineConfig;
using corvane::fleet::ProcessResult;

namespace {

const std::string kExample = CORVANE_SOURCE_DIR "/examples/server-list.json";

ProcessResult buildConfig(std::vector<std::string> args, const std::string& input = {}) {
    args.insert(args.begin(), {CORVANECTL_PATH, "build-config"});
    return corvane::fleet::runProcess(args, input);
}

std::string lastLine(const std::string& text) {
    std::string trimmed = text;
    while (!trimmed.empty() && trimmed.back() == '\n') trimmed.pop_back();
    auto newline = trimmed.rfind('\n');
    return newline == std::string::npos ? trimmed : trimmed.substr(newline + 1);
}

std::vector<std::string> tagsOf(const JSONValue& items) {
    std::vector<std::string> out;
    for (const auto& item : *items.array()) out.push_back(*item.find("tag")->string());
    return out;
}

const char* kServer = R"({"vps_id": %ID%, "name": "%NAME%", "public_ip": "203.0.113.%ID%", "config_version": 1,
  "hysteria2_url": "hy2://pw@203.0.113.%ID%:443", "reality_url": "%REALITY%"})";

std::string server(int id, const std::string& name,
                   std::string reality = "vless://6f1c2a4e-8b3d-4c5e-9a7f-0b1c2d3e4f50@203.0.113.1?security=reality&sni=s&pbk=k&sid=") {
    std::string text = kServer;
    auto replace = [&](const std::string& from, const std::string& to) {
        for (auto at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) text.replace(at, from.size(), to);
    };
    replace("%ID%", std::to_string(id));
    replace("%NAME%", name);
    replace("%REALITY%", reality);
    return text;
}

}  // namespace

TEST(BuildConfigCommand, TheExampleFleetBecomesAValidConfiguration) {
    ProcessResult result = buildConfig({"--server-list", kExample});
    ASSERT_EQ(result.exitStatus, 0) << result.err;
    EXPECT_EQ(result.err, "");
    JSONValue config = JSONValue::parse(result.out);
    // Each server's Hysteria2 share, then its Reality share; then the groups; then the site's switch.
    EXPECT_EQ(tagsOf(*config.find("outbounds")), (std::vector<std::string>{"proxy-0", "proxy-1", "proxy-2", "proxy-3", "proxy-auto",
                                                                          "proxy", "direct", "site-0-switch"}));
    const auto& outbounds = *config.find("outbounds")->array();
    EXPECT_EQ(*outbounds[0].find("type"), JSONValue("hysteria2"));
    EXPECT_EQ(*outbounds[1].find("type"), JSONValue("vless"));
    EXPECT_EQ(*outbounds[2].find("server"), JSONValue("127.0.0.20"));
    EXPECT_EQ(tagsOf(*config.find("endpoints")), std::vector<std::string>{"site-0"});
    EXPECT_EQ(*config.find("experimental")->find("clash_api"), JSONValue::parse(R"({"external_controller": "127.0.0.1:9090"})"));
    EXPECT_NE(config.find("route")->find("rule_set"), nullptr);
    EXPECT_EQ(config.find("inbounds")->array()->size(), 1u);
    // Indented for reading; numbers as integers.
    EXPECT_NE(result.out.find("\n  \"dns\": {\n"), std::string::npos);
    EXPECT_NE(result.out.find("\"mtu\": 9000,"), std::string::npos);
    EXPECT_TRUE(isValidEngineConfig(result.out));
    EXPECT_TRUE(isAcceptedAsBuilt(result.out));
}

TEST(BuildConfigCommand, OptionsAndStandardInput) {
    corvane::fleet::TempDir dir;
    // The second entry of VPS 1 is skipped: one per VPS, first one kept.
    std::string list = R"({"servers": [)" + server(1, "A") + "," + server(2, "B") + "," + server(1, "A again") + "]}";
    // The password's first line only.
    corvane::fleet::writeFile(dir / "lan-password", "s3cret-_\nnot part of it\n");
    ProcessResult result = buildConfig({"--no-smart-routing", "--server-list", "-", "--no-rule-sets", "--clash-listen", "127.0.0.1:9191",
                                        "--lan-listen", "192.168.1.5", "--lan-password-file", (dir / "lan-password").string()},
                                       list);
    ASSERT_EQ(result.exitStatus, 0) << result.err;
    JSONValue config = JSONValue::parse(result.out);
    EXPECT_EQ(tagsOf(*config.find("outbounds")),
              (std::vector<std::string>{"proxy-0", "proxy-1", "proxy-2", "proxy-3", "proxy-auto", "proxy", "direct"}));
    EXPECT_EQ(*(*config.find("outbounds")->array())[2].find("server"), JSONValue("203.0.113.2"));
    EXPECT_EQ(config.find("endpoints"), nullptr);
    EXPECT_EQ(config.find("route")->find("rule_set"), nullptr);
    EXPECT_EQ(config.find("dns")->find("servers")->array()->size(), 1u);
    EXPECT_EQ(*config.find("experimental")->find("clash_api")->find("external_controller"), JSONValue("127.0.0.1:9191"));
    EXPECT_EQ((*config.find("inbounds")->array())[1], ConfigBuilder::LanShare::inbound("192.168.1.5", "s3cret-_"));
    EXPECT_TRUE(isValidEngineConfig(result.out));
    EXPECT_TRUE(isAcceptedAsBuilt(result.out));

    // The same password on standard input, as a terminal or another program ends its line.
    corvane::fleet::writeFile(dir / "list.json", list);
    for (const std::string input : {"s3cret-_\n", "s3cret-_\r\n", "s3cret-_"}) {
        ProcessResult piped = buildConfig({"--no-smart-routing", "--server-list", (dir / "list.json").string(), "--no-rule-sets",
                                           "--clash-listen", "127.0.0.1:9191", "--lan-listen", "192.168.1.5", "--lan-password-stdin"},
                                          input);
        ASSERT_EQ(piped.exitStatus, 0) << piped.err;
        EXPECT_EQ(piped.out, result.out);
    }

    // Smart routing without rule sets, probing and resolving on local servers.
    ProcessResult smart = buildConfig({"--server-list", "-", "--no-rule-sets", "--probe-url", "https://127.0.0.1:8443/generate_204",
                                       "--resolver", "127.0.0.53"},
                                      list);
    ASSERT_EQ(smart.exitStatus, 0) << smart.err;
    JSONValue smartConfig = JSONValue::parse(smart.out);
    EXPECT_EQ(smartConfig.find("route")->find("rule_set"), nullptr);
    const auto& resolvers = *smartConfig.find("dns")->find("servers")->array();
    ASSERT_EQ(resolvers.size(), 2u);
    EXPECT_EQ(*resolvers[0].find("server"), JSONValue("127.0.0.53"));
    EXPECT_EQ(*resolvers[1].find("server"), JSONValue("127.0.0.53"));
    EXPECT_EQ(*(*smartConfig.find("outbounds")->array())[4].find("url"), JSONValue("https://127.0.0.1:8443/generate_204"));
    EXPECT_TRUE(isValidEngineConfig(smart.out));
    EXPECT_TRUE(isAcceptedAsBuilt(smart.out));
}

TEST(BuildConfigCommand, FailuresEndWithTheErrorAndPrintNoConfiguration) {
    corvane::fleet::TempDir dir;
    corvane::fleet::writeFile(dir / "garbage.json", "{ not json");
    corvane::fleet::writeFile(dir / "empty", "");
    struct Case { std::vector<std::string> args; std::string input; std::string lastLine; };
    const Case cases[] = {
        {{"--server-list", (dir / "missing.json").string()}, "", "cannot read " + (dir / "missing.json").string() + ": No such file or directory"},
        {{"--server-list", dir.path().string()}, "", "cannot read " + dir.path().string() + ": Is a directory"},
        {{"--server-list", (dir / "garbage.json").string()}, "", ""},  // the decoder's own text, checked below
        {{"--server-list", "-"}, R"({"sites": []})", "servers: missing required key"},
        {{"--server-list", "-"}, R"({"servers": []})", "build() requires at least one share URL"},
        {{"--server-list", "-"}, R"({"servers": [)" + server(1, "A", "vless://u@h?security=tls") + "]}",
         "malformed URL: expected security=reality, got security=\"tls\""},
        {{"--server-list", "-", "--lan-listen", "192.168.1.5"}, R"({"servers": [)" + server(1, "A") + "]}",
         "shareOverLanPassword is required when shareOverLanListen is set \u2014 no open relays"},
        {{"--server-list", "-", "--lan-listen", "192.168.1.5", "--lan-password-file", (dir / "empty").string()},
         R"({"servers": [)" + server(1, "A") + "]}", "shareOverLanPassword is required when shareOverLanListen is set \u2014 no open relays"},
        {{"--server-list", kExample, "--lan-listen", "192.168.1.5", "--lan-password-file", (dir / "missing").string()}, "",
         "cannot read " + (dir / "missing").string() + ": No such file or directory"},
        {{"--server-list", kExample, "--lan-listen", "192.168.1.5", "--lan-password-stdin"}, "", "no LAN password on standard input"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.args) + " " + c.input);
        ProcessResult result = buildConfig(c.args, c.input);
        EXPECT_EQ(result.exitStatus, 1);
        EXPECT_EQ(result.out, "");
        if (!c.lastLine.empty()) EXPECT_EQ(lastLine(result.err), c.lastLine) << result.err;
        else EXPECT_NE(lastLine(result.err).find("not valid JSON"), std::string::npos) << result.err;
    }
    // A bad share names its server on the line before.
    ProcessResult bad = buildConfig({"--server-list", "-"}, R"({"servers": [)" + server(4, "Oslo", "vless://u@h?security=tls") + "]}");
    EXPECT_NE(bad.err.find("reality_url of server 4 (Oslo)"), std::string::npos) << bad.err;

    // Misuse is told apart from failure.
    for (const auto& args : std::vector<std::vector<std::string>>{{}, {"--server-list"}, {"--server-list", kExample, "--bogus"}}) {
        ProcessResult usage = buildConfig(args);
        EXPECT_EQ(usage.exitStatus, 2) << ::testing::PrintToString(args);
        EXPECT_EQ(usage.out, "");
        EXPECT_NE(usage.err.find("Usage: corvanectl build-config --server-list FILE"), std::string::npos) << usage.err;
    }
    // A password as an argument is seen by every local user: refused, and not repeated.
    const std::string lan[] = {"--lan-listen", "192.168.1.5"};
    for (const auto& [args, reason] : std::vector<std::pair<std::vector<std::string>, std::string>>{
             {{"--server-list", kExample, lan[0], lan[1], "--lan-password", "hunter2"},
              "--lan-password would show the password to every user of this machine; use --lan-password-stdin or "
              "--lan-password-file FILE"},
             {{"--server-list", "-", lan[0], lan[1], "--lan-password-stdin"},
              "--lan-password-stdin and --server-list - both read standard input"},
             {{"--server-list", kExample, lan[0], lan[1], "--lan-password-stdin", "--lan-password-file", (dir / "empty").string()},
              "give the password one way"},
         }) {
        ProcessResult usage = buildConfig(args, "hunter2\n");
        EXPECT_EQ(usage.exitStatus, 2) << ::testing::PrintToString(args);
        EXPECT_EQ(usage.out, "");
        EXPECT_NE(usage.err.find(reason), std::string::npos) << usage.err;
        EXPECT_EQ(usage.err.find("hunter2"), std::string::npos) << usage.err;
    }
}
