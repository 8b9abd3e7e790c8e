// SPDX-License-Identifier: GPL-3.0-or-later
// Connecting, tunnel status and health checks on the fake tunnel platform and the HTTPS test panel.
#include "Model/ModelFixture.hpp"
#include "Model/RouteFixture.hpp"

#include <boost/asio/steady_timer.hpp>

#include "CorvaneCore/Panel/ExitSelection.hpp"

using namespace corvane;
using namespace corvane::testing;

namespace {

class ConnectTest : public RouteTest {};

TEST_F(ConnectTest, SharesSmartRoutingAndDeploymentFollowTheRoute) {
    struct Row {
        const char* name;
        std::optional<std::int64_t> exit;
        std::optional<std::int64_t> quotaEntry;
        bool smartRouting;
        std::vector<std::string> outbounds;  // type of proxy-0, proxy-1, ...
        bool ruleSets;
        std::vector<std::int64_t> fleet;
    };
    const std::vector<Row> rows{
        {"all servers, Hysteria2 first", {}, {}, true, {"hysteria2", "vless", "hysteria2", "vless"}, true, {1, 2}},
        {"the setting decides", {}, {}, false, {"hysteria2", "vless", "hysteria2", "vless"}, false, {1, 2}},
        {"metered exit: its Reality share alone, no smart routing", 5, {}, true, {"vless"}, false, {1}},
        {"after a quota fallback on node 2: that node alone", {}, 2, true, {"hysteria2", "vless"}, true, {2}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        script.set(kServersPath, ScriptedReply::json(200, listJSON({1, 2}, exitJSON(5, 1, "Seoul", trafficJSON("ok", false)))));
        AppModel& m = signedInModel([](AppModelParts& parts) {
            parts.deployment.urlTestProbeURL = "https://127.0.0.1:9/generate_204";
            parts.deployment.ruleSetBaseURL = "https://127.0.0.1:9/rules/";
        });
        m.setSmartRouting(row.smartRouting);
        m.selectedExitId = row.exit;
        if (row.exit) m.pin = PinPref{.vpsId = 1, .reality = true};
        m.quotaFallbackEntryId = row.quotaEntry;
        tunnelPlatform->startOptions.clear();
        run(m.connect());
        EXPECT_EQ(m.errorMessage.get(), std::nullopt);
        EXPECT_EQ(m.tunnel.status(), NEVPNStatus::connected);
        ASSERT_EQ(tunnelPlatform->startOptions.size(), 1u);
        const JSONValue config = JSONValue::parse(tunnelPlatform->startOptions[0].at("config"));
        EXPECT_EQ(proxyTypes(config), row.outbounds);
        EXPECT_EQ(config.find("route")->find("rule_set") != nullptr, row.ruleSets);
        EXPECT_EQ(*urlTestURL(config), "https://127.0.0.1:9/generate_204");
        if (row.ruleSets) {
            EXPECT_TRUE(config.serialize().find("https://127.0.0.1:9/rules/sing-geoip/rule-set/geoip-cn.srs") !=
                        std::string::npos);
        }
        std::vector<std::int64_t> fleet;
        for (const auto& slot : *m.connectedFleet) fleet.push_back(slot.vpsId);
        EXPECT_EQ(fleet, row.fleet);
        EXPECT_EQ(m.lastConfigJSON, tunnelPlatform->startOptions[0].at("config"));
        EXPECT_FALSE(m.connectInFlight);
        tunnelPlatform->setStatus(tunnelPlatform->profiles.at(0).identifier, NEVPNStatus::disconnected);
    }
}

TEST_F(ConnectTest, AConnectThatCannotResolveItsRouteStopsWithTheRuleText) {
    struct Row {
        const char* name;
        std::optional<std::int64_t> exit, quotaEntry;
        bool panelDown;
        std::string text;
    };
    const std::vector<Row> rows{
        {"quota entry gone", {}, 7, false, ExitSelection::SelectionError::unavailable().description()},
        {"metered exit with a stale list", 5, {}, true, ExitSelection::SelectionError::needsFreshList().description()},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        script.set(kServersPath, ScriptedReply::json(200, listJSON({1, 2}, exitJSON(5, 1, "Seoul", trafficJSON("ok", false)))));
        AppModel& m = signedInModel();
        m.selectedExitId = row.exit;
        if (row.exit) m.pin = PinPref{.vpsId = 1, .reality = true};
        m.quotaFallbackEntryId = row.quotaEntry;
        if (row.panelDown) script.set(kServersPath, ScriptedReply::json(503, R"({"error":"down"})"));
        run(m.connect());
        EXPECT_EQ(m.errorMessage.get(), row.text);
        EXPECT_FALSE(m.connectInFlight);
        EXPECT_TRUE(tunnelPlatform->startOptions.empty());
    }
}

TEST_F(ConnectTest, NoServersAndABlockingUpdateStartNothing) {
    script.set(kServersPath, ScriptedReply::json(200, R"({"servers":[]})"));
    AppModel& m = signedInModel();
    run(m.connect());
    EXPECT_EQ(m.errorMessage.get(), "Your account has no servers yet. Ask an admin to assign one.");
    EXPECT_FALSE(m.connectInFlight);

    m.update = UpdateStatus{.updateAvailable = true, .blocking = true, .latest = "9.0.0", .installed = "1.0.0"};
    m.updateDismissed = true;
    m.errorMessage = std::nullopt;
    const std::size_t asked = requestsTo(kServersPath);
    run(m.connect());
    EXPECT_FALSE(m.updateDismissed);  // the blocking notice shows again
    EXPECT_EQ(requestsTo(kServersPath), asked);
    EXPECT_EQ(m.errorMessage.get(), std::nullopt);
    EXPECT_TRUE(tunnelPlatform->startOptions.empty());
}

TEST_F(ConnectTest, ToggleStopsALiveTunnelAndConnectsOtherwise) {
    script.set(kServersPath, ScriptedReply::json(200, listJSON({1})));
    AppModel& m = signedInModel();
    run(m.toggleConnection());
    EXPECT_EQ(m.tunnel.status(), NEVPNStatus::connected);
    const std::string profile = tunnelPlatform->profiles.at(0).identifier;
    run(m.toggleConnection());
    EXPECT_EQ(m.tunnel.status(), NEVPNStatus::disconnected);
    EXPECT_EQ(tunnelPlatform->startOptions.size(), 1u);

    // While it is going down, a press connects again.
    tunnelPlatform->onStop = nullptr;
    tunnelPlatform->setStatus(profile, NEVPNStatus::disconnecting);
    run(m.toggleConnection());
    EXPECT_EQ(tunnelPlatform->startOptions.size(), 2u);
}

TEST_F(ConnectTest, RestartWaitsForTheTunnelToGoDownThenConnects) {
    script.set(kServersPath, ScriptedReply::json(200, listJSON({1})));
    AppModel& m = signedInModel();
    run(m.connect());
    const std::string profile = tunnelPlatform->profiles.at(0).identifier;
    // The service takes a while to stop.
    tunnelPlatform->onStop = [&](const std::string& id) { tunnelPlatform->setStatus(id, NEVPNStatus::disconnecting); };
    boost::asio::steady_timer later(io(), 60ms);
    later.async_wait([&](auto) { tunnelPlatform->setStatus(profile, NEVPNStatus::disconnected); });
    run(m.restartTunnel());
    EXPECT_EQ(tunnelPlatform->startOptions.size(), 2u);
    EXPECT_EQ(m.tunnel.status(), NEVPNStatus::connected);
    EXPECT_FALSE(m.connectInFlight);
}

// When the service will not stop the tunnel (another profile's tunnel runs),
// the user learns it, rather than a "Disconnected" that is not true.
TEST_F(ConnectTest, AStopTheServiceRefusesIsShownAndTheTunnelStaysUp) {
    script.set(kServersPath, ScriptedReply::json(200, listJSON({1})));
    AppModel& m = signedInModel();
    run(m.connect());
    ASSERT_EQ(m.tunnel.status(), NEVPNStatus::connected);
    const PlatformError refusal{std::string(ServiceErrorDomain), ServiceErrorCode::otherProfileRuns,
                                "the tunnel runs another profile (a), not b; nothing was stopped"};
    tunnelPlatform->stopError = refusal;
    const std::vector<std::pair<const char*, std::function<Async<void>(AppModel&)>>> presses{
        {"disconnect", [](AppModel& model) { return model.disconnect(); }},
        {"toggle", [](AppModel& model) { return model.toggleConnection(); }},
    };
    for (const auto& [name, press] : presses) {
        SCOPED_TRACE(name);
        m.errorMessage = std::nullopt;
        run(press(m));
        EXPECT_EQ(m.errorMessage.get(), "The tunnel could not be stopped: " + refusal.localizedDescription);
        EXPECT_EQ(m.status(), UiStatus::connected);
    }
    tunnelPlatform->stopError.reset();
    run(m.disconnect());
    EXPECT_EQ(m.status(), UiStatus::disconnected);
}

// The sharing address and the sites belong to a session; a restart that brings
// none back leaves nothing of the one before on screen.
TEST_F(ConnectTest, ARestartThatDoesNotConnectDropsTheSessionsSharingAndSites) {
    const std::string site =
        R"({"site_id":5,"name":"Head office","endpoint_host":"127.0.0.40","endpoint_port":51820,)"
        R"("server_public_key":"QxL2rbfDuuKYSFAGnu6/Ybgk+NziczqcQJ2T/AEeKDo=","cidrs":["10.77.10.0/24"],)"
        R"("address":"10.77.0.2/32","private_key":"wJoCME9RWUUpa4AJ4zLy880NcTGmTnx70H7WCmAFz1o="})";
    std::string withSite = listJSON({1});
    withSite.insert(withSite.size() - 1, R"(,"sites":[)" + site + "]");
    struct Row {
        const char* name;
        std::function<void()> meanwhile;
        bool connects;
    };
    const std::vector<Row> rows{
        {"the service refuses the start",
         [&] { tunnelPlatform->startError = PlatformError{std::string(ServiceErrorDomain), ServiceErrorCode::profileDisabled, "no"}; },
         false},
        {"the panel lists no servers any more", [&] { script.set(kServersPath, ScriptedReply::json(200, R"({"servers":[]})")); },
         false},
        {"a restart that connects keeps them", [] {}, true},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        script.set(kServersPath, ScriptedReply::json(200, withSite));
        AppModel& m = signedInModel([](AppModelParts& parts) {
            parts.siteProbe = [](std::string, std::uint16_t) -> Async<bool> { co_return false; };
        });
        m.setLanShare(true);
        run(m.connect());
        ASSERT_EQ(m.tunnel.status(), NEVPNStatus::connected);
        ASSERT_EQ(m.sharingOn.get(), "192.168.1.20");
        ASSERT_EQ(m.siteStatuses->size(), 1u);

        row.meanwhile();
        run(m.restartTunnel());
        EXPECT_EQ(m.tunnel.status() == NEVPNStatus::connected, row.connects);
        EXPECT_EQ(m.errorMessage->has_value(), !row.connects);
        EXPECT_EQ(m.sharingOn->has_value(), row.connects);
        EXPECT_EQ(m.siteStatuses->size(), row.connects ? 1u : 0u);
        EXPECT_EQ(m.activeSites.size(), row.connects ? 1u : 0u);
        EXPECT_EQ(m.published()->sharingOn.has_value(), row.connects);

        tunnelPlatform->startError.reset();
        run(m.disconnect());
    }
}

TEST_F(ConnectTest, LeavingConnectedTearsTheSessionDownAsEachStatusSays) {
    struct Row {
        NEVPNStatus status;
        bool totalKept, sharingKept;
    };
    const std::vector<Row> rows{{NEVPNStatus::connecting, false, true},
                                {NEVPNStatus::disconnecting, true, true},
                                {NEVPNStatus::disconnected, true, false},
                                {NEVPNStatus::invalid, true, false},
                                {NEVPNStatus::reasserting, true, true}};
    for (const auto& row : rows) {
        SCOPED_TRACE(static_cast<int>(row.status));
        AppModel& m = make();
        const auto generation = m.selectionGeneration;
        m.delays = {{"proxy-0", 10}};
        m.activeOutbound = "proxy-0";
        m.tunnelReachable = true;
        m.trafficNow = TrafficSample{1, 2};
        m.trafficTotal = TrafficSample{100, 200};
        m.sharingOn = "192.168.1.20";
        m.clash = std::make_shared<ClashClient>(9, "secret");
        m.tunnelStatusChanged(row.status);
        const bool torn = row.status != NEVPNStatus::reasserting;
        EXPECT_EQ(m.selectionGeneration, generation + (torn ? 1 : 0));
        EXPECT_EQ(m.delays->empty(), torn);
        EXPECT_EQ(m.activeOutbound->has_value(), !torn);
        EXPECT_EQ(m.clash != nullptr, !torn);
        EXPECT_EQ(m.trafficTotal.get() == (TrafficSample{100, 200}), row.totalKept);
        EXPECT_EQ(m.sharingOn->has_value(), row.sharingKept);
    }
}

TEST_F(ConnectTest, AProbeAnsweredAfterTheSessionChangedChangesNothing) {
    fleet::HttpServer engineAPI;
    engineAPI.setHandler([](const RecordedRequest&) {
        auto reply = ScriptedReply::json(200, R"({"delay":12})");
        reply.delay = 200ms;
        return reply;
    });
    script.set(kServersPath, ScriptedReply::json(200, listJSON({1})));
    AppModel& m = signedInModel();
    run(m.connect());
    for (const bool wentDown : {false, true}) {
        SCOPED_TRACE(wentDown ? "tunnel went down" : "network changed");
        m.clash = std::make_shared<ClashClient>(engineAPI.port(), "secret",
                                                ClashClient::Endpoints{.probeURLs = {"https://127.0.0.1:9/"}});
        m.restartHealthChecks(true);
        ASSERT_TRUE(runUntil([&] { return engineAPI.requestCount() > 0; }));
        if (wentDown) {
            tunnelPlatform->setStatus(tunnelPlatform->profiles.at(0).identifier, NEVPNStatus::disconnected);
        } else {
            m.networkAvailable = false;  // the checks pause until the network is back
            m.restartHealthChecks(false);
        }
        runFor(400ms);
        EXPECT_EQ(m.tunnelReachable.get(), std::nullopt);
    }
}

TEST_F(ConnectTest, TheFirstProbeRunsAsSoonAsTheSessionIsLive) {
    fleet::HttpServer engineAPI;
    engineAPI.setHandler([](const RecordedRequest& r) {
        if (r.target.starts_with("/proxies/proxy/delay")) return ScriptedReply::json(200, R"({"delay":12})");
        return ScriptedReply::json(200, R"({"proxies":{}})");
    });
    tunnelPlatform->provider = [&](const std::string& message) -> std::optional<std::string> {
        if (message.find("status") == std::string::npos) return std::nullopt;
        return R"({"clashPort":)" + std::to_string(engineAPI.port()) + R"(,"clashSecret":"s"})";
    };
    script.set(kServersPath, ScriptedReply::json(200, listJSON({1})));
    AppModel& m = signedInModel([](AppModelParts& parts) {
        parts.timings.healthCheckPeriod = 1h;  // only a probe at the start of the session can answer
        parts.deployment.reachabilityProbeURLs = {"https://127.0.0.1:9/"};
    });
    run(m.connect());
    EXPECT_TRUE(runUntil([&] { return m.tunnelReachable.get() == true; }));
}

}  // namespace
