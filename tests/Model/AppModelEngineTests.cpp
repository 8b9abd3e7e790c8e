// SPDX-License-Identifier: GPL-3.0-or-later
// The live state, the log, sharing and diagnostics with the real engine run by
// corvane-tunnel --user, the test fleet and the HTTPS test panel.
#include <gtest/gtest.h>

#include <set>
#include <thread>

#include <boost/json/parse.hpp>

#include "Model/EngineSession.hpp"
#include "Model/ModelFixture.hpp"
#include "TestSupport/ProxyTunnel.hpp"

using namespace corvane;
using namespace corvane::testing;
using namespace corvane::fleet;

namespace {

#define REQUIRE_ENGINE()                                                                                   \
    if (!engineInstalled()) GTEST_SKIP() << "sing-box is not installed at " << enginePath()                \
                                         << " (scripts/install-engine.sh installs it)"

// What the engine's selector uses now, read from its control API.
std::optional<std::string> selectorNow(EngineSession& s, AppModel& m) {
    if (!m.clash) return std::nullopt;
    const auto table = s.run(m.clash->proxies());
    auto it = table.proxies.find("proxy");
    return it == table.proxies.end() ? std::nullopt : it->second.now;
}

}  // namespace

TEST(ModelWithEngine, EachStartSetsTheChoiceOverWhatTheEnginesCacheKept) {
    REQUIRE_ENGINE();
    EngineSession s;
    AppModel& m = s.connected();
    m.pinTag("proxy-1");  // Reality on Alpha
    ASSERT_TRUE(s.runUntil([&] { return !m.switchingTo->has_value(); }));
    ASSERT_EQ(m.errorMessage.get(), std::nullopt);
    ASSERT_EQ(selectorNow(s, m), "proxy-1");

    // Each choice is made while disconnected; the engine's cache file still holds the one before.
    for (const std::string tag : {"proxy-auto", "proxy-0"}) {
        SCOPED_TRACE(tag);
        s.run(m.disconnect());
        ASSERT_TRUE(s.runUntil([&] { return m.tunnel.status() == NEVPNStatus::disconnected; }));
        m.pinTag(tag);
        EXPECT_EQ(m.pinChoice(), tag);
        s.run(m.connect());
        ASSERT_TRUE(s.runUntil([&] { return m.tunnel.status() == NEVPNStatus::connected && m.activeOutbound->has_value(); },
                               30s))
            << s.service.process.log();
        EXPECT_EQ(selectorNow(s, m), tag);
        EXPECT_EQ(m.errorMessage.get(), std::nullopt);
    }
}

TEST(ModelWithEngine, AnUnreachableTunnelHasTheServiceCloseEveryConnectionBeforeTheGroupIsTested) {
    REQUIRE_ENGINE();
    // A probe target that refuses through every server: the checks fail until the policy recovers.
    EngineSession s({.reachabilityProbeURLs = {"https://127.0.0.1:" + std::to_string(freeTcpPort()) + "/generate_204"}});
    AppModel& m = s.connected();
    ProxyTunnel open(s.proxyPort, "", "", "127.0.0.1", s.fleet.httpTarget().port());
    ASSERT_FALSE(open.get("/").empty()) << "a connection through the engine";
    const auto recovered = [&] {
        return std::any_of(m.logLines->begin(), m.logLines->end(), [](const TunnelIPC::SequencedLine& l) {
            return l.line.message.find("closed every connection to recover the network") != std::string::npos;
        });
    };
    ASSERT_TRUE(s.runUntil(recovered, 40s)) << "the service never heard of a recovery\n" << s.service.process.log();
    EXPECT_EQ(m.tunnelReachable.get(), false);
    EXPECT_TRUE(open.waitForClose(5s)) << "the open connection was left on the old path";
    EXPECT_EQ(m.tunnel.status(), NEVPNStatus::connected) << "a recovery is no reconnect";
}

TEST(ModelWithEngine, RatesTotalsAndDelaysFollowARealSession) {
    REQUIRE_ENGINE();
    EngineSession s;
    constexpr std::size_t size = 24 * 1000 * 1000;
    s.fleet.httpTarget().setHandler([](const RecordedRequest&) {
        return ScriptedReply{.status = 200, .body = std::string(size, 'x')};
    });
    AppModel& m = s.connected();
    ASSERT_TRUE(s.runUntil([&] { return m.delays->contains("proxy-0") && m.delays->contains("proxy-1"); }, 30s))
        << "delays for both protocols (Hysteria2 proxy-0, Reality proxy-1)";
    // The engine says when it measured each delay, in its own words: read as a moment ago.
    const auto table = s.run(m.clash->proxies());
    for (const char* tag : {"proxy-0", "proxy-1"}) {
        const auto& history = table.proxies.at(tag).history;
        ASSERT_TRUE(history && !history->empty()) << tag;
        const auto at = history->back().measuredAt();
        ASSERT_TRUE(at.has_value()) << tag << " measured at " << history->back().time.value_or("(no time)");
        EXPECT_LT(std::chrono::abs(std::chrono::system_clock::now() - *at), 60s) << *history->back().time;
    }
    EXPECT_TRUE(m.activeOutbound->has_value());
    const TrafficSample before = m.trafficTotal;

    std::atomic<bool> downloaded{false};
    std::thread client([&] {
        ProxyTunnel tunnel(s.proxyPort, "", "", "127.0.0.1", s.fleet.httpTarget().port());
        for (int i = 0; i < 3; ++i) {
            EXPECT_EQ(tunnel.get("/").size(), size);
            std::this_thread::sleep_for(700ms);  // spread over several one-second samples
        }
        downloaded = true;
    });
    std::int64_t highestRate = 0;
    s.runUntil(
        [&] {
            highestRate = std::max(highestRate, m.trafficNow->down);
            return downloaded && m.trafficTotal->down >= before.down + 3 * std::int64_t(size);
        },
        60s);
    client.join();
    // Samples lag the engine's counters: bytes a resync took must not be added again.
    auto engineTotals = s.run(m.clash->totals());
    ASSERT_TRUE(engineTotals);
    EXPECT_GE(m.trafficTotal->down, before.down + 3 * std::int64_t(size));
    EXPECT_GT(highestRate, 1'000'000) << "the rate showed the download";
    EXPECT_FALSE(m.trafficHistory->empty());
    EXPECT_LE(m.trafficHistory->size(), 60u);
    EXPECT_LE(m.trafficTotal->down, std::max(engineTotals->down, before.down + 3 * std::int64_t(size) + 100'000))
        << "the total counts each byte once";
}

TEST(ModelWithEngine, LogLinesArriveOnceEachAndInOrder) {
    REQUIRE_ENGINE();
    EngineSession s;
    AppModel& m = s.connected();
    std::set<std::size_t> sizesSeen;
    for (int i = 0; i < 6; ++i) {
        ProxyTunnel tunnel(s.proxyPort, "", "", "127.0.0.1", s.fleet.httpTarget().port());
        tunnel.get("/");
        s.runFor(400ms);  // more than one poll each
        sizesSeen.insert(m.logLines->size());
    }
    ASSERT_GT(m.logLines->size(), 6u);
    EXPECT_GT(sizesSeen.size(), 2u) << "the lines came over several polls";
    for (std::size_t i = 1; i < m.logLines->size(); ++i) {
        ASSERT_EQ((*m.logLines)[i].seq, (*m.logLines)[i - 1].seq + 1) << "no line twice, none left out";
    }
    EXPECT_EQ(m.lastLogSeq, m.logLines->back().seq);
}

TEST(ModelWithEngine, AnEngineThatDiesSendsOneReportWithoutSecrets) {
    REQUIRE_ENGINE();
    SiteAccess site{.siteId = 3, .name = "Office", .endpointHost = "127.0.0.1", .endpointPort = freeTcpPort(),
                    .serverPublicKey = "dGhpcyBpcyBub3QgYSByZWFsIHB1YmxpYyBrZXkhIT0=",
                    .cidrs = {"10.66.0.0/24"}, .address = "10.66.1.2/32",
                    .privateKey = "c2l0ZSBwcml2YXRlIGtleSBmb3IgdGhlIHRlc3QhISE="};
    EngineSession s({.sites = {site}});
    AppModel& m = s.connected();
    ASSERT_TRUE(m.clash);
    const std::string controlSecret = m.clash->secret();
    ASSERT_TRUE(m.lastConfigJSON.has_value());
    ASSERT_NE(m.lastConfigJSON->find(s.fleet.uuid()), std::string::npos) << "the configuration holds the secrets";

    const pid_t engine = s.service.enginePid();
    ASSERT_GT(engine, 0);
    ::kill(engine, SIGKILL);
    ASSERT_TRUE(s.runUntil([&] { return !s.reports().empty(); }, 20s)) << s.service.process.log();
    s.runFor(1500ms);
    auto reports = s.reports();
    ASSERT_EQ(reports.size(), 1u);
    const auto report = boost::json::parse(reports[0].body).as_object();
    EXPECT_EQ(report.at("trigger_reason").as_string(), "singbox_exit");
    EXPECT_EQ(m.status(), UiStatus::failed);
    EXPECT_EQ(m.diagnosticsNote.get(), std::nullopt) << "an automatic report says nothing";
    for (const std::string& secret : {s.fleet.uuid(), s.fleet.hysteria2Password(), site.privateKey,
                                      m.lanSharePassword.get(), controlSecret, kToken}) {
        EXPECT_EQ(reports[0].body.find(secret), std::string::npos) << "the report holds " << secret;
    }

    // The service does not start a killed engine again behind the app's back: the session
    // ended. Connecting again runs a new engine with a control endpoint of its own, and the
    // live values start afresh from it.
    EXPECT_EQ(m.clash, nullptr);
    EXPECT_TRUE(m.trafficHistory->empty());
    EXPECT_TRUE(m.delays->empty());
    s.run(m.connect());
    ASSERT_TRUE(s.runUntil([&] { return m.tunnel.status() == NEVPNStatus::connected && m.clash; }, 30s))
        << s.service.process.log();
    EXPECT_NE(m.clash->secret(), controlSecret);
    EXPECT_TRUE(s.runUntil([&] { return m.activeOutbound->has_value() && !m.delays->empty(); }, 10s));
    EXPECT_EQ(s.reports().size(), 1u) << "connecting again reports nothing";
}

TEST(ModelWithEngine, AManualReportWaitsForThePanelAndGoesAtTheNextStart) {
    REQUIRE_ENGINE();
    EngineSession s;
    s.panelDown = true;
    AppModel& m = s.makeModel();
    s.run(m.start());
    spawnTask(s.loop->get_executor(), m.sendDiagnostics("manual", std::nullopt));
    ASSERT_TRUE(s.runUntil([&] { return m.diagnosticsNote->has_value(); }, 20s));
    EXPECT_EQ(*m.diagnosticsNote.get(), "Saved \u2014 it will be sent when the panel is reachable");
    EXPECT_TRUE(s.runUntil([&] { return !m.diagnosticsNote->has_value(); }, 5s)) << "the note goes after a while";
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(s.dir.path() / "queue"), {}), 1);

    s.panelDown = false;
    AppModel& next = s.makeModel();  // the next start of the app
    s.run(next.start());
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(s.dir.path() / "queue"), {}), 0);
    auto reports = s.reports();
    ASSERT_FALSE(reports.empty());
    EXPECT_EQ(boost::json::parse(reports.back().body).at("trigger_reason").as_string(), "manual");
}
