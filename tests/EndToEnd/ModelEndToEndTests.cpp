// SPDX-License-Identifier: GPL-3.0-or-later
// The application model and corvanectl with real parts only: the demo panel
// with its fleet of real engine servers and a metered exit, the tunnel service
// in user mode running the real engine, and HTTP through the local proxy.
#include "EndToEnd/EndToEndFixture.hpp"

#include <thread>

using namespace corvane;
using namespace corvane::fleet;
using namespace corvane::testing;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

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
    // A user-mode service blocks nothing outside the tunnel, and says so.
    ASSERT_TRUE(doc.contains("trafficBlocked") && doc.contains("killSwitch") && doc.contains("statusTitle")) << status.out;
    EXPECT_EQ(doc.at("trafficBlocked").as_bool(), false);
    EXPECT_EQ(doc.at("killSwitch").as_string(), "unavailable");
    EXPECT_EQ(doc.at("statusTitle").as_string(), "Connected");
    auto shown = ctl({"status"});
    ASSERT_EQ(shown.exitStatus, 0) << shown.err;
    EXPECT_NE(shown.out.find("Status:    Connected\n"), std::string::npos) << shown.out;
    EXPECT_NE(shown.out.find("Kill switch: not available in user mode: without privileges nothing outside the tunnel is "
                             "blocked, and applications may ignore the proxy\n"),
              std::string::npos)
        << shown.out;

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
        if (!object.contains("status")) continue;  // the live output's log lines and rates
        const std::string status(object.at("status").as_string());
        if (statuses.empty() || statuses.back() != status) statuses.push_back(status);
        if (object.contains("activeOutbound")) {
            EXPECT_TRUE(object.at("activeOutbound").as_string().starts_with("proxy-"));
        }
    }
    ASSERT_GE(statuses.size(), 3u);
    EXPECT_EQ(statuses.front(), "disconnected");
    EXPECT_NE(std::find(statuses.begin(), statuses.end(), "connected"), statuses.end());
    EXPECT_EQ(statuses.back(), "disconnected");
}

TEST_F(EndToEnd, CorvanectlAutomaticChosenAfterAPinHoldsAtTheNextConnect) {
    auto login = ctl({"login", "--panel", panelURL, "--email", "demo@corvane.test", "--password-stdin"}, "demo-password\n");
    ASSERT_EQ(login.exitStatus, 0) << login.err;

    auto connect = ctl({"connect", "--wait", "30"});
    ASSERT_EQ(connect.exitStatus, 0) << connect.err;
    auto pin = ctl({"pin", "Tokyo", "reality"});
    ASSERT_EQ(pin.exitStatus, 0) << pin.err;
    EXPECT_EQ(pin.out, "Pinned: Reality on Tokyo\n");
    EXPECT_EQ(engineSelector("proxy"), "proxy-3");
    ASSERT_EQ(ctl({"disconnect"}).exitStatus, 0);

    // Chosen while disconnected: the engine's cache still holds the pin and would restore it.
    auto automatic = ctl({"pin", "auto"});
    ASSERT_EQ(automatic.exitStatus, 0) << automatic.err;
    EXPECT_EQ(automatic.out, "Pinned: Auto · pick fastest (from the next connect).\n");
    connect = ctl({"connect", "--wait", "30"});
    ASSERT_EQ(connect.exitStatus, 0) << connect.err;
    EXPECT_EQ(engineSelector("proxy"), "proxy-auto") << "the engine fails over between servers again";
    EXPECT_EQ(ctl({"disconnect"}).exitStatus, 0);
}

// Two corvanectl connect at once: one profile and one tunnel, which status
// shows and one disconnect really stops.
TEST_F(EndToEnd, TwoConnectsAtOnceMakeOneTunnelThatOneDisconnectStops) {
    auto login = ctl({"login", "--panel", panelURL, "--email", "demo@corvane.test", "--password-stdin"}, "demo-password\n");
    ASSERT_EQ(login.exitStatus, 0) << login.err;
    ProcessResult connects[2];
    std::thread first([&] { connects[0] = ctl({"connect", "--wait", "30"}); });
    std::thread second([&] { connects[1] = ctl({"connect", "--wait", "30"}); });
    first.join();
    second.join();
    for (const auto& connect : connects) EXPECT_EQ(connect.exitStatus, 0) << connect.err;
    AppSide app(socket);
    EXPECT_EQ(app.run(app.platform->loadAllProfiles()).size(), 1u);
    EXPECT_EQ(boost::json::parse(ctl({"status", "--json"}).out).at("status").as_string(), "connected");
    EXPECT_NE(viaProxy().find("through server "), std::string::npos);

    auto disconnect = ctl({"disconnect"});
    EXPECT_EQ(disconnect.exitStatus, 0) << disconnect.err;
    EXPECT_EQ(disconnect.out, "Disconnected.\n");
    EXPECT_EQ(boost::json::parse(ctl({"status", "--json"}).out).at("status").as_string(), "disconnected");
    EXPECT_EQ(viaProxy().find("through server "), std::string::npos) << "the tunnel still carries traffic";
}

}  // namespace
