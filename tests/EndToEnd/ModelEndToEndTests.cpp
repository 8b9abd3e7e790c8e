// The application model and corvanectl with real parts only: the demo panel
// with its fleet of real engine servers and a metered exit, the tunnel service
// in user mode running the real engine, and HTTP through the local proxy.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <sstream>
#include <thread>

#include <boost/asio/io_context.hpp>
#include <boost/json/parse.hpp>

#include "Corvane/Model/AppModel.hpp"
#include "Corvane/Platform/FileSettingsStore.hpp"
#include "Corvane/Platform/ServiceTunnelPlatform.hpp"
#include "CorvaneCore/Support/Blocking.hpp"
#include "CorvaneCore/Support/HttpClient.hpp"
#include "CorvaneCore/Support/JSONValue.hpp"
#include "CorvaneCore/Tunnel/TunnelServiceProtocol.hpp"
#include "TestSupport/ProxyTunnel.hpp"
#include "TestSupport/ServiceClient.hpp"
#include "tools/fleet/BackgroundProcess.hpp"
#include "tools/fleet/ChildProcess.hpp"
#include "tools/fleet/Engine.hpp"
#include "tools/fleet/NetworkPorts.hpp"
#include "tools/fleet/TempDir.hpp"

using namespace corvane;
using namespace corvane::fleet;
using namespace corvane::testing;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

// Two servers and a metered exit of 2 MB behind the first; rule sets served by the panel.
const char* kWorld = R"({
  "users": [{"email": "demo@corvane.test", "password": "demo-password"}],
  "vpses": [{"vps_id": 1, "name": "Amsterdam", "address": "127.0.0.11"},
            {"vps_id": 2, "name": "Tokyo", "address": "127.0.0.12"}],
  "exits": [{"exit_id": 10, "vps_id": 1, "name": "Residential US", "address": "127.0.0.21",
             "allowance_gb": 0.002, "fallback_on_exhaustion": true}],
  "version": {"latest": "0.0.1", "download_url": "https://127.0.0.1/c.tar.gz", "sha256": "ab",
              "filename": "c.tar.gz", "size_bytes": 42, "uploaded_at": "2026-12-01T09:00:00Z"},
  "rule_sets": {"geoip-cn": {"repo": "sing-geoip", "rules": [{"ip_cidr": ["127.0.0.30/32"]}]},
                "geosite-cn": {"repo": "sing-geosite", "rules": [{"domain_suffix": ["cn.corvane.test"]}]}}
})";

std::uint16_t portOf(const std::string& url) {
    std::string text = url;
    if (text.ends_with("/")) text.pop_back();
    return static_cast<std::uint16_t>(std::stoi(text.substr(text.rfind(':') + 1)));
}

// A user's home with the demo panel, its fleet and the tunnel service running:
// settings, token file, deployment file and the service's socket all under it.
class EndToEnd : public ::testing::Test {
protected:
    void SetUp() override {
        for (const auto& [name, value] : std::map<std::string, fs::path>{{"HOME", home},
                                                                          {"XDG_CONFIG_HOME", home / "config"},
                                                                          {"XDG_DATA_HOME", home / "data"},
                                                                          {"XDG_STATE_HOME", home / "state"},
                                                                          {"XDG_RUNTIME_DIR", home / "run"}}) {
            if (const char* old = std::getenv(name.c_str())) saved_[name] = old;
            ::setenv(name.c_str(), value.c_str(), 1);
        }
        if (const char* bus = std::getenv("DBUS_SESSION_BUS_ADDRESS")) saved_["DBUS_SESSION_BUS_ADDRESS"] = bus;
        ::unsetenv("DBUS_SESSION_BUS_ADDRESS");  // the token goes to the owner-only file
        fs::create_directories(home / "run");

        writeFile(dir.path() / "world.json", kWorld);
        sim_ = std::make_unique<BackgroundProcess>(
            std::vector<std::string>{CORVANE_PANEL_SIM_PATH, "--listen", "127.0.0.1:" + std::to_string(freeTcpPort()),
                                     "--state-dir", simState().string(), "--world", (dir.path() / "world.json").string(),
                                     "--meter-interval", "100"},
            dir.path() / "sim.log");
        waitFor([&] { return sim_->log().find("\nready\n") != std::string::npos; }, 60s, "the panel sim");
        const auto summary = boost::json::parse(readFile(simState() / "panel-sim.json")).as_object();
        panelURL = std::string(summary.at("panel_url").as_string());
        webPort = portOf(std::string(summary.at("web_url").as_string()));
        ::setenv("CORVANE_CA_FILE", (simState() / "tls" / "ca.pem").c_str(), 1);
        fs::create_directories(home / "config" / "corvane");
        fs::copy_file(simState() / "deployment.json", home / "config" / "corvane" / "deployment.json");

        proxyPort = freeTcpPort();
        socket = TunnelServiceEndpoint::userSocketPath();
        // The engine's probes and rule-set downloads trust the panel's CA through this bundle.
        service_ = std::make_unique<BackgroundProcess>(
            std::vector<std::string>{CORVANE_TUNNEL_PATH, "--user", "--socket", socket.string(), "--state-dir",
                                     (dir.path() / "service").string(), "--engine", enginePath().string(),
                                     "--proxy-port", std::to_string(proxyPort)},
            dir.path() / "service.log", std::vector<std::string>{"SSL_CERT_FILE=" + (simState() / "ca-bundle.pem").string()});
        waitFor([&] { return rawExchange(socket, R"({"id":1,"op":"hello"})" "\n").find(R"("ok":true)") != std::string::npos; },
                10s, "corvane-tunnel");
    }
    void TearDown() override {
        service_.reset();
        sim_.reset();
        for (const char* name : {"HOME", "XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_STATE_HOME", "XDG_RUNTIME_DIR",
                                 "CORVANE_CA_FILE", "DBUS_SESSION_BUS_ADDRESS"}) {
            auto it = saved_.find(name);
            if (it == saved_.end()) {
                ::unsetenv(name);
            } else {
                ::setenv(name, it->second.c_str(), 1);
            }
        }
    }

    void waitFor(const std::function<bool()>& ready, std::chrono::seconds limit, const std::string& what) {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (!ready()) {
            if (std::chrono::steady_clock::now() > deadline) {
                throw std::runtime_error(what + " did not come up:\n" + (sim_ ? sim_->log() : "") +
                                         (service_ ? service_->log() : ""));
            }
            std::this_thread::sleep_for(20ms);
        }
    }

    fs::path simState() const { return dir.path() / "sim"; }

    // The web target through the local proxy; it names who carried the request.
    std::string viaProxy() {
        try {
            ProxyTunnel tunnel(proxyPort, "any", "any", "localhost", webPort);
            return tunnel.get("/");
        } catch (const std::exception& e) {
            return std::string("failed: ") + e.what();
        }
    }
    ProcessResult ctl(std::vector<std::string> args, const std::string& input = {}) {
        args.insert(args.begin(), CORVANECTL_PATH);
        return runProcess(args, input);
    }
    ProcessResult simCtl(std::vector<std::string> words) {
        std::vector<std::string> argv{CORVANE_PANEL_SIM_PATH, "ctl", "--state-dir", simState().string()};
        argv.insert(argv.end(), words.begin(), words.end());
        return runProcess(argv);
    }

    TempDir dir;
    fs::path home = dir.path() / "home";
    fs::path socket;
    std::string panelURL;
    std::uint16_t webPort = 0, proxyPort = 0;

private:
    std::map<std::string, std::string> saved_;
    std::unique_ptr<BackgroundProcess> sim_;
    std::unique_ptr<BackgroundProcess> service_;
};

// The model on a loop of its own with the app's real parts (tunnel service, settings file, deployment).
class LiveModel {
public:
    LiveModel(const fs::path& home, const fs::path& socket)
        : http(HttpClientOptions::fromEnvironment()) {
        AppModelParts parts;
        parts.store = std::make_shared<InMemoryTokenStore>();
        parts.tunnelPlatform = std::make_shared<ServiceTunnelPlatform>(io.get_executor(), socket);
        parts.settings = std::make_shared<FileSettingsStore>(home / "model-settings.json");
        parts.http = &http;
        parts.deployment = Deployment::load({home / "config" / "corvane" / "deployment.json"}).values;
        parts.selfUpdates = false;
        parts.timings.healthCheckPeriod = 500ms;
        model = std::make_unique<AppModel>(io.get_executor(), std::move(parts));
    }
    ~LiveModel() { model.reset(); }

    template <class T>
    T run(Async<T> work) {
        return runUntilDone(io, std::move(work));
    }
    bool runUntil(const std::function<bool()>& done, std::chrono::milliseconds limit = 20s) {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (!done() && std::chrono::steady_clock::now() < deadline) {
            io.run_for(10ms);
            io.restart();
        }
        return done();
    }

    boost::asio::io_context io;
    HttpClient http;
    std::unique_ptr<AppModel> model;
};

TEST_F(EndToEnd, TheModelConnectsPinsChoosesAnExitFallsBackAndDisconnects) {
    LiveModel live(home, socket);
    AppModel& m = *live.model;
    m.panelURL = panelURL;
    m.email = "demo@corvane.test";
    m.password = "demo-password";
    live.run(m.signIn(false));
    ASSERT_TRUE(m.signedIn) << m.errorMessage->value_or("");
    ASSERT_EQ(m.servers->size(), 2u);
    int connects = 0;  // sessions begun
    NEVPNStatus last = NEVPNStatus::invalid;
    Subscription counting = m.observe([&](const auto& s) {
        if (s->tunnelStatus == NEVPNStatus::connected && last != NEVPNStatus::connected) ++connects;
        last = s->tunnelStatus;
    });

    // Connect: traffic flows through the fleet, the engine's choice and delays appear, the probe passes.
    live.run(m.connect());
    ASSERT_TRUE(live.runUntil([&] { return m.tunnel.status() == NEVPNStatus::connected; })) << m.errorMessage->value_or("");
    EXPECT_NE(viaProxy().find("through server "), std::string::npos);
    EXPECT_TRUE(live.runUntil([&] { return m.tunnelReachable.get() == true; }));
    // A delay for both protocols of both servers.
    EXPECT_TRUE(live.runUntil([&] {
        for (const char* tag : {"proxy-0", "proxy-1", "proxy-2", "proxy-3"}) {
            if (!m.delays->count(tag)) return false;
        }
        return m.activeOutbound->has_value();
    })) << m.delays->size();

    // Pin Tokyo over Reality: the engine switches in place, the server side sees Tokyo.
    m.pinTag("proxy-3");
    ASSERT_TRUE(live.runUntil([&] { return !m.switchingTo->has_value(); }));
    EXPECT_EQ(m.errorMessage.get(), std::nullopt);
    EXPECT_EQ(m.activeOutbound.get(), "proxy-3");
    EXPECT_NE(viaProxy().find("through server 2 \"Tokyo\""), std::string::npos);
    m.pinTag("proxy-0");  // Amsterdam over Hysteria2
    ASSERT_TRUE(live.runUntil([&] { return !m.switchingTo->has_value(); }));
    EXPECT_NE(viaProxy().find("through server 1 \"Amsterdam\""), std::string::npos);
    EXPECT_EQ(connects, 1);

    // The metered exit: a reconnect through its Reality share alone.
    live.run(m.applyRoute(1, 10, true, false));
    // Counted from published snapshots, which may follow the controller's status by a turn of the loop.
    ASSERT_TRUE(live.runUntil([&] { return m.tunnel.status() == NEVPNStatus::connected && connects >= 2; }))
        << m.errorMessage->value_or("");
    EXPECT_EQ(connects, 2);
    const JSONValue config = JSONValue::parse(*m.lastConfigJSON);
    int proxies = 0;
    for (const auto& outbound : *config.find("outbounds")->array()) {
        const std::string tag = *outbound.find("tag")->string();
        if (tag.starts_with("proxy-") && tag != "proxy-auto") {
            ++proxies;
            EXPECT_EQ(*outbound.find("type")->string(), "vless");
        }
    }
    EXPECT_EQ(proxies, 1);
    EXPECT_EQ(m.exitName(), "Residential US");
    EXPECT_NE(viaProxy().find("through metered exit 10"), std::string::npos);

    // The allowance runs out: the next list moves the route back to Amsterdam's own exit, once.
    ASSERT_EQ(simCtl({"exhaust", "10"}).exitStatus, 0);
    live.run(m.refreshServers(false));
    ASSERT_TRUE(live.runUntil(
        [&] { return !m.quotaFallbackPending && m.tunnel.status() == NEVPNStatus::connected && connects >= 3; }));
    EXPECT_EQ(connects, 3);
    EXPECT_EQ(m.quotaNotice.get(), "Residential US traffic was used up. Switched to Original VPS exit on the same entry "
                                   "node. No traffic was purchased.");
    EXPECT_EQ(m.selectedExitId.get(), std::nullopt);
    EXPECT_EQ(m.quotaFallbackEntryId, 1);
    EXPECT_NE(viaProxy().find("through server 1 \"Amsterdam\""), std::string::npos);

    // Disconnect ends the session; the local proxy is gone.
    live.run(m.toggleConnection());
    ASSERT_TRUE(live.runUntil([&] { return m.tunnel.status() == NEVPNStatus::disconnected; }));
    EXPECT_EQ(m.clash, nullptr);
    EXPECT_EQ(m.tunnelReachable.get(), std::nullopt);
    EXPECT_EQ(viaProxy().find("Hello"), std::string::npos);
}

TEST_F(EndToEnd, CorvanectlConnectStatusPinRouteDisconnect) {
    auto login = ctl({"login", "--panel", panelURL, "--email", "demo@corvane.test", "--password-stdin"}, "demo-password\n");
    ASSERT_EQ(login.exitStatus, 0) << login.err;
    // A watcher follows everything the other commands do, one JSON object per line.
    BackgroundProcess watcher({CORVANECTL_PATH, "watch", "--json"}, dir.path() / "watch.log");
    waitFor([&] { return watcher.log().find(R"("status":"disconnected")") != std::string::npos; }, 10s, "corvanectl watch");

    auto connect = ctl({"connect", "--wait", "30"});
    ASSERT_EQ(connect.exitStatus, 0) << connect.err;
    EXPECT_TRUE(connect.out.starts_with("Connected: ")) << connect.out;
    waitFor([&] { return watcher.log().find(R"("status":"connected")") != std::string::npos; }, 10s,
            "the watcher's connected line (" + watcher.log() + ")");
    EXPECT_NE(viaProxy().find("through server "), std::string::npos);

    auto status = ctl({"status", "--json"});
    ASSERT_EQ(status.exitStatus, 0) << status.err;
    auto doc = boost::json::parse(status.out).as_object();
    EXPECT_EQ(doc.at("status").as_string(), "connected");
    EXPECT_EQ(doc.at("pinChoice").as_string(), "proxy-auto");
    EXPECT_EQ(doc.at("entryName").as_string(), "Auto · fastest");
    EXPECT_EQ(doc.at("exitName").as_string(), "Original VPS exit");
    ASSERT_TRUE(doc.contains("activeOutbound")) << status.out;
    EXPECT_TRUE(doc.at("activeOutbound").as_string().starts_with("proxy-"));
    EXPECT_TRUE(doc.at("delays").is_object());
    // Each delay says when the engine measured it: a moment ago.
    for (const auto& [tag, at] : doc.at("delayMeasuredAt").as_object()) {
        EXPECT_TRUE(doc.at("delays").as_object().contains(tag)) << tag;
        const auto now = std::chrono::duration_cast<std::chrono::seconds>(
                             std::chrono::system_clock::now().time_since_epoch()).count();
        EXPECT_NEAR(static_cast<double>(at.as_int64()), static_cast<double>(now), 120.0) << tag;
    }
    EXPECT_EQ(doc.at("smartRouting").as_bool(), true);
    EXPECT_EQ(doc.at("snapshot").as_array().size(), 2u);
    EXPECT_TRUE(doc.at("trafficNow").as_object().contains("down"));
    EXPECT_TRUE(doc.at("trafficTotal").as_object().contains("up"));
    EXPECT_FALSE(doc.contains("errorMessage"));

    auto pin = ctl({"pin", "Tokyo", "reality"});
    ASSERT_EQ(pin.exitStatus, 0) << pin.err;
    EXPECT_EQ(pin.out, "Pinned: Reality on Tokyo\n");
    EXPECT_NE(viaProxy().find("through server 2 \"Tokyo\""), std::string::npos);

    auto exits = ctl({"exits"});
    ASSERT_EQ(exits.exitStatus, 0) << exits.err;
    EXPECT_NE(exits.out.find("10  Residential US"), std::string::npos) << exits.out;

    auto route = ctl({"route", "--entry", "Amsterdam", "--exit", "10"});
    ASSERT_EQ(route.exitStatus, 0) << route.err;
    EXPECT_EQ(route.out, "Connected: Reality on Amsterdam\n");
    EXPECT_NE(viaProxy().find("through metered exit 10"), std::string::npos);
    doc = boost::json::parse(ctl({"status", "--json"}).out).as_object();
    EXPECT_EQ(doc.at("selectedExitId").as_int64(), 10);
    EXPECT_EQ(doc.at("exitName").as_string(), "Residential US");

    auto bad = ctl({"route", "--entry", "Nowhere"});
    EXPECT_EQ(bad.exitStatus, 1);
    EXPECT_NE(bad.err.find("no server \"Nowhere\""), std::string::npos);

    auto disconnect = ctl({"disconnect"});
    ASSERT_EQ(disconnect.exitStatus, 0) << disconnect.err;
    EXPECT_EQ(disconnect.out, "Disconnected.\n");
    doc = boost::json::parse(ctl({"status", "--json"}).out).as_object();
    EXPECT_EQ(doc.at("status").as_string(), "disconnected");
    EXPECT_EQ(viaProxy().find("Hello"), std::string::npos);

    waitFor([&] { return watcher.log().rfind(R"("status":"disconnected")") > watcher.log().find(R"("status":"connected")"); },
            10s, "the watcher's last line (" + watcher.log() + ")");
    EXPECT_EQ(watcher.stop(), 0);  // interrupted, it ends cleanly
    std::vector<std::string> statuses;
    std::istringstream lines(watcher.log());
    for (std::string line; std::getline(lines, line);) {
        auto object = boost::json::parse(line).as_object();
        const std::string status(object.at("status").as_string());
        if (statuses.empty() || statuses.back() != status) statuses.push_back(status);
        if (object.contains("activeOutbound")) EXPECT_TRUE(object.at("activeOutbound").as_string().starts_with("proxy-"));
    }
    ASSERT_GE(statuses.size(), 3u);
    EXPECT_EQ(statuses.front(), "disconnected");
    EXPECT_NE(std::find(statuses.begin(), statuses.end(), "connected"), statuses.end());
    EXPECT_EQ(statuses.back(), "disconnected");
}

}  // namespace
