// SPDX-License-Identifier: GPL-3.0-or-later
// The configurations the strict service refuses: every way a member of the
// access group could make a root engine read, write or run files, listen
// where others can reach it, or steer other users' traffic. Each is sent to
// the real corvane-tunnel, which must refuse it by naming the offending key
// and never start the engine.
#include <gtest/gtest.h>

#include <functional>
#include <thread>

#include "CorvaneCore/Config/ConfigAllowList.hpp"
#include "CorvaneCore/Config/ConfigBuilder.hpp"
#include "CorvaneCore/Config/ShareUrlParser.hpp"
#include "tools/fleet/BackgroundProcess.hpp"
#include "TestSupport/EngineStandIn.hpp"
#include "TestSupport/ServiceClient.hpp"
#include "tools/fleet/TempDir.hpp"

using namespace corvane;
using namespace corvane::testing;
using namespace corvane::fleet;
using namespace std::chrono_literals;

namespace {

// Everything the builder can write: both protocols, a site, the LAN share, rule sets.
JSONValue everythingTheAppBuilds(std::string ruleSetBaseURL = std::string(DeploymentValues::ruleSetBaseURL)) {
    SiteAccess site;
    site.siteId = 7;
    site.name = "Office";
    site.endpointHost = "198.51.100.77";
    site.endpointPort = 51820;
    site.serverPublicKey = "o1FbZpyZdLO8U9A9gv8nKSxZwjEL/2rT49dGzkZHmRo=";
    site.cidrs = {"10.9.0.0/16"};
    site.dnsServers = {"10.9.0.53"};
    site.dnsDomains = {"corp.example.com"};
    site.mtu = 1380;
    site.address = "10.99.0.2/32";
    site.privateKey = "wITbRGVyavnVDk/7z0wGOrbjmwwqCD19eOpDF0mKlnQ=";
    ConfigBuilder::Inputs inputs;
    inputs.shares = {
        ShareUrlParser::parse("vless://6f1c2a4e-8b3d-4c5e-9a7f-0b1c2d3e4f50@203.0.113.10:443?security=reality&sni=www.example.com"
                              "&pbk=BoyfA7zDUQj6BrJQNq1BtbYTXhgsZyc-Q65n2ktuRSE&sid=9d1386ce&flow=xtls-rprx-vision#Tokyo"),
        ShareUrlParser::parse("hysteria2://secret@hy.example.net:8443?sni=hy.example.net&obfs=salamander&obfs-password=o&alpn=h3"),
    };
    inputs.shareOverLanListen = "192.168.1.20";
    inputs.shareOverLanPassword = "pw";
    inputs.sites = {site};
    inputs.ruleSetBaseURL = std::move(ruleSetBaseURL);
    return ConfigBuilder::build(inputs);
}

JSONValue& inbound(JSONValue& c, std::size_t i) { return (*c["inbounds"].array())[i]; }
JSONValue& outbound(JSONValue& c, std::size_t i) { return (*c["outbounds"].array())[i]; }
void addOutbound(JSONValue& c, JSONValue item) { c["outbounds"].array()->push_back(std::move(item)); }

struct Attack {
    std::string name;
    std::function<void(JSONValue&)> change;
    std::string path;  // the key the refusal must name
};

// In the base document: inbounds tun-in, lan-share; outbounds proxy-0 (vless),
// proxy-1 (hysteria2), proxy-auto, proxy, direct, site-0-switch.
std::vector<Attack> attacks() {
    const JSONValue tor = JSONObject{{"type", "tor"}, {"tag", "t"}};
    return {
        // The engine matches keys without regard to case, also with Unicode folding.
        {"case-folded log output", [](JSONValue& c) { c["log"]["Output"] = "/etc/cron.d/owned"; }, "log.Output"},
        {"case-folded cache path", [](JSONValue& c) { c["experimental"]["cache_file"]["Path"] = "/etc/passwd"; },
         "experimental.cache_file.Path"},
        {"case-folded web UI", [](JSONValue& c) { c["experimental"]["clash_api"]["External_UI"] = "/"; },
         "experimental.clash_api.External_UI"},
        {"web UI download", [](JSONValue& c) { c["experimental"]["clash_api"]["external_ui_download_url"] = "https://127.0.0.1/x.zip"; },
         "experimental.clash_api.external_ui_download_url"},
        {"folded secret", [](JSONValue& c) { c["experimental"]["clash_api"]["\u017Fecret"] = ""; },
         "experimental.clash_api.\u017Fecret"},
        {"empty secret", [](JSONValue& c) { c["experimental"]["clash_api"]["secret"] = ""; }, "experimental.clash_api.secret"},
        {"cache file elsewhere", [](JSONValue& c) { c["experimental"]["cache_file"]["path"] = "/root/.bashrc"; },
         "experimental.cache_file.path"},
        {"case-folded top-level key", [](JSONValue& c) { c["Outbounds"] = JSONValue::Array{}; }, "Outbounds"},
        // Programs and folders of the member's choosing.
        {"tor executable", [tor](JSONValue& c) { JSONValue t = tor; t["executable_path"] = "/tmp/payload"; addOutbound(c, t); },
         "outbounds[6].type"},
        {"tor data directory", [tor](JSONValue& c) { JSONValue t = tor; t["data_directory"] = "/etc"; addOutbound(c, t); },
         "outbounds[6].type"},
        {"executable on a known type", [](JSONValue& c) { outbound(c, 4)["executable_path"] = "/tmp/payload"; },
         "outbounds[4].executable_path"},
        {"ssm-api cache", [](JSONValue& c) {
             c["services"] = JSONValue::Array{JSONObject{{"type", "ssm-api"}, {"cache_path", "/etc/shadow"}}};
         }, "services"},
        // Files read as root.
        {"local rule set", [](JSONValue& c) {
             (*c["route"]["rule_set"].array())[0] = JSONObject{{"type", "local"}, {"tag", "geoip-cn"}, {"path", "/etc/shadow"}};
         }, "route.rule_set[0].type"},
        {"path on a remote rule set", [](JSONValue& c) { (*c["route"]["rule_set"].array())[1]["path"] = "/etc/shadow"; },
         "route.rule_set[1].path"},
        {"rule set over http", [](JSONValue& c) { (*c["route"]["rule_set"].array())[0]["url"] = "http://127.0.0.1/x.srs"; },
         "route.rule_set[0].url"},
        {"rule set from a file URL", [](JSONValue& c) { (*c["route"]["rule_set"].array())[0]["url"] = "file:///etc/shadow"; },
         "route.rule_set[0].url"},
        {"TLS certificate path", [](JSONValue& c) { outbound(c, 1)["tls"]["certificate_path"] = "/etc/shadow"; },
         "outbounds[1].tls.certificate_path"},
        {"TLS key path on the LAN share", [](JSONValue& c) {
             inbound(c, 1)["tls"] = JSONObject{{"enabled", true}, {"certificate_path", "/etc/ssl/a.pem"}, {"key_path", "/etc/ssl/a.key"}};
         }, "inbounds[1].tls"},
        {"ECH key path", [](JSONValue& c) { outbound(c, 0)["tls"]["ech"] = JSONObject{{"enabled", true}, {"config_path", "/etc/shadow"}}; },
         "outbounds[0].tls.ech"},
        {"top-level certificate paths", [](JSONValue& c) {
             c["certificate"] = JSONObject{{"store", "mozilla"}, {"certificate_path", JSONValue::Array{"/etc/shadow"}}};
         }, "certificate"},
        {"DNS hosts path", [](JSONValue& c) {
             c["dns"]["servers"].array()->push_back(JSONObject{{"type", "hosts"}, {"tag", "h"}, {"path", JSONValue::Array{"/etc/shadow"}}});
         }, "dns.servers[3].type"},
        {"SSH key path", [](JSONValue& c) {
             addOutbound(c, JSONObject{{"type", "ssh"}, {"tag", "s"}, {"server", "127.0.0.1"}, {"private_key_path", "/root/.ssh/id_ed25519"}});
         }, "outbounds[6].type"},
        // Listeners others could reach.
        {"foreign inbound", [](JSONValue& c) {
             c["inbounds"].array()->push_back(JSONObject{{"type", "socks"}, {"tag", "s"}, {"listen", "127.0.0.1"}, {"listen_port", 1081}});
         }, "inbounds[2].type"},
        {"second LAN share", [](JSONValue& c) { c["inbounds"].array()->push_back(inbound(c, 1)); }, "inbounds[2]"},
        {"LAN share on every address", [](JSONValue& c) { inbound(c, 1)["listen"] = "0.0.0.0"; }, "inbounds[1].listen"},
        {"LAN share on every IPv6 address", [](JSONValue& c) { inbound(c, 1)["listen"] = "::"; }, "inbounds[1].listen"},
        {"LAN share on a low port", [](JSONValue& c) { inbound(c, 1)["listen_port"] = 22; }, "inbounds[1].listen_port"},
        {"LAN share without users", [](JSONValue& c) { inbound(c, 1).object()->erase("users"); }, "inbounds[1].users"},
        {"LAN share with an empty password", [](JSONValue& c) { (*inbound(c, 1)["users"].array())[0]["password"] = ""; },
         "inbounds[1].users[0].password"},
        {"TUN as a LAN share", [](JSONValue& c) { inbound(c, 1)["tag"] = "tun-in"; }, "inbounds[1].tag"},
        // Steering other users' traffic.
        {"TUN include_uid", [](JSONValue& c) { inbound(c, 0)["include_uid"] = JSONValue::Array{1000}; }, "inbounds[0].include_uid"},
        {"TUN route_address", [](JSONValue& c) { inbound(c, 0)["route_address"] = JSONValue::Array{"0.0.0.0/1"}; },
         "inbounds[0].route_address"},
        {"TUN auto_redirect", [](JSONValue& c) { inbound(c, 0)["auto_redirect"] = true; }, "inbounds[0].auto_redirect"},
        {"TUN case-folded option", [](JSONValue& c) { inbound(c, 0)["Include_UID"] = JSONValue::Array{1000}; },
         "inbounds[0].Include_UID"},
        {"TUN on another interface", [](JSONValue& c) { inbound(c, 0)["interface_name"] = "eth0"; }, "inbounds[0].interface_name"},
        {"kernel WireGuard", [](JSONValue& c) { (*c["endpoints"].array())[0]["system"] = true; }, "endpoints[0].system"},
        {"direct outbound in another namespace", [](JSONValue& c) { outbound(c, 4)["netns"] = "/proc/1/ns/net"; },
         "outbounds[4].netns"},
    };
}

// corvane-tunnel with an engine that only notes that it was started, and
// `deployment` as its deployment file (never the machine's own).
class StrictService {
public:
    StrictService(const std::filesystem::path& dir, std::vector<std::string> modeArguments, const std::string& deployment = "{}")
        : engine(dir / "engine"), marker(dir / "engine-started"), socket(dir / "run" / "tunnel.sock") {
        std::filesystem::create_directories(dir);
        writeFile(engine, engineStandIn("touch '" + marker.string() + "'\nexec sleep 60\n"));
        std::filesystem::permissions(engine, std::filesystem::perms(0755));
        writeFile(dir / "deployment.json", deployment);
        std::vector<std::string> argv{CORVANE_TUNNEL_PATH};
        argv.insert(argv.end(), modeArguments.begin(), modeArguments.end());
        for (const auto& a : {"--socket", socket.c_str()}) argv.push_back(a);
        argv.insert(argv.end(), {"--deployment", (dir / "deployment.json").string()});
        argv.insert(argv.end(), {"--state-dir", (dir / "state").string(), "--engine", engine.string()});
        process = std::make_unique<BackgroundProcess>(argv, dir / "service.log");
        const auto deadline = std::chrono::steady_clock::now() + 10s;
        while (rawExchange(socket, R"({"id":1,"op":"hello"})" "\n").find(R"("ok":true)") == std::string::npos) {
            if (!process->isRunning() || std::chrono::steady_clock::now() > deadline) {
                throw std::runtime_error("corvane-tunnel did not come up:\n" + process->log());
            }
            std::this_thread::sleep_for(20ms);
        }
        app = std::make_unique<AppSide>(socket);
        app->run(app->controller.load());
    }

    // The reason the start failed with.
    std::string refusalOf(const JSONValue& config) {
        app->run(app->controller.connect(config.serialize(), "panel.example.com"));
        if (!app->waitFor([&] { return app->controller.lastError().has_value(); }, 10s)) return "no failure";
        return *app->controller.lastError();
    }
    // Whether `config` reaches the engine.
    bool startsTheEngine(const JSONValue& config) {
        app->run(app->controller.connect(config.serialize(), "panel.example.com"));
        const bool started = app->waitFor([&] { return std::filesystem::exists(marker); }, 10s);
        app->controller.disconnect();
        return started;
    }

    std::filesystem::path engine, marker, socket;
    std::unique_ptr<BackgroundProcess> process;
    std::unique_ptr<AppSide> app;
};

}  // namespace

TEST(ConfigAllowList, TheStrictServiceRefusesEveryAttackByItsKeyAndNeverStartsTheEngine) {
    TempDir dir;
    StrictService service(dir.path(), {"--user", "--strict"});
    for (const auto& attack : attacks()) {
        JSONValue config = everythingTheAppBuilds();
        attack.change(config);
        const std::string reason = service.refusalOf(config);
        EXPECT_NE(reason.find("the service accepts only configurations the app builds: " + attack.path + ": "), std::string::npos)
            << attack.name << ": " << reason;
        // The same refusal in process, where the whole text is known.
        try {
            ConfigAllowList::check(config);
            ADD_FAILURE() << attack.name << ": accepted";
        } catch (const ConfigAllowList::Refusal& e) {
            EXPECT_EQ(e.path(), attack.path) << attack.name << ": " << e.description();
        }
    }
    EXPECT_FALSE(std::filesystem::exists(service.marker)) << "a refused configuration started the engine";

    // What the app builds goes through to the engine.
    service.app->run(service.app->controller.connect(everythingTheAppBuilds().serialize(), "panel.example.com"));
    EXPECT_TRUE(service.app->waitFor([&] { return std::filesystem::exists(service.marker); }, 10s))
        << service.process->log();
    service.app->controller.disconnect();
}

TEST(ConfigAllowList, TheSystemServiceIsAlwaysStrict) {
    if (::geteuid() != 0) GTEST_SKIP() << "the system service runs as root";
    TempDir dir;
    StrictService service(dir.path(), {"--system", "--engine-user", "nobody"});
    JSONValue config = everythingTheAppBuilds();
    inbound(config, 0)["include_uid"] = JSONValue::Array{0};
    EXPECT_NE(service.refusalOf(config).find("inbounds[0].include_uid: not allowed here"), std::string::npos);
    EXPECT_FALSE(std::filesystem::exists(service.marker));
}

TEST(ConfigAllowList, OnlyCheckedValuesAreWrittenAnew) {
    // Numbers are written as the engine reads them; nothing of the text survives but checked values.
    JSONValue config = everythingTheAppBuilds();
    inbound(config, 1)["listen_port"] = 1080.0;
    std::string text = config.serialize();
    const std::string accepted = ConfigAllowList::checkText(text);
    EXPECT_EQ(JSONValue::parse(accepted), everythingTheAppBuilds());
    // Types are checked as well as keys.
    for (auto [change, path] : std::vector<std::pair<std::function<void(JSONValue&)>, std::string>>{
             {[](JSONValue& c) { inbound(c, 1)["listen_port"] = 1080.5; }, "inbounds[1].listen_port"},
             {[](JSONValue& c) { inbound(c, 1)["listen_port"] = "1080"; }, "inbounds[1].listen_port"},
             {[](JSONValue& c) { outbound(c, 0)["tls"] = "on"; }, "outbounds[0].tls"},
             {[](JSONValue& c) { c["inbounds"] = JSONValue::Array{inbound(c, 1)}; }, "inbounds"},
             {[](JSONValue& c) { outbound(c, 1)["server_port"] = 70000; }, "outbounds[1].server_port"},
         }) {
        JSONValue changed = everythingTheAppBuilds();
        change(changed);
        try {
            ConfigAllowList::check(changed);
            ADD_FAILURE() << path << ": accepted";
        } catch (const ConfigAllowList::Refusal& e) {
            EXPECT_EQ(e.path(), path) << e.description();
        }
    }
    EXPECT_THROW(ConfigAllowList::checkText("[1, 2]"), ConfigAllowList::Refusal);
}

TEST(ConfigAllowList, RemoteRuleSetsComeOnlyFromTheRuleSetBase) {
    const ConfigAllowList::Options options{.ruleSetBaseURL = "https://r.example/rules/"};
    // What the app builds with that base, and only with it.
    const JSONValue built = everythingTheAppBuilds(options.ruleSetBaseURL);
    EXPECT_EQ(ConfigAllowList::check(built, options), built);
    EXPECT_THROW(ConfigAllowList::check(everythingTheAppBuilds(), options), ConfigAllowList::Refusal);

    struct Case {
        std::string base, url;
        bool accepted;
    };
    const std::string base = options.ruleSetBaseURL, bare = "https://r.example/rules";
    const Case cases[] = {
        {base, "https://r.example/rules/sing-geoip/rule-set/geoip-cn.srs", true},
        {base, "https://r.example/rules/geosite-geolocation-!cn.srs", true},
        {bare, "https://r.example/rules/x.srs", true},
        {base, "https://big.example/rules/x.srs", false},
        {base, "https://r.example/other/x.srs", false},
        {base, "https://r.example.big.example/rules/x.srs", false},
        {base, "https://r.example/rules-evil/x.srs", false},
        {bare, "https://r.example/rules-evil/x.srs", false},
        {base, "https://r.example/rules/../huge.bin", false},
        {base, "https://r.example/rules/a/../../huge.bin", false},
        {base, "https://r.example/rules/./x.srs", false},
        {base, "https://r.example/rules/%2e%2e/huge.bin", false},
        {base, "https://r.example/rules/%2E%2E/huge.bin", false},
        {base, "https://r.example/rules/..%2fhuge.bin", false},
        {base, "https://r.example/rules/a\\..\\..\\huge.bin", false},
        {base, "https://r.example/rules//big.example/x.srs", false},
        {base, "https://r.example/rules/x.srs?next=https://big.example/", false},
        {base, "https://r.example/rules/x.srs#f", false},
        {base, "https://r.example/rules/", false},
        {"", "https://r.example/rules/x.srs", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.base + " " + c.url);
        JSONValue config = everythingTheAppBuilds(options.ruleSetBaseURL);
        (*config["route"]["rule_set"].array())[0]["url"] = c.url;
        try {
            const JSONValue accepted = ConfigAllowList::check(config, {.ruleSetBaseURL = c.base});
            EXPECT_TRUE(c.accepted) << "accepted";
            EXPECT_EQ(accepted, config);
        } catch (const ConfigAllowList::Refusal& e) {
            EXPECT_FALSE(c.accepted) << e.description();
            EXPECT_EQ(e.path(), "route.rule_set[0].url");
            if (!c.base.empty()) {
                EXPECT_TRUE(e.reason().starts_with("only rule sets under https://r.example/rules/ are allowed")) << e.reason();
            }
        }
    }
}

TEST(ConfigAllowList, TheServiceTakesTheRuleSetBaseFromItsDeploymentFile) {
    TempDir dir;
    const std::string base = "https://rules.example/corvane/";
    StrictService service(dir.path() / "operator", {"--user", "--strict"}, R"({"rule_set_base_url": ")" + base + R"("})");
    EXPECT_NE(service.refusalOf(everythingTheAppBuilds())
                  .find("the service accepts only configurations the app builds: route.rule_set[0].url: only rule sets under " +
                        base + " are allowed"),
              std::string::npos);
    EXPECT_FALSE(std::filesystem::exists(service.marker)) << "a refused configuration started the engine";
    EXPECT_TRUE(service.startsTheEngine(everythingTheAppBuilds(base))) << service.process->log();

    // A file the service cannot use is reported, and the build's base applies.
    StrictService unusable(dir.path() / "unusable", {"--user", "--strict"}, R"({"rule_set_base_url": "http://rules.example/"})");
    EXPECT_TRUE(unusable.startsTheEngine(everythingTheAppBuilds())) << unusable.process->log();
    EXPECT_NE(unusable.process->log().find("WARN " + (dir.path() / "unusable" / "deployment.json").string() +
                                           ": rule_set_base_url: must be an https:// URL ending in /"),
              std::string::npos)
        << unusable.process->log();
}
