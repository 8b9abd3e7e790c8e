// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <thread>

#include "CorvaneCore/Config/ConfigBuilder.hpp"
#include "CorvaneCore/Config/Deployment.hpp"
#include "CorvaneCore/Config/DeploymentValues.hpp"
#include "CorvaneCore/Config/ShareUrlParser.hpp"
#include "CorvaneCore/Diagnostics/DiagnosticReport.hpp"
#include "CorvaneCore/Panel/ExitSelection.hpp"
#include "CorvaneCore/Panel/PanelClient.hpp"
#include "CorvaneCore/Support/Blocking.hpp"
#include "CorvaneCore/Support/HttpClient.hpp"
#include "CorvaneCore/Support/JSONValue.hpp"
#include "CorvaneTunnel/LinuxTunnelMode.hpp"
#include "TestSupport/ProxyTunnel.hpp"
#include "tools/fleet/BackgroundProcess.hpp"
#include "tools/fleet/ChildProcess.hpp"
#include "tools/fleet/Engine.hpp"
#include "tools/fleet/HttpServer.hpp"
#include "tools/fleet/NetworkPorts.hpp"
#include "tools/fleet/ServerConfig.hpp"
#include "tools/fleet/TempDir.hpp"

using namespace corvane;
using namespace corvane::fleet;
using namespace corvane::testing;
using namespace std::chrono_literals;

namespace {

// A small world: two servers, one metered exit of 2 MB behind the first, one site.
const char* kWorld = R"({
  "users": [{"email": "demo@corvane.test", "password": "demo-password"},
            {"email": "ops@corvane.test", "password": "ops-password"}],
  "vpses": [{"vps_id": 1, "name": "Amsterdam", "region": "Netherlands", "address": "127.0.0.11", "config_version": 3},
            {"vps_id": 2, "name": "Tokyo", "address": "127.0.0.12"}],
  "exits": [{"exit_id": 10, "vps_id": 1, "name": "Residential US", "address": "127.0.0.21", "provider": "demo-isp",
             "allowance_gb": 0.002, "low_threshold_gb": 0.0015, "fallback_on_exhaustion": true}],
  "sites": [{"site_id": 5, "name": "Head office", "endpoint_host": "127.0.0.40", "endpoint_port": 51820,
             "server_public_key": "QxL2rbfDuuKYSFAGnu6/Ybgk+NziczqcQJ2T/AEeKDo=", "cidrs": ["10.77.10.0/24"],
             "address": "10.77.0.2/32", "private_key": "wJoCME9RWUUpa4AJ4zLy880NcTGmTnx70H7WCmAFz1o="}],
  "version": {"latest": "0.2.0", "minimum": "0.1.0", "download_url": "https://127.0.0.1/c.tar.gz",
              "sha256": "ab", "filename": "c.tar.gz", "size_bytes": 42, "uploaded_at": "2026-12-01T09:00:00Z"},
  "rule_sets": {"geoip-cn": {"repo": "sing-geoip", "rules": [{"ip_cidr": ["127.0.0.30/32"]}]},
                "geosite-cn": {"repo": "sing-geosite", "rules": [{"domain_suffix": ["cn.corvane.test"]}]}}
})";

// The real corvane-panel-sim with its fleet, in a folder of its own.
class RunningSim {
public:
    explicit RunningSim(const std::string& world = kWorld) {
        writeFile(dir / "world.json", world);
        const std::uint16_t port = freeTcpPort();
        process_ = std::make_unique<BackgroundProcess>(
            std::vector<std::string>{CORVANE_PANEL_SIM_PATH, "--listen", "127.0.0.1:" + std::to_string(port), "--state-dir",
                                     state().string(), "--world", (dir / "world.json").string(), "--meter-interval", "100"},
            dir / "sim.log");
        const auto deadline = std::chrono::steady_clock::now() + 60s;
        while (log().find("\nready\n") == std::string::npos) {
            if (!process_->isRunning() || std::chrono::steady_clock::now() > deadline) {
                throw std::runtime_error("the panel sim did not start:\n" + log());
            }
            std::this_thread::sleep_for(20ms);
        }
        summary = JSONValue::parse(readFile(state() / "panel-sim.json"));
        http = std::make_unique<HttpClient>(HttpClientOptions{.extraCAFile = (state() / "tls" / "ca.pem").string()});
    }

    std::filesystem::path state() const { return dir / "state"; }
    std::string log() const { return process_->log(); }
    std::string value(const char* key) const { return *summary.find(key)->string(); }

    // `corvane-panel-sim ctl`; its output, or a failed expectation.
    ProcessResult ctl(std::vector<std::string> words) {
        std::vector<std::string> argv{CORVANE_PANEL_SIM_PATH, "ctl", "--state-dir", state().string()};
        argv.insert(argv.end(), words.begin(), words.end());
        return runProcess(argv);
    }
    std::string admin(std::vector<std::string> words) {
        auto result = ctl(std::move(words));
        EXPECT_EQ(result.exitStatus, 0) << result.err;
        return result.out;
    }

    PanelClient client(std::optional<std::string> token = {}) { return PanelClient(value("panel_url"), token, http.get()); }
    std::string signIn(const std::string& email = "demo@corvane.test") {
        auto c = client();
        return runToCompletion(c.login(email, email == "demo@corvane.test" ? "demo-password" : "ops-password", "test")).token;
    }

    TempDir dir;
    JSONValue summary;
    std::unique_ptr<HttpClient> http;

private:
    std::unique_ptr<BackgroundProcess> process_;
};

template <class T>
PanelError failure(Async<T> call) {
    try {
        runToCompletion(std::move(call));
    } catch (const PanelError& e) {
        return e;
    }
    ADD_FAILURE() << "the call succeeded";
    return PanelError::malformedResponse("none");
}

const ClientExit* exitNamed(const ServerListResponse& list, std::int64_t id) {
    for (const auto& e : list.exits) {
        if (e.exitId == id) return &e;
    }
    return nullptr;
}

void replaceAll(std::string& text, std::string_view from, const std::string& to) {
    for (auto at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
        text.replace(at, from.size(), to);
    }
}

// A client engine in proxy mode whose only server is `share`. With `ruleSetBase`,
// smart routing is on and the rule sets come from there.
class ClientEngine {
public:
    ClientEngine(const std::filesystem::path& directory, const std::string& share, const std::string& probeURL,
                 std::optional<std::string> ruleSetBase = {}, std::vector<std::string> environment = {}) {
        ConfigBuilder::Inputs inputs;
        inputs.shares = {ShareUrlParser::parse(share)};
        inputs.smartRouting = ruleSetBase.has_value();
        inputs.clashListen = "127.0.0.1:" + std::to_string(apiPort);
        // Resolvers and probe on loopback, as the sim's deployment values have them: nothing may leave the machine.
        inputs.resolvers = {.proxy = "127.0.0.1", .direct = "127.0.0.1"};
        inputs.urlTestURL = probeURL;
        JSONValue config = ConfigBuilder::build(inputs);
        applyLinuxTunnelMode(config, ServiceMode::user, port);
        std::string text = config.serialize(2);
        if (ruleSetBase) replaceAll(text, DeploymentValues::ruleSetBaseURL, *ruleSetBase);
        engine = std::make_unique<Engine>(directory, text, std::move(environment));
        // The control API opens last, after the rule sets have been fetched.
        engine->waitUntilListening(apiPort);
    }
    // GET through the tunnel; "localhost" keeps the request off the configuration's private-address bypass.
    std::string get(std::uint16_t webPort, const std::string& path) {
        ProxyTunnel tunnel(port, "any", "any", "localhost", webPort);
        return tunnel.get(path);
    }

    std::uint16_t port = freeTcpPort();
    std::uint16_t apiPort = freeTcpPort();
    std::unique_ptr<Engine> engine;
};

std::uint16_t portOf(const std::string& url) {
    auto colon = url.rfind(':');
    return static_cast<std::uint16_t>(std::stoi(url.substr(colon + 1)));
}

}  // namespace

TEST(PanelSim, AnswersEveryOperationOfThePanelClient) {
    RunningSim sim;
    auto anonymous = sim.client();
    auto login = runToCompletion(anonymous.login("demo@corvane.test", "demo-password", "laptop"));
    EXPECT_FALSE(login.token.empty());
    EXPECT_FALSE(login.expiresAt.empty());
    EXPECT_NE(sim.log().find("signed in: demo@corvane.test on \"laptop\""), std::string::npos) << sim.log();

    auto client = sim.client(login.token);
    auto list = runToCompletion(client.serverList());
    ASSERT_EQ(list.servers.size(), 2u);
    EXPECT_EQ(list.servers[0].vpsId, 1);
    EXPECT_EQ(list.servers[0].publicIp, "127.0.0.11");
    EXPECT_EQ(list.servers[0].configVersion, 3);
    for (const auto& s : list.servers) {
        EXPECT_NO_THROW(ShareUrlParser::parse(s.realityUrl)) << s.realityUrl;
        EXPECT_NO_THROW(ShareUrlParser::parse(s.hysteria2Url)) << s.hysteria2Url;
    }
    ASSERT_EQ(list.exits.size(), 1u);
    const ClientExit& exit = list.exits[0];
    EXPECT_EQ(exit.vpsId, 1);
    EXPECT_TRUE(exit.metered && exit.ready);
    ASSERT_TRUE(exit.traffic);
    EXPECT_EQ(exit.traffic->status, "ok");
    EXPECT_DOUBLE_EQ(*exit.traffic->remainingGb, 0.002);
    EXPECT_FALSE(exit.traffic->usingOriginal);
    EXPECT_EQ(ExitSelection::available(1, list.servers, list.exits).size(), 1u);
    ASSERT_EQ(list.sites.size(), 1u);
    EXPECT_EQ(list.sites[0].mtu, 1280);
    EXPECT_EQ(runToCompletion(client.servers()), list.servers);

    runToCompletion(client.selectMeteredExit(10, false));
    auto after = runToCompletion(client.serverList());
    EXPECT_FALSE(exitNamed(after, 10)->traffic->fallbackOnExhaustion);

    auto version = runToCompletion(client.version("linux-x86_64"));
    EXPECT_EQ(version.platform, "linux-x86_64");
    EXPECT_EQ(version.version, "0.2.0");
    EXPECT_EQ(version.minRequiredVersion, "0.1.0");

    DiagnosticReport report{.triggerReason = "manual", .userDescription = "it is slow", .appVersion = "0.1.0",
                            .collectedAtUnix = 1765000000};
    auto posted = runToCompletion(client.uploadDiagnostics(report));
    EXPECT_EQ(posted.reportId, 1);
    auto stored = readFile(sim.state() / "diagnostics" / "report-0001.json");
    EXPECT_EQ(decodeJSON<DiagnosticReport>(std::string_view(stored)), report);
    EXPECT_EQ(runToCompletion(client.uploadDiagnostics(report)).reportId, 2);

    // The endpoints a tunnel needs besides the panel: the probe, the trace and the rule sets.
    HttpRequest probe{.method = "HEAD", .url = sim.value("probe_url")};
    EXPECT_EQ(runToCompletion(sim.http->send(probe)).status, 204);
    HttpRequest rules{.url = sim.value("rule_set_base_url") + "sing-geoip/rule-set/geoip-cn.srs"};
    auto ruleSet = runToCompletion(sim.http->send(rules));
    EXPECT_EQ(ruleSet.status, 200);
    EXPECT_EQ(ruleSet.body.substr(0, 3), "SRS");

    // The deployment values it writes for its clients are ones the client accepts.
    auto deployment = Deployment::load({sim.state() / "deployment.json"});
    EXPECT_TRUE(deployment.problems.empty()) << deployment.problems[0].description();
    EXPECT_EQ(deployment.values.panelURL, sim.value("panel_url"));
    EXPECT_EQ(deployment.values.urlTestProbeURL, sim.value("probe_url"));
}

TEST(PanelSim, RefusesAsARealPanelDoes) {
    RunningSim sim;
    auto anonymous = sim.client();
    EXPECT_EQ(failure(anonymous.login("demo@corvane.test", "wrong")), PanelError::unauthorized());
    EXPECT_EQ(failure(anonymous.login("nobody@corvane.test", "demo-password")), PanelError::unauthorized());
    auto badBody = failure(anonymous.perform<LoginResponse>("POST", "api/client/auth/login", false, R"({"email":1})"));
    EXPECT_EQ(badBody.kind(), PanelError::Case::rejected) << badBody.description();
    EXPECT_EQ(badBody.description(),
              "panel refused the request (422 invalid_request): email: expected a string, found a number");

    EXPECT_EQ(failure(sim.client("forged").serverList()), PanelError::unauthorized());
    auto client = sim.client(sim.signIn());
    struct Case {
        const char* name;
        const char* method;
        const char* path;
        std::optional<std::string> body;
        int status;
        const char* code;
    };
    const Case cases[] = {
        {"unknown exit", "POST", "api/client/exit-selection", R"({"exit_id":99,"fallback_on_exhaustion":true})", 404, "exit_not_found"},
        {"selection without a flag", "POST", "api/client/exit-selection", R"({"exit_id":10})", 422, "invalid_request"},
        {"selection that is not JSON", "POST", "api/client/exit-selection", "{", 422, "invalid_request"},
        {"version without a platform", "GET", "api/client/version", std::nullopt, 422, "invalid_request"},
        {"report without its keys", "POST", "api/client/diagnostics", R"({"hints":[]})", 422, "invalid_report"},
        {"wrong method", "GET", "api/client/exit-selection", std::nullopt, 405, "method_not_allowed"},
        {"unknown endpoint", "GET", "api/client/nothing", std::nullopt, 404, "not_found"},
    };
    for (const auto& c : cases) {
        auto e = failure(client.perform<Reply>(c.method, c.path, true, c.body));
        EXPECT_EQ(e.kind(), PanelError::Case::rejected) << c.name << ": " << e.description();
        EXPECT_EQ(e.status(), c.status) << c.name;
        EXPECT_EQ(e.code(), c.code) << c.name;
        EXPECT_TRUE(e.message()) << c.name;
    }
    EXPECT_TRUE(std::filesystem::is_empty(sim.state() / "diagnostics"));
}

TEST(PanelSim, AdminChangesShowInTheNextServerList) {
    RunningSim sim;
    auto demo = sim.client(sim.signIn());
    auto ops = sim.client(sim.signIn("ops@corvane.test"));

    sim.admin({"exhaust", "10"});
    auto list = runToCompletion(demo.serverList());
    const ClientExit* exit = exitNamed(list, 10);
    ASSERT_TRUE(exit && exit->traffic);
    EXPECT_EQ(exit->traffic->status, "exhausted");
    EXPECT_EQ(exit->traffic->remainingGb, 0.0);
    EXPECT_TRUE(exit->traffic->checkedAt);
    EXPECT_TRUE(exit->traffic->usingOriginal);
    EXPECT_EQ(exit->traffic->summary(), "Unavailable · traffic used up");
    EXPECT_EQ(ExitSelection::quotaFallback(10, 1, list), *exit);
    sim.admin({"refill", "10", "0.001"});
    list = runToCompletion(demo.serverList());
    EXPECT_EQ(exitNamed(list, 10)->traffic->status, "low");
    EXPECT_EQ(ExitSelection::quotaFallback(10, 1, list), std::nullopt);
    // Numbers past what the allowance and the clock can hold are refused, and change nothing.
    for (std::vector<std::string> words : {std::vector<std::string>{"refill", "10", "1e308"}, {"refill", "10", "1e7"},
                                           {"stall", "1e300"}, {"unavailable", "99999999999999999999"}}) {
        auto refused = sim.ctl(words);
        EXPECT_EQ(refused.exitStatus, 1) << words[0] << " " << words.back() << ": " << refused.out;
        EXPECT_NE(refused.err.find("up to"), std::string::npos) << refused.err;
    }
    EXPECT_EQ(exitNamed(runToCompletion(demo.serverList()), 10)->traffic->remainingGb, 0.001);

    EXPECT_NE(sim.admin({"add-vps", "Oslo", "--id", "7", "--address", "127.0.0.17"}).find("added vps 7"), std::string::npos);
    sim.admin({"remove-vps", "1"});
    list = runToCompletion(demo.serverList());
    ASSERT_EQ(list.servers.size(), 2u);
    EXPECT_EQ(list.servers[0].vpsId, 2);
    EXPECT_EQ(list.servers[1].vpsId, 7);
    EXPECT_EQ(list.servers[1].publicIp, "127.0.0.17");
    EXPECT_TRUE(list.exits.empty()) << "an exit whose entry server is gone is not offered";

    sim.admin({"add-site", R"({"site_id":6,"name":"Lab","endpoint_host":"127.0.0.41","endpoint_port":51821,)"
                           R"("server_public_key":"Q8xRZtFGGGRrGn+GA5vL75kh0IWRSbrxsC0xHa2pGzQ=","cidrs":["10.78.0.0/24"],)"
                           R"("address":"10.78.0.2/32","private_key":"eDvHP9Un77rBlHj8pNcd1D17s5h8uEh6SYcAfEaNlU0="})"});
    sim.admin({"remove-site", "5"});
    list = runToCompletion(demo.serverList());
    ASSERT_EQ(list.sites.size(), 1u);
    EXPECT_EQ(list.sites[0].name, "Lab");

    sim.admin({"version", "0.3.0", "--minimum", "0.2.0"});
    auto version = runToCompletion(demo.version("linux-x86_64"));
    EXPECT_EQ(version.version, "0.3.0");
    EXPECT_EQ(version.minRequiredVersion, "0.2.0");
    sim.admin({"version", "--none"});
    EXPECT_EQ(failure(demo.version("linux-x86_64")).status(), 404);

    sim.admin({"unavailable", "60"});
    EXPECT_EQ(failure(demo.serverList()), PanelError::transientServer(503));
    sim.admin({"recover"});
    EXPECT_NO_THROW(runToCompletion(demo.serverList()));
    sim.admin({"stall", "60"});
    EXPECT_EQ(failure(demo.serverList(0.3)), PanelError::transientServer(std::nullopt)) << "the answer was held back";
    // A held request gets its answer as soon as the stall ends.
    auto held = std::async(std::launch::async, [&] {
        auto c = sim.client(demo.token());
        return runToCompletion(c.serverList(30));
    });
    // Two: the one whose client gave up above is held too, as by any stalled server.
    for (int i = 0; i < 200 && sim.admin({"status"}).find(", 2 held") == std::string::npos; ++i) std::this_thread::sleep_for(20ms);
    EXPECT_NE(sim.admin({"status"}).find("(stalling, 2 held)"), std::string::npos);
    sim.admin({"recover"});
    EXPECT_EQ(held.get().servers.size(), 2u);
    EXPECT_NO_THROW(runToCompletion(demo.serverList()));

    sim.admin({"expire-token", "demo@corvane.test"});
    EXPECT_EQ(failure(demo.serverList()), PanelError::unauthorized());
    EXPECT_NO_THROW(runToCompletion(ops.serverList())) << "other users keep their session";

    // Bad commands fail with a reason and change nothing.
    auto bad = sim.ctl({"exhaust", "99"});
    EXPECT_EQ(bad.exitStatus, 1);
    EXPECT_NE(bad.err.find("no exit 99"), std::string::npos) << bad.err;
    EXPECT_EQ(sim.ctl({"launch-rockets"}).exitStatus, 1);

    for (const char* logged : {"admin: exit 10 exhausted", "admin: added vps 7", "admin: removed vps 1", "admin: added site 6",
                               "admin: published version 0.3.0", "admin: answering 503", "admin: expired 1 token(s)"}) {
        EXPECT_NE(sim.log().find(logged), std::string::npos) << logged << "\n" << sim.log();
    }
}

TEST(PanelSim, TheAllowanceFallsWithRealTrafficAndTheExitFallsBackToTheOriginal) {
    RunningSim sim;
    auto client = sim.client(sim.signIn());
    auto list = runToCompletion(client.serverList());
    const std::uint16_t web = portOf(sim.value("web_url").substr(0, sim.value("web_url").size() - 1));

    // Through the entry server alone the page comes from that server.
    ClientEngine entry(sim.dir / "client-entry", list.servers[0].realityUrl, sim.value("probe_url"));
    EXPECT_NE(entry.get(web, "/").find("through server 1 \"Amsterdam\""), std::string::npos);

    ClientEngine metered(sim.dir / "client-exit", *exitNamed(list, 10)->realityUrl, sim.value("probe_url"));
    EXPECT_NE(metered.get(web, "/").find("through metered exit 10 \"Residential US\""), std::string::npos);
    EXPECT_EQ(metered.get(web, "/bytes/700000").size(), 700000u);

    auto waitFor = [&](auto done) {
        const auto deadline = std::chrono::steady_clock::now() + 20s;
        for (;;) {
            list = runToCompletion(client.serverList());
            if (done(*exitNamed(list, 10)->traffic) || std::chrono::steady_clock::now() > deadline) return;
            std::this_thread::sleep_for(50ms);
        }
    };
    waitFor([](const ExitTraffic& t) { return *t.remainingGb < 0.0013; });
    auto traffic = *exitNamed(list, 10)->traffic;
    EXPECT_LT(*traffic.remainingGb, 0.0013) << "700 kB passed through the exit";
    EXPECT_GT(*traffic.remainingGb, 0.001);
    EXPECT_EQ(traffic.status, "low");
    EXPECT_TRUE(traffic.checkedAt);

    EXPECT_EQ(metered.get(web, "/bytes/2000000").size(), 2000000u);
    waitFor([](const ExitTraffic& t) { return t.status == "exhausted"; });
    traffic = *exitNamed(list, 10)->traffic;
    EXPECT_EQ(traffic.status, "exhausted");
    EXPECT_EQ(traffic.remainingGb, 0.0);
    EXPECT_TRUE(traffic.usingOriginal);
    EXPECT_TRUE(ExitSelection::quotaFallback(10, 1, list));
    EXPECT_NE(sim.log().find("allowance used up"), std::string::npos);

    // The same share URL now leaves through the entry server itself.
    std::string page;
    for (int attempt = 0; attempt < 50 && page.find("through server 1") == std::string::npos; ++attempt) {
        page = metered.get(web, "/");
        std::this_thread::sleep_for(50ms);
    }
    EXPECT_NE(page.find("through server 1 \"Amsterdam\""), std::string::npos) << page;

    // Without the fallback an exhausted exit carries nothing; a refill brings it back.
    runToCompletion(client.selectMeteredExit(10, false));
    bool refused = false;
    for (int attempt = 0; attempt < 50 && !refused; ++attempt) {
        try {
            metered.get(web, "/");
            std::this_thread::sleep_for(50ms);
        } catch (const std::exception&) {
            refused = true;
        }
    }
    EXPECT_TRUE(refused) << "an exhausted exit without fallback still carried traffic";
    sim.admin({"refill", "10"});
    for (int attempt = 0; attempt < 50 && page.find("metered exit 10") == std::string::npos; ++attempt) {
        try {
            page = metered.get(web, "/");
        } catch (const std::exception&) {
            std::this_thread::sleep_for(50ms);
        }
    }
    EXPECT_NE(page.find("through metered exit 10"), std::string::npos) << page;
}

TEST(PanelSim, ATunnelTrustingTheBundleReachesTheProbeAndLoadsTheRuleSetsOffline) {
    RunningSim sim;
    auto client = sim.client(sim.signIn());
    auto list = runToCompletion(client.serverList());
    // The engine's own URL tests trust the system store only: the bundle is that store plus the sim's CA.
    ClientEngine engine(sim.dir / "client", list.servers[1].realityUrl, sim.value("probe_url"), sim.value("rule_set_base_url"),
                        {"SSL_CERT_FILE=" + sim.value("ca_bundle_file")});
    EXPECT_NE(engine.engine->log().find("geosite-cn"), std::string::npos) << engine.engine->log();

    HttpRequest delay{.url = "http://127.0.0.1:" + std::to_string(engine.apiPort) + "/proxies/proxy-0/delay?url=" +
                             percentEncodeComponent(sim.value("probe_url")) + "&timeout=5000"};
    auto answer = runToCompletion(sim.http->send(delay));
    EXPECT_EQ(answer.status, 200) << answer.body << "\n" << engine.engine->log();
    EXPECT_NE(answer.body.find("\"delay\""), std::string::npos) << answer.body;
}

TEST(PanelSim, StartUpProblemsAreNamed) {
    TempDir dir;
    writeFile(dir / "world.json", R"({"users": [{"email": "a@b.c", "password": "p"}], "vpses": [{"vps_id": "one"}]})");
    auto result = runProcess({CORVANE_PANEL_SIM_PATH, "--world", (dir / "world.json").string(), "--state-dir",
                              (dir / "state").string(), "--listen", "127.0.0.1:" + std::to_string(freeTcpPort())});
    EXPECT_EQ(result.exitStatus, 2);
    EXPECT_NE(result.err.find("world.json: vpses[0].vps_id: expected an integer, found a string"), std::string::npos)
        << result.err;
    writeFile(dir / "world.json", R"({"users": [{"email": "a@b.c", "password": "p"}],
        "vpses": [{"vps_id": 1, "name": "Far", "address": "192.0.2.1"}]})");
    result = runProcess({CORVANE_PANEL_SIM_PATH, "--world", (dir / "world.json").string(), "--state-dir", (dir / "state").string()});
    EXPECT_EQ(result.exitStatus, 2);
    EXPECT_NE(result.err.find("vpses[0].address: must be a 127.x.y.z address"), std::string::npos) << result.err;
    result = runProcess({CORVANE_PANEL_SIM_PATH, "--listen", "0.0.0.0:8443"});
    EXPECT_EQ(result.exitStatus, 2);
    EXPECT_NE(result.err.find("--listen must be a 127.x.y.z address"), std::string::npos) << result.err;

    HttpServer taken;
    result = runProcess({CORVANE_PANEL_SIM_PATH, "--state-dir", (dir / "state").string(), "--listen",
                         "127.0.0.1:" + std::to_string(taken.port())});
    EXPECT_EQ(result.exitStatus, 1);
    EXPECT_NE(result.err.find("cannot listen on 127.0.0.1:" + std::to_string(taken.port()) + ": Address already in use"),
              std::string::npos)
        << result.err;
}

TEST(PanelSim, AWorldItCannotHoldIsRefusedAtStart) {
    TempDir dir;
    std::string world = kWorld;
    const std::string allowance = R"("allowance_gb": 0.002)";
    world.replace(world.find(allowance), allowance.size(), R"("allowance_gb": 1e308)");
    writeFile(dir.path() / "world.json", world);
    // (Bounded: a sim that accepts the world would run until stopped.)
    auto started = runProcess({"timeout", "20", CORVANE_PANEL_SIM_PATH, "--listen", "127.0.0.1:" + std::to_string(freeTcpPort()),
                               "--state-dir", (dir.path() / "state").string(), "--world", (dir.path() / "world.json").string()});
    EXPECT_NE(started.exitStatus, 0);
    EXPECT_NE(started.err.find("exits[0].allowance_gb: must be at most 1000000"), std::string::npos) << started.err;
}
