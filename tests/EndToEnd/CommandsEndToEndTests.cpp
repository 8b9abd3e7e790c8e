// SPDX-License-Identifier: GPL-3.0-or-later
// corvanectl's logs, sites, site, share and report as a new user runs them:
// the real program against the demo panel's fleet and the tunnel service with
// the real engine, beside a model in this process that follows what they change.
#include "EndToEnd/EndToEndFixture.hpp"

#include <regex>
#include <set>

#include <boost/json/serialize.hpp>

#include "CorvaneCore/Panel/CredentialBackend.hpp"
#include "CorvaneCore/Panel/TokenStore.hpp"
#include "TestSupport/ScopedEnv.hpp"

using namespace corvane;
using namespace corvane::fleet;
using namespace corvane::testing;
using namespace std::chrono_literals;
namespace fs = std::filesystem;
namespace json = boost::json;

namespace {

// The demo world with one private site; its gateway is a WireGuard endpoint on loopback that never answers.
std::string worldWithASite() {
    std::string world = kWorld;
    const std::string site =
        R"("sites": [{"site_id": 5, "name": "Head office", "endpoint_host": "127.0.0.40", "endpoint_port": 51820,)"
        R"( "server_public_key": "QxL2rbfDuuKYSFAGnu6/Ybgk+NziczqcQJ2T/AEeKDo=", "cidrs": ["10.77.10.0/24"],)"
        R"( "address": "10.77.0.2/32", "private_key": "wJoCME9RWUUpa4AJ4zLy880NcTGmTnx70H7WCmAFz1o="}],)";
    world.insert(world.find(R"("version")"), site + "\n  ");
    return world;
}

class Commands : public EndToEnd {
protected:
    Commands() { worldJSON = worldWithASite(); }

    void login() {
        auto r = ctl({"login", "--panel", panelURL, "--email", "demo@corvane.test", "--password-stdin"}, "demo-password\n");
        ASSERT_EQ(r.exitStatus, 0) << r.err;
    }
    // A model of this process in the agent's place (stopped, so that one model acts on
    // the tunnel), signed in and connected.
    std::unique_ptr<LiveModel> connectedModel(const std::function<void(AppModelParts&)>& adjust = {}) {
        EXPECT_EQ(ctl({"agent", "stop"}).exitStatus, 0);
        auto live = std::make_unique<LiveModel>(home, socket, true, adjust);
        AppModel& m = *live->model;
        m.panelURL = panelURL;
        m.email = "demo@corvane.test";
        m.password = "demo-password";
        live->run(m.signIn(false));
        live->run(m.connect());
        EXPECT_TRUE(live->runUntil([&] { return m.tunnel.status() == NEVPNStatus::connected && m.clash; }, 30s))
            << m.errorMessage->value_or(m.tunnel.lastError().value_or(""));
        return live;
    }
    // What the engine's switch for the first site uses now.
    std::optional<std::string> firstSiteChoice(LiveModel& live) {
        if (!live.model->clash) return std::nullopt;
        auto table = live.run(live.model->clash->proxies());
        auto it = table.proxies.find("site-0-switch");
        return it == table.proxies.end() ? std::nullopt : it->second.now;
    }
};

struct Refusal {
    std::vector<std::string> args;
    int status;
    std::string err;  // the whole of standard error; empty: not compared
};

}  // namespace

TEST_F(Commands, SitesAndSiteSwitchesReachTheEngineAndAnotherRunningModel) {
    login();
    auto listed = ctl({"sites"});
    ASSERT_EQ(listed.exitStatus, 0) << listed.err;
    EXPECT_EQ(listed.out, "Head office (site 5): via the gateway 127.0.0.40:51820\n  networks: 10.77.10.0/24\n");
    auto asJSON = ctl({"sites", "--json"});
    ASSERT_EQ(asJSON.exitStatus, 0) << asJSON.err;
    const auto site = json::parse(asJSON.out).at("sites").as_array().at(0).as_object();
    EXPECT_EQ(site.at("siteId").as_int64(), 5);
    EXPECT_EQ(site.at("mode").as_string(), "tunnel");
    EXPECT_EQ(site.at("disabled").as_bool(), false);
    EXPECT_FALSE(site.contains("privateKey"));
    EXPECT_EQ(asJSON.out.find("wJoCME9RWUUpa4AJ4zLy880NcTGmTnx70H7WCmAFz1o="), std::string::npos);

    for (const auto& c : std::vector<Refusal>{
             {{"site", "off", "Nowhere"}, 1, "corvanectl: no site \"Nowhere\"; see corvanectl sites\n"},
             {{"site", "off", "42"}, 1, "corvanectl: no site \"42\"; see corvanectl sites\n"},
             {{"site", "off", "head office"}, 1, ""},  // names are matched exactly
             {{"site", "sideways", "5"}, 2, "usage: corvanectl site on|off SITE\n"},
             {{"site", "off"}, 2, "usage: corvanectl site on|off SITE\n"},
             {{"sites", "--all"}, 2, "usage: corvanectl sites [--json]\n"},
         }) {
        auto r = ctl(c.args);
        EXPECT_EQ(r.exitStatus, c.status) << ::testing::PrintToString(c.args) << r.err;
        if (!c.err.empty()) {
            EXPECT_EQ(r.err, c.err) << ::testing::PrintToString(c.args);
        }
        EXPECT_EQ(r.out, "") << ::testing::PrintToString(c.args);
    }

    // Disconnected, a switch is kept for the next connect.
    auto off = ctl({"site", "off", "5"});
    ASSERT_EQ(off.exitStatus, 0) << off.err;
    EXPECT_EQ(off.out, "Head office is off (from the next connect).\n");
    EXPECT_EQ(ctl({"sites"}).out, "Head office (site 5): off\n  networks: 10.77.10.0/24\n");
    auto on = ctl({"site", "on", "Head office"});
    ASSERT_EQ(on.exitStatus, 0) << on.err;
    EXPECT_EQ(on.out, "Head office is on (from the next connect).\n");

    // Connected: the agent switches the running engine, and says so once the engine has it.
    auto connected = ctl({"connect", "--wait", "30"});
    ASSERT_EQ(connected.exitStatus, 0) << connected.err;
    ASSERT_TRUE(eventually([&] { return engineSelector("site-0-switch") == "site-0"; }, 10s));
    off = ctl({"site", "off", "Head office"});
    ASSERT_EQ(off.exitStatus, 0) << off.err;
    EXPECT_EQ(off.out, "Head office is off.\n");
    EXPECT_EQ(engineSelector("site-0-switch"), "direct");
    auto state = agentState();
    EXPECT_EQ(state.at("disabledSiteIds"), json::parse("[5]"));
    EXPECT_EQ(state.at("siteStatuses").at(0).at("mode").as_string(), "off");
    EXPECT_EQ(ctl({"sites"}).out, "Head office (site 5): off\n  networks: 10.77.10.0/24\n");
    on = ctl({"site", "on", "5"});
    ASSERT_EQ(on.exitStatus, 0) << on.err;
    EXPECT_EQ(on.out, "Head office is on.\n");
    EXPECT_EQ(engineSelector("site-0-switch"), "site-0");
    EXPECT_EQ(agentState().at("siteStatuses").at(0).at("mode").as_string(), "tunnel");

    // A pin and a new sharing password: the agent's model has them, and neither reconnects.
    auto pin = ctl({"pin", "Tokyo", "reality"});
    ASSERT_EQ(pin.exitStatus, 0) << pin.err;
    EXPECT_EQ(engineSelector("proxy"), "proxy-3");
    EXPECT_EQ(agentState().at("pin"), json::parse(R"({"vpsId":2,"reality":true})"));
    auto renewed = ctl({"share", "new-password", "--json"});
    ASSERT_EQ(renewed.exitStatus, 0) << renewed.err;
    const std::string password(json::parse(renewed.out).at("lanSharePassword").as_string());
    state = agentState();
    EXPECT_EQ(state.at("lanSharePassword").as_string(), password);
    EXPECT_EQ(state.at("tunnelStatus").as_string(), "connected");
    EXPECT_FALSE(state.contains("errorMessage")) << state.at("errorMessage");
}

TEST_F(Commands, TheLastSiteRemovedOnThePanelReconnectsOnce) {
    login();
    auto live = connectedModel([](AppModelParts& parts) { parts.timings.siteWatchPeriod = 1s; });
    AppModel& m = *live->model;
    ASSERT_EQ(m.activeSites.size(), 1u);
    ASSERT_TRUE(live->runUntil([&] { return firstSiteChoice(*live) == "site-0"; }, 10s));
    int connects = 0;
    NEVPNStatus last = NEVPNStatus::connected;
    Subscription counting = m.observe([&](const auto& snapshot) {
        if (snapshot->tunnelStatus != last && snapshot->tunnelStatus == NEVPNStatus::connecting) ++connects;
        last = snapshot->tunnelStatus;
    });

    auto removed = simCtl({"remove-site", "5"});
    ASSERT_EQ(removed.exitStatus, 0) << removed.err;
    ASSERT_TRUE(live->runUntil([&] {
        return connects >= 1 && m.tunnel.status() == NEVPNStatus::connected && !m.connectInFlight && m.clash &&
               m.activeOutbound->has_value();
    }, 30s)) << "connects: " << connects;
    EXPECT_TRUE(m.sites->empty());
    EXPECT_TRUE(m.activeSites.empty());
    EXPECT_EQ(firstSiteChoice(*live), std::nullopt) << "the rebuilt engine routes no site";
    live->runUntil([] { return false; }, 3s);  // more passes of the watch, were it still running
    EXPECT_EQ(connects, 1);
    EXPECT_EQ(m.tunnel.status(), NEVPNStatus::connected);
    EXPECT_NE(viaProxy().find("through server "), std::string::npos);
}

// A model that finds a session running (another process started it) before it
// has the server list still follows the session's sites once the list arrives.
TEST_F(Commands, ASessionFoundRunningIsWatchedOnceTheListArrives) {
    login();
    auto connect = ctl({"connect", "--wait", "30"});
    ASSERT_EQ(connect.exitStatus, 0) << connect.err;
    ASSERT_EQ(ctl({"agent", "stop"}).exitStatus, 0);  // this model takes its place
    LiveModel live(home, socket, true, [](AppModelParts& parts) { parts.timings.siteWatchPeriod = 1s; });
    AppModel& m = *live.model;
    live.run(m.start());
    ASSERT_TRUE(live.runUntil([&] { return m.tunnel.status() == NEVPNStatus::connected; }, 10s));
    ASSERT_TRUE(m.sites->empty()) << "the list is not there yet";
    m.panelURL = panelURL;
    m.email = "demo@corvane.test";
    m.password = "demo-password";
    live.run(m.signIn(false));
    ASSERT_EQ(m.sites->size(), 1u);
    int connects = 0;
    NEVPNStatus last = NEVPNStatus::connected;
    Subscription counting = m.observe([&](const auto& snapshot) {
        if (snapshot->tunnelStatus != last && snapshot->tunnelStatus == NEVPNStatus::connecting) ++connects;
        last = snapshot->tunnelStatus;
    });

    // The panel takes the site away: the watch sees it and rebuilds the tunnel.
    ASSERT_EQ(simCtl({"remove-site", "5"}).exitStatus, 0);
    EXPECT_TRUE(live.runUntil([&] { return connects >= 1 && m.tunnel.status() == NEVPNStatus::connected; }, 30s))
        << "the running session's sites were never watched";
}

TEST_F(Commands, LogsShareAndReportAsANewUserWouldUseThem) {
    login();
    for (const auto& c : std::vector<Refusal>{
             {{"logs", "--level", "debug"}, 2, "usage: corvanectl logs [--follow] [--level all|warn|error]\n"},
             {{"logs", "--level"}, 2, "usage: corvanectl logs [--follow] [--level all|warn|error]\n"},
             {{"share"}, 2, "usage: corvanectl share on|off|new-password|show [--json]\n"},
             {{"share", "sideways"}, 2, "usage: corvanectl share on|off|new-password|show [--json]\n"},
             {{"share", "show", "--yaml"}, 2, "usage: corvanectl share on|off|new-password|show [--json]\n"},
             {{"report", "--send"}, 2, "usage: corvanectl report [--preview]\n"},
             {{"lockdown"}, 2, "usage: corvanectl lockdown on [--allow-lan] | lockdown off\n"},
             {{"lockdown", "off", "--allow-lan"}, 2, "usage: corvanectl lockdown on [--allow-lan] | lockdown off\n"},
             // User mode can block nothing, so it cannot require the tunnel.
             {{"lockdown", "on"}, 1,
              "corvanectl: always requiring the tunnel needs the system tunnel service: in user mode nothing can be blocked\n"},
         }) {
        auto r = ctl(c.args);
        EXPECT_EQ(r.exitStatus, c.status) << ::testing::PrintToString(c.args);
        EXPECT_EQ(r.err, c.err) << ::testing::PrintToString(c.args);
        EXPECT_EQ(r.out, "") << ::testing::PrintToString(c.args);
    }
    auto none = ctl({"logs"});
    EXPECT_EQ(none.exitStatus, 0);
    EXPECT_EQ(none.err, "No log lines yet. They appear while the tunnel is running.\n");

    // Sharing while disconnected only stores the setting.
    EXPECT_EQ(ctl({"share", "show"}).out, "LAN sharing is off. Turn it on with corvanectl share on.\n");
    auto shareOn = ctl({"share", "on"});
    ASSERT_EQ(shareOn.exitStatus, 0) << shareOn.err;
    EXPECT_EQ(shareOn.out, "Sharing starts when you connect.\n");
    auto shown = json::parse(ctl({"share", "show", "--json"}).out).as_object();
    EXPECT_EQ(shown.at("lanShare").as_bool(), true);
    EXPECT_EQ(shown.at("note").as_string(), "Sharing starts when you connect.");
    EXPECT_EQ(shown.at("port").as_int64(), 1080);
    EXPECT_EQ(shown.at("username").as_string(), "corvane");
    EXPECT_FALSE(shown.contains("socks5URL"));
    const std::string first(shown.at("lanSharePassword").as_string());
    EXPECT_FALSE(first.empty());  // generated
    auto renewed = json::parse(ctl({"share", "new-password", "--json"}).out).as_object();
    EXPECT_NE(renewed.at("lanSharePassword").as_string(), first);
    EXPECT_EQ(json::parse(ctl({"share", "show", "--json"}).out).at("lanSharePassword"), renewed.at("lanSharePassword"));
    EXPECT_EQ(ctl({"share", "off"}).out, "LAN sharing is off. Turn it on with corvanectl share on.\n");
    EXPECT_EQ(ctl({"status", "--json"}).exitStatus, 0);

    // Connected. A connection to a port nobody listens on makes the engine complain.
    auto connected = ctl({"connect", "--wait", "30"});
    ASSERT_EQ(connected.exitStatus, 0) << connected.err;
    ASSERT_NE(viaProxy().find("through server "), std::string::npos);
    {
        // An agent of another runtime folder finds the service on the socket named by hand.
        const fs::path elsewhere = dir.path() / "elsewhere";
        ScopedEnv runtime("XDG_RUNTIME_DIR", elsewhere.string());
        EXPECT_EQ(json::parse(ctl({"status", "--json"}).out).at("status").as_string(), "disconnected");
        PrivateHome::stopAgent(elsewhere / "corvane" / "agent.sock");
        ScopedEnv chosen("CORVANE_TUNNEL_SOCKET", socket.string());
        EXPECT_EQ(json::parse(ctl({"status", "--json"}).out).at("status").as_string(), "connected");
        PrivateHome::stopAgent(elsewhere / "corvane" / "agent.sock");
    }
    {
        const std::uint16_t closed = freeTcpPort();
        try {
            ProxyTunnel refused(proxyPort, "any", "any", "127.0.0.1", closed);
            refused.get("/");
        } catch (const std::exception&) {
        }
    }
    const std::regex lineShape(R"(^\S+ (TRACE|DEBUG|INFO |WARN |ERROR|FATAL|PANIC) .*$)");
    auto levels = [&](const std::string& text) {
        std::multiset<std::string> seen;
        std::istringstream lines(text);
        for (std::string line; std::getline(lines, line);) {
            std::smatch match;
            EXPECT_TRUE(std::regex_match(line, match, lineShape)) << line;
            if (match.size() > 1) seen.insert(match[1]);
        }
        return seen;
    };
    ProcessResult all, warnings;
    ASSERT_TRUE(eventually([&] {
        all = ctl({"logs"});
        return levels(all.out).count("ERROR") + levels(all.out).count("WARN ") > 0;
    }, 10s)) << all.out;
    EXPECT_GT(levels(all.out).count("INFO "), 0u) << all.out;
    warnings = ctl({"logs", "--level", "warn"});
    ASSERT_EQ(warnings.exitStatus, 0) << warnings.err;
    const auto kept = levels(warnings.out);
    EXPECT_FALSE(kept.empty());
    for (const auto& level : kept) EXPECT_TRUE(level == "WARN " || level == "ERROR") << level;
    EXPECT_EQ(kept.size(), levels(all.out).count("WARN ") + levels(all.out).count("ERROR"));

    // What a report would hold of the session the agent started: the configuration
    // (kept masked by the model), and none of its secrets, nor the panel's tokens.
    AppSide app(socket);
    app.run(app.controller.load());
    const auto serviceStatus = app.run(app.controller.send<TunnelIPC::StatusReply>(TunnelIPC::Request::status()));
    ASSERT_TRUE(serviceStatus && serviceStatus->clashSecret);
    std::set<std::string> secrets{*serviceStatus->clashSecret, std::string(agentState().at("lanSharePassword").as_string())};
    // The share addresses the configuration is built from: their user parts and short ids.
    const std::regex userPart(R"(://([^@]+)@)"), shortId(R"([?&]sid=([^&#]+))");
    const json::object lists = agentState();
    for (const char* list : {"servers", "exits"}) {
        for (const auto& entry : lists.at(list).as_array()) {
            for (const char* key : {"reality_url", "hysteria2_url"}) {
                const auto* url = entry.as_object().if_contains(key);
                if (!url || !url->is_string()) continue;
                const std::string text(url->as_string());
                for (const auto* pattern : {&userPart, &shortId}) {
                    std::smatch match;
                    if (std::regex_search(text, match, *pattern)) secrets.insert(match[1]);
                }
            }
        }
    }
    KeychainTokenStore tokens({}, std::make_shared<FileCredentialBackend>(home / "data" / "corvane" / "credentials.json"));
    secrets.insert(tokens.token(panelURL).value_or("no token"));
    ASSERT_GE(secrets.size(), 8u) << "uuids, passwords, the Reality key ids, the control secret, the LAN password, tokens";

    auto preview = ctl({"report", "--preview"});
    ASSERT_EQ(preview.exitStatus, 0) << preview.err;
    for (const auto& secret : secrets) EXPECT_EQ(preview.out.find(secret), std::string::npos) << secret;
    const auto report = json::parse(preview.out).as_object();
    EXPECT_EQ(report.at("trigger_reason").as_string(), "manual");
    EXPECT_EQ(report.at("tunnel").at("default_route_via_tun").as_bool(), false) << "user mode runs a local proxy";
    EXPECT_EQ(report.at("singbox").at("running").as_bool(), true);
    ASSERT_TRUE(report.at("singbox").as_object().contains("config_snapshot_json")) << preview.out;
    const auto snapshot = json::parse(report.at("singbox").at("config_snapshot_json").as_string());
    EXPECT_GE(snapshot.at("outbounds").as_array().size(), 4u) << "two servers, two protocols each";
    EXPECT_FALSE(report.at("app_logs").as_array().empty());
    auto storedReports = [&] {
        std::vector<fs::path> stored;
        if (fs::exists(simState() / "diagnostics")) {
            for (const auto& entry : fs::directory_iterator(simState() / "diagnostics")) stored.push_back(entry.path());
        }
        return stored;
    };
    EXPECT_TRUE(storedReports().empty()) << "a preview sends nothing";

    // Sent by hand: the panel stores exactly what left the machine.
    auto sent = ctl({"report"});
    ASSERT_EQ(sent.exitStatus, 0) << sent.err;
    EXPECT_EQ(sent.out, "Report sent\n");
    const std::vector<fs::path> stored = storedReports();
    ASSERT_EQ(stored.size(), 1u);
    const std::string body = readFile(stored[0]);
    for (const auto& secret : secrets) EXPECT_EQ(body.find(secret), std::string::npos) << secret;
    EXPECT_EQ(json::parse(body).at("trigger_reason").as_string(), "manual");
}
