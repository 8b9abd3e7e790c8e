// SPDX-License-Identifier: GPL-3.0-or-later
// The live state's rules against a scripted control API and a fake tunnel:
// traffic samples, the proxy table, totals, the log's bounds, sites and sharing.
#include <gtest/gtest.h>

#include <boost/json/parse.hpp>
#include <boost/json/serialize.hpp>

#include "Model/ModelFixture.hpp"
#include "tools/fleet/HttpServer.hpp"

using namespace corvane;
using namespace corvane::testing;
using namespace corvane::fleet;

namespace {

const TunnelProfile kProfile{.identifier = "p", .providerBundleIdentifier = std::string(TunnelIPC::providerBundleIdentifier)};

// The engine's control API as a test scripts it: a proxy table and totals.
struct ScriptedEngine {
    HttpServer server;
    std::mutex mutex;
    std::string proxies = R"({"proxies":{}})";
    std::string connections = R"({"connections":[],"downloadTotal":0,"uploadTotal":0})";
    std::chrono::milliseconds delay{0};

    ScriptedEngine() {
        server.setHandler([this](const RecordedRequest& r) {
            std::lock_guard lock(mutex);
            ScriptedReply reply = ScriptedReply::json(404, R"({"message":"Resource not found"})");
            if (r.method == "GET" && r.target == "/proxies") reply = ScriptedReply::json(200, proxies);
            if (r.method == "GET" && r.target == "/connections") reply = ScriptedReply::json(200, connections);
            if (r.method == "PUT" || r.method == "DELETE") reply = ScriptedReply{.status = 204};
            reply.delay = delay;
            return reply;
        });
    }
    std::shared_ptr<ClashClient> client(const std::string& secret = "s") {
        return std::make_shared<ClashClient>(server.port(), secret);
    }
};

}  // namespace

TEST_F(ModelTest, SamplesAddUpAndTheHistoryKeepsOnePointPerSpacing) {
    struct Case {
        const char* name;
        std::vector<int> atMs;  // when each sample of {up 1, down 10} arrives
        std::size_t history;
    };
    const std::vector<Case> cases = {
        {"two samples 0.1 s apart: only the first is charted", {0, 100}, 1},
        {"0.3 s apart is far enough", {0, 300, 600}, 3},
        {"a close sample still moves the spacing on", {0, 200, 400}, 1},
        {"70 spaced samples leave the last 60", [] {
             std::vector<int> at;
             for (int i = 0; i < 70; ++i) at.push_back(i * 1000);
             return at;
         }(), 60},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        AppModel& m = make();
        const auto start = std::chrono::steady_clock::now();
        for (std::size_t i = 0; i < c.atMs.size(); ++i) {
            fixedSteadyNow = start + std::chrono::milliseconds(c.atMs[i]);
            fixedNow = std::chrono::system_clock::now() - std::chrono::hours(24 * i);  // set back again and again: no matter
            m.record({.up = static_cast<std::int64_t>(i + 1), .down = 10});
        }
        const auto n = static_cast<std::int64_t>(c.atMs.size());
        EXPECT_EQ(m.trafficTotal.get(), (TrafficSample{n * (n + 1) / 2, 10 * n})) << "every sample counts in the totals";
        EXPECT_EQ(m.trafficNow.get(), (TrafficSample{n, 10}));
        ASSERT_EQ(m.trafficHistory->size(), c.history);
        EXPECT_EQ(m.trafficHistory->back().up, c.history == 1 ? 1 : n) << "the newest kept sample is last";
    }
}

TEST_F(ModelTest, TheProxyTableGivesDelaysAndTheOutboundInUse) {
    struct Case {
        const char* name;
        std::string proxies;
        std::map<std::string, std::int64_t> delays;
        std::optional<std::string> active;
    };
    const std::vector<Case> cases = {
        {"the selector on automatic names the automatic group's choice",
         R"({"proxy":{"now":"proxy-auto","history":[]},"proxy-auto":{"now":"proxy-1","history":[{"delay":40}]},
             "proxy-0":{"history":[{"delay":90},{"delay":35}]},"proxy-1":{"history":[{"delay":40}]}})",
         {{"proxy-auto", 40}, {"proxy-0", 35}, {"proxy-1", 40}}, "proxy-1"},
        {"a pinned server wins whatever the automatic group uses",
         R"({"proxy":{"now":"proxy-3"},"proxy-auto":{"now":"proxy-1"},"proxy-3":{"history":[{"delay":12}]}})",
         {{"proxy-3", 12}}, "proxy-3"},
        {"automatic without an automatic group is unknown",
         R"({"proxy":{"now":"proxy-auto"},"proxy-0":{"history":[{"delay":0}]},"proxy-1":{}})", {}, std::nullopt},
        {"the automatic group before its first check", R"({"proxy":{"now":"proxy-auto"},"proxy-auto":{"now":""}})", {},
         ""},
        {"no selector", R"({"proxy-0":{"history":[{"delay":7}]}})", {{"proxy-0", 7}}, std::nullopt},
    };
    ScriptedEngine engine;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        AppModel& m = make();
        m.delays = {{"gone", 1}};
        m.activeOutbound = "stale";
        engine.proxies = R"({"proxies":)" + c.proxies + "}";
        m.clash = engine.client();
        run(m.pollProxies());
        EXPECT_EQ(m.delays.get(), c.delays);
        EXPECT_EQ(m.activeOutbound.get(), c.active);
    }
}

TEST_F(ModelTest, EachDelayKeepsWhenTheEngineMeasuredIt) {
    using namespace std::chrono;
    ScriptedEngine engine;
    AppModel& m = make();
    fixedNow = sys_days(year{2026} / 12 / 10) + hours(16);
    engine.proxies = R"({"proxies":{
        "proxy-0":{"history":[{"time":"2026-12-10T15:57:33.25+01:00","delay":90}]},
        "proxy-1":{"history":[{"time":"2026-12-10T14:00:00Z","delay":40}]},
        "proxy-2":{"history":[{"delay":12}]},
        "proxy-3":{"history":[{"time":"yesterday","delay":15}]},
        "proxy-4":{"history":[{"time":"2026-02-30T10:00:00Z","delay":16}]},
        "proxy-5":{"history":[{"time":"2026-12-10T10:00:00-07:30","delay":17}]}}})";
    m.clash = engine.client();
    run(m.pollProxies());
    const std::map<std::string, AppModel::Time> expected = {
        {"proxy-0", sys_days(year{2026} / 12 / 10) + 14h + 57min + 33s + 250ms},
        {"proxy-1", sys_days(year{2026} / 12 / 10) + 14h},
        {"proxy-2", *fixedNow},  // no time given: just measured
        {"proxy-3", *fixedNow},  // unreadable times count as just measured too
        {"proxy-4", *fixedNow},
        {"proxy-5", sys_days(year{2026} / 12 / 10) + 17h + 30min},
    };
    EXPECT_EQ(m.delayMeasuredAt.get(), expected);
    EXPECT_EQ(m.delays->size(), expected.size());
}

TEST_F(ModelTest, TotalsFollowTheEngineButNeverGoDown) {
    ScriptedEngine engine;
    AppModel& m = make();
    m.clash = engine.client();
    m.record({.up = 500, .down = 7000});
    engine.connections = R"({"connections":[],"downloadTotal":6000,"uploadTotal":900})";
    run(m.resyncTotals());
    EXPECT_EQ(m.trafficTotal.get(), (TrafficSample{900, 7000}));
    engine.connections = R"({"connections":[],"downloadTotal":1,"uploadTotal":1})";  // an engine that restarted
    run(m.pollProxies());
    EXPECT_EQ(m.trafficTotal.get(), (TrafficSample{900, 7000}));
}

TEST_F(ModelTest, AnAnswerOfAReplacedEngineDoesNotLand) {
    ScriptedEngine old, current;
    old.proxies = R"({"proxies":{"proxy":{"now":"proxy-0"},"proxy-0":{"history":[{"delay":5}]}}})";
    old.connections = R"({"connections":[],"downloadTotal":99999,"uploadTotal":99999})";
    old.delay = 300ms;
    AppModel& m = make();
    m.clash = old.client();
    bool done = false;
    auto poll = [&]() -> Async<void> {
        co_await m.pollProxies();
        done = true;
    };
    spawnTask(io().get_executor(), poll());
    runFor(100ms);
    m.clash = current.client("other");  // the service restarted its engine meanwhile
    ASSERT_TRUE(runUntil([&] { return done; }));
    EXPECT_TRUE(m.delays->empty());
    EXPECT_EQ(m.activeOutbound.get(), std::nullopt);
    EXPECT_EQ(m.trafficTotal.get(), TrafficSample{});
}

TEST_F(ModelTest, TheLogKeepsTheLast1000LinesAndAsksOnlyForNewOnes) {
    tunnelPlatform->profiles.push_back(kProfile);
    tunnelPlatform->statuses["p"] = NEVPNStatus::connecting;
    std::vector<std::int64_t> askedAfter;
    tunnelPlatform->provider = [&](const std::string& message) -> std::optional<std::string> {
        auto request = boost::json::parse(message).as_object();
        if (!request.contains("logs")) return std::nullopt;
        const std::int64_t after = request.at("logs").as_object().at("after").as_int64();
        askedAfter.push_back(after);
        std::string lines;
        const std::int64_t count = after == 0 ? 1500 : 2;
        for (std::int64_t seq = after + 1; seq <= after + count; ++seq) {
            lines += std::string(lines.empty() ? "" : ",") + R"({"seq":)" + std::to_string(seq) +
                     R"(,"line":{"ts":"10:00:00","level":"INFO","target":"router","message":"line )" +
                     std::to_string(seq) + "\"}}";
        }
        return R"({"lines":[)" + lines + "]}";
    };
    AppModel& m = make();
    run(m.tunnel.load());
    run(m.pollLogs());
    ASSERT_EQ(m.logLines->size(), 1000u);
    EXPECT_EQ(m.logLines->front().seq, 501);
    EXPECT_EQ(m.logLines->back().seq, 1500);
    EXPECT_EQ(m.lastLogSeq, 1500);
    run(m.pollLogs());
    EXPECT_EQ(askedAfter, (std::vector<std::int64_t>{0, 1500}));
    ASSERT_EQ(m.logLines->size(), 1000u);
    EXPECT_EQ(m.logLines->back().line.message, "line 1502");
    EXPECT_EQ(m.logLines->front().seq, 503);
}

TEST_F(ModelTest, SharingChangesWhileDisconnectedAreOnlyStored) {
    tunnelPlatform->profiles.push_back(kProfile);
    AppModel& m = make();
    run(m.tunnel.load());
    const std::string password = m.lanSharePassword;
    m.setLanShare(false);  // its current value: nothing at all
    m.setLanShare(true);
    m.regenerateLanSharePassword();
    runFor(50ms);
    EXPECT_TRUE(m.lanShare.get());
    EXPECT_NE(m.lanSharePassword.get(), password);
    EXPECT_EQ(settings->values().at("lan_share").as_bool(), true);
    EXPECT_EQ(settings->values().at("lan_share_password").as_string(), m.lanSharePassword.get());
    for (const auto& call : tunnelPlatform->calls) {
        EXPECT_FALSE(call.starts_with("stop") || call.starts_with("start")) << call;
    }
}

TEST_F(ModelTest, SwitchingASiteIsStoredAndShownAtOnce) {
    AppModel& m = make();
    SiteAccess office{.siteId = 4, .name = "Office"}, lab{.siteId = 9, .name = "Lab"};
    m.activeSites = {{.site = office}, {.site = lab}};
    m.setSiteEnabled(9, false);
    m.setSiteEnabled(12, false);  // not in the running configuration: stored for the next connect
    m.setSiteEnabled(4, true);
    EXPECT_EQ(m.disabledSiteIds.get(), (std::set<std::int64_t>{9, 12}));
    EXPECT_EQ(boost::json::serialize(settings->values().at("disabled_site_ids")), "[9,12]");
    ASSERT_EQ(m.siteStatuses->size(), 2u);
    EXPECT_EQ(m.siteStatuses->at(0).mode, SiteStatus::Mode::tunnel);
    EXPECT_EQ(m.siteStatuses->at(1).mode, SiteStatus::Mode::off);
    EXPECT_TRUE(m.activeSites[1].disabled);
}

// Another process (corvanectl) switched site 4 off after this model read the settings and
// before it noticed: switching site 9 keeps that change in the file and follows it here.
TEST_F(ModelTest, ASiteSwitchKeepsWhatAnotherProcessSwitchedMeanwhile) {
    AppModel& m = make();
    SiteAccess office{.siteId = 4, .name = "Office"}, lab{.siteId = 9, .name = "Lab"};
    m.activeSites = {{.site = office}, {.site = lab}};
    FileSettingsStore(dir.path() / "settings.json").update([](boost::json::object& values) {
        values["disabled_site_ids"] = boost::json::array{4};
    });
    m.setSiteEnabled(9, false);
    EXPECT_EQ(boost::json::serialize(settings->values().at("disabled_site_ids")), "[4,9]");
    EXPECT_EQ(m.disabledSiteIds.get(), (std::set<std::int64_t>{4, 9}));
    EXPECT_TRUE(m.activeSites[0].disabled);
    EXPECT_TRUE(m.activeSites[1].disabled);
    m.setSiteEnabled(4, true);
    EXPECT_EQ(boost::json::serialize(settings->values().at("disabled_site_ids")), "[9]");
    EXPECT_EQ(m.disabledSiteIds.get(), (std::set<std::int64_t>{9}));
}
