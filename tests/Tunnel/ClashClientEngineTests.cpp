// SPDX-License-Identifier: GPL-3.0-or-later
// The control API client against the real engine: a client engine with a
// "mixed" inbound and outbounds to the test fleet over both protocols.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>

#include "Corvane/Tunnel/ClashClient.hpp"
#include "CorvaneCore/Support/AtomicFile.hpp"
#include "CorvaneCore/Support/Blocking.hpp"
#include "CorvaneCore/Support/Timeout.hpp"
#include "tools/fleet/NetworkPorts.hpp"
#include "TestSupport/ProxyTunnel.hpp"
#include "tools/fleet/Fleet.hpp"

using namespace corvane;
using namespace corvane::testing;
using namespace corvane::fleet;
using namespace std::chrono_literals;

namespace {

void replaceAll(std::string& text, const std::string& from, const std::string& to) {
    for (auto at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
        text.replace(at, from.size(), to);
    }
}

// The engine configuration the app's builder would make, less the TUN inbound
// (the engine runs unprivileged here) and with a "mixed" inbound to send traffic into.
constexpr const char* kClientConfig = R"({
  "log": {"level": "info", "timestamp": true},
  "inbounds": [
    {"type": "mixed", "tag": "mixed-in", "listen": "127.0.0.1", "listen_port": @MIXED_PORT@,
     "users": [{"username": "alice", "password": "wonderland"}]}
  ],
  "outbounds": [
    {"type": "vless", "tag": "proxy-0", "server": "127.0.0.1", "server_port": @REALITY_PORT@,
     "uuid": "@UUID@", "flow": "xtls-rprx-vision",
     "tls": {"enabled": true, "server_name": "@REALITY_SNI@",
             "utls": {"enabled": true, "fingerprint": "chrome"},
             "reality": {"enabled": true, "public_key": "@PUBLIC_KEY@", "short_id": "@SHORT_ID@"}}},
    {"type": "hysteria2", "tag": "proxy-1", "server": "127.0.0.1", "server_port": @HYSTERIA2_PORT@,
     "password": "@HYSTERIA2_PASSWORD@",
     "tls": {"enabled": true, "server_name": "@HYSTERIA2_SNI@", "alpn": ["h3"], "certificate_path": "@CA_FILE@"}},
    {"type": "urltest", "tag": "proxy-auto", "outbounds": ["proxy-0", "proxy-1"], "url": "@GROUP_URL@"},
    {"type": "selector", "tag": "proxy", "outbounds": ["proxy-auto", "proxy-0", "proxy-1"], "default": "proxy-0"},
    {"type": "direct", "tag": "direct"}
  ],
  "route": {"final": "proxy"},
  "certificate": {"certificate_path": ["@CA_FILE@"]},
  "experimental": {"clash_api": {"external_controller": "127.0.0.1:@API_PORT@", "secret": "@SECRET@"}}
})";

class ClashClientEngineTest : public ::testing::Test {
protected:
    Fleet fleet;
    TempDir dir;
    // The URL-test group's own endpoint; it fails every test until a test says otherwise.
    HttpServer groupTarget{fleet.certificates()};
    std::uint16_t mixedPort = freeTcpPort();
    std::uint16_t apiPort = freeTcpPort();
    std::string secret = makeUUID();
    std::unique_ptr<Engine> engine;

    void SetUp() override {
        groupTarget.setHandler([](const RecordedRequest&) {
            ScriptedReply reply;
            reply.drop = true;
            return reply;
        });
        std::string config = kClientConfig;
        replaceAll(config, "@MIXED_PORT@", std::to_string(mixedPort));
        replaceAll(config, "@REALITY_PORT@", std::to_string(fleet.realityPort()));
        replaceAll(config, "@UUID@", fleet.uuid());
        replaceAll(config, "@REALITY_SNI@", fleet.realityServerName());
        replaceAll(config, "@PUBLIC_KEY@", fleet.realityPublicKey());
        replaceAll(config, "@SHORT_ID@", fleet.realityShortId());
        replaceAll(config, "@HYSTERIA2_PORT@", std::to_string(fleet.hysteria2Port()));
        replaceAll(config, "@HYSTERIA2_PASSWORD@", fleet.hysteria2Password());
        replaceAll(config, "@HYSTERIA2_SNI@", fleet.hysteria2ServerName());
        replaceAll(config, "@CA_FILE@", fleet.certificates().caFile.string());
        replaceAll(config, "@GROUP_URL@", groupTarget.url("/generate_204"));
        replaceAll(config, "@API_PORT@", std::to_string(apiPort));
        replaceAll(config, "@SECRET@", secret);
        // The engine checks the certificates of latency-test targets against its certificate store
        // ("certificate" above), except for single-outbound tests, which use the system store: make that
        // the fleet's CA too.
        engine = std::make_unique<Engine>(dir.path() / "client", config,
                                              std::vector<std::string>{"SSL_CERT_FILE=" + fleet.certificates().caFile.string()});
        engine->waitUntilListening(apiPort);
    }

    void TearDown() override {
        if (HasFailure() && engine) std::cerr << "client engine log:\n" << engine->log() << "\nfleet log:\n" << fleet.server().log();
    }

    ClashClient client(std::vector<std::string> probeURLs = {}) const {
        if (probeURLs.empty()) probeURLs = {fleet.probeURL()};
        return ClashClient(apiPort, secret, ClashClient::Endpoints{.groupTestURL = fleet.probeURL(), .probeURLs = probeURLs});
    }

    std::unique_ptr<ProxyTunnel> tunnelToTarget() {
        return std::make_unique<ProxyTunnel>(mixedPort, "alice", "wonderland", "127.0.0.1", fleet.httpTarget().port());
    }
};

TEST_F(ClashClientEngineTest, ProxiesListTheGroupsAndSetSelectorSwitchesTheTraffic) {
    auto table = runToCompletion(client().proxies());
    for (const char* tag : {"proxy-0", "proxy-1", "proxy-auto", "proxy", "direct"}) {
        EXPECT_TRUE(table.proxies.contains(tag)) << tag;
    }
    EXPECT_EQ(table.proxies["proxy"].now, "proxy-0");

    runToCompletion(client().setSelector("proxy", "proxy-1"));
    EXPECT_EQ(runToCompletion(client().proxies()).proxies["proxy"].now, "proxy-1");
    // Traffic now runs through the Hysteria2 outbound.
    auto tunnel = tunnelToTarget();
    EXPECT_EQ(tunnel->get("/hello"), "fleet");
    EXPECT_EQ(runToCompletion(client().closeConnections("proxy-0")), 0);
    EXPECT_EQ(runToCompletion(client().closeConnections("proxy-1")), 1);
    EXPECT_TRUE(tunnel->waitForClose(5s));

    struct Refusal {
        std::string group, choice;
        int status;
    };
    for (const auto& r : std::vector<Refusal>{{"proxy", "nowhere", 400}, {"proxy-auto", "proxy-0", 400}, {"missing", "proxy-0", 404}}) {
        try {
            runToCompletion(client().setSelector(r.group, r.choice));
            ADD_FAILURE() << r.group << " accepted " << r.choice;
        } catch (const ClashClient::ClashError& e) {
            EXPECT_EQ(e.status(), r.status) << r.group << " " << r.choice;
        }
    }

    ClashClient wrongSecret(apiPort, "not-the-secret");
    try {
        runToCompletion(wrongSecret.proxies());
        ADD_FAILURE() << "a wrong secret was accepted";
    } catch (const ClashClient::ClashError& e) {
        EXPECT_EQ(e.status(), 401);
    }
    EXPECT_EQ(runToCompletion(wrongSecret.totals()), std::nullopt);
}

TEST_F(ClashClientEngineTest, ProbeReachesTheFleetOverBothProtocols) {
    EXPECT_TRUE(runToCompletion(client().probe("proxy-0")));
    EXPECT_TRUE(runToCompletion(client().probe("proxy-1")));
    auto table = runToCompletion(client().proxies());
    for (const char* tag : {"proxy-0", "proxy-1"}) {
        ASSERT_TRUE(table.proxies[tag].history && !table.proxies[tag].history->empty()) << tag;
        EXPECT_GT(table.proxies[tag].history->back().delay, 0) << tag;
    }
    const auto probesBefore = fleet.probeEndpoint().requestCount();
    EXPECT_GE(probesBefore, 2u);

    // Nothing listens on the first endpoint: the second one answers.
    const std::string dead = "https://127.0.0.1:" + std::to_string(freeTcpPort()) + "/cdn-cgi/trace";
    EXPECT_TRUE(runToCompletion(client({dead, fleet.probeURL()}).probe("proxy-0")));
    EXPECT_EQ(fleet.probeEndpoint().requestCount(), probesBefore + 1);
    EXPECT_FALSE(runToCompletion(client({dead, dead}).probe("proxy-1")));
    EXPECT_FALSE(runToCompletion(client().probe("no-such-outbound")));
}

TEST_F(ClashClientEngineTest, TestGroupMeasuresTheMembersOfTheUrlTestGroup) {
    // The check the engine makes at start-up failed against the dropping target; now it answers.
    groupTarget.setHandler([](const RecordedRequest&) {
        ScriptedReply reply;
        reply.status = 204;
        reply.delay = 5ms;
        return reply;
    });
    const auto deadline = std::chrono::steady_clock::now() + 30s;
    ClashClient::ProxiesResponse table;
    auto measured = [&](const char* tag) {
        return table.proxies[tag].history && !table.proxies[tag].history->empty();
    };
    do {
        // The engine answers at once while a check is still running; ask again until one ran.
        runToCompletion(client().testGroup());
        table = runToCompletion(client().proxies());
    } while (!(measured("proxy-0") && measured("proxy-1")) && std::chrono::steady_clock::now() < deadline);
    EXPECT_TRUE(measured("proxy-0"));
    EXPECT_TRUE(measured("proxy-1"));
    EXPECT_TRUE(table.proxies["proxy-auto"].now == "proxy-0" || table.proxies["proxy-auto"].now == "proxy-1");
    EXPECT_GE(groupTarget.requestCount(), 2u);
}

TEST_F(ClashClientEngineTest, ConnectionsAndTotalsFollowRealTraffic) {
    EXPECT_EQ(runToCompletion(client().closeConnections("proxy-0")), 0);
    auto held = tunnelToTarget();
    EXPECT_EQ(held->get("/hello"), "fleet");

    auto totals = runToCompletion(client().totals());
    ASSERT_TRUE(totals);
    EXPECT_GT(totals->up, 0);
    EXPECT_GT(totals->down, 0);

    EXPECT_EQ(runToCompletion(client().closeConnections("proxy-1")), 0);
    EXPECT_FALSE(held->waitForClose(100ms));
    EXPECT_EQ(runToCompletion(client().closeConnections("proxy-0")), 1);
    EXPECT_TRUE(held->waitForClose(5s));
}

Async<void> readTraffic(ClashClient::TrafficStream stream, std::vector<ClashClient::Traffic>& samples) {
    while (auto sample = co_await stream.next()) {
        samples.push_back(*sample);
        if (sample->up > 0 && sample->down > 0) co_return;
    }
}

TEST_F(ClashClientEngineTest, TrafficStreamsTheLiveRateOfRealTraffic) {
    fleet.httpTarget().setHandler([](const RecordedRequest&) {
        ScriptedReply reply;
        reply.body = std::string(64 * 1024, 'x');
        return reply;
    });
    std::atomic<bool> done{false};
    std::thread load([&] {
        try {
            auto tunnel = tunnelToTarget();
            while (!done) {
                tunnel->get("/bytes");
                std::this_thread::sleep_for(100ms);
            }
        } catch (const std::exception& e) {
            ADD_FAILURE() << "load: " << e.what();
        }
    });

    std::vector<ClashClient::Traffic> samples;
    EXPECT_NO_THROW(runToCompletion(withTimeout(20s, readTraffic(client().traffic(), samples))));
    done = true;
    load.join();
    ASSERT_FALSE(samples.empty());
    EXPECT_GT(samples.back().up, 0);
    EXPECT_GT(samples.back().down, 0);
}

}  // namespace

TEST_F(ClashClientEngineTest, TheFleetCarriesNothingBeyondTheTestsOwnAddresses) {
    // 0.0.0.0 reaches this machine's own listeners too, so a fleet that forwarded
    // everywhere would answer here; it is outside the fleet's ranges and refused.
    auto allowed = std::make_unique<ProxyTunnel>(mixedPort, "alice", "wonderland", "localhost", fleet.httpTarget().port());
    EXPECT_EQ(allowed->get("/allowed"), "fleet");
    ProxyTunnel refused(mixedPort, "alice", "wonderland", "0.0.0.0", fleet.httpTarget().port());
    EXPECT_THROW(refused.get("/refused"), std::exception);
    EXPECT_EQ(fleet.httpTarget().requestCount(), 1u);
}
