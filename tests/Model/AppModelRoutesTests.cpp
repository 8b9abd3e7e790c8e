// SPDX-License-Identifier: GPL-3.0-or-later
// Route names, pins, route changes, metered exits and the quota fallback.
#include "Model/ModelFixture.hpp"
#include "Model/RouteFixture.hpp"

#include <boost/json/parse.hpp>

using namespace corvane;
using namespace corvane::testing;

namespace {

class RoutesTest : public RouteTest {
protected:
    // Servers A (1) and B (2) and exit 5 "Seoul" behind A, as a refresh leaves them.
    AppModel& withFleet() {
        script.set(kServersPath, ScriptedReply::json(200, listJSON({1, 2}, exitJSON(5, 1, "Seoul", trafficJSON("ok", false)))));
        return signedInModel();
    }
};

TEST_F(RoutesTest, NamesOfTagsAndChoices) {
    AppModel& m = withFleet();
    struct Row {
        const char* name;
        std::optional<PinPref> pin;
        std::optional<std::int64_t> exit;
        std::string pinChoice, entryName, exitName;
        std::optional<std::int64_t> selectedExit;
    };
    const std::vector<Row> rows{
        {"automatic", {}, {}, "proxy-auto", "Auto · fastest", "Original VPS exit", {}},
        {"Tokyo over Reality", PinPref{2, true}, {}, "proxy-3", "Tokyo", "Original VPS exit", {}},
        {"Amsterdam over Hysteria2", PinPref{1, false}, {}, "proxy-0", "Amsterdam", "Original VPS exit", {}},
        {"a pin for a server that is gone", PinPref{9, true}, {}, "proxy-auto", "Auto · fastest", "Original VPS exit", {}},
        {"metered exit", PinPref{1, true}, 5, "proxy-0", "Amsterdam", "Seoul", 5},
        {"metered exit that is gone", PinPref{9, true}, 6, "proxy-0", "Entry unavailable", "Exit unavailable", {}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        m.pin = row.pin;
        m.selectedExitId = row.exit;
        EXPECT_EQ(m.pinChoice(), row.pinChoice);
        EXPECT_EQ(m.entryName(), row.entryName);
        EXPECT_EQ(m.exitName(), row.exitName);
        EXPECT_EQ(m.selectedExit() ? std::optional(m.selectedExit()->exitId) : std::nullopt, row.selectedExit);
    }

    m.pin = std::nullopt;
    m.selectedExitId = std::nullopt;
    const std::vector<std::pair<std::string, std::string>> tags{
        {"proxy-auto", "Auto · pick fastest"}, {"proxy-0", "Hysteria2 on Amsterdam"}, {"proxy-3", "Reality on Tokyo"},
        {"proxy-4", "Hysteria2 on VPS-3"},     {"proxy-7", "Reality on VPS-4"},       {"direct", "direct"},
        {"proxy-", "proxy-"},                  {"proxy-1x", "proxy-1x"},               {"proxy--1", "proxy--1"},
    };
    for (const auto& [tag, name] : tags) EXPECT_EQ(m.prettyTag(tag), name) << tag;
    // Through a metered exit every tag is the exit's Reality share on the entry.
    m.pin = PinPref{2, true};
    m.selectedExitId = 5;
    EXPECT_EQ(m.prettyTag("proxy-0"), "Reality on Tokyo");
    EXPECT_EQ(m.published()->entryName, "Tokyo");
    EXPECT_EQ(m.published()->pinChoice, "proxy-0");
}

TEST_F(RoutesTest, PickingATagStoresThePinItStandsFor) {
    AppModel& m = withFleet();
    struct Row {
        std::string tag;
        std::optional<PinPref> pin;
    };
    const std::vector<Row> rows{{"proxy-3", PinPref{2, true}},
                                {"proxy-0", PinPref{1, false}},
                                {"proxy-9", PinPref{1, false}},  // not a tag of this fleet: ignored
                                {"direct", PinPref{1, false}},
                                {"proxy-auto", std::nullopt}};
    for (const auto& row : rows) {
        m.pinTag(row.tag);
        EXPECT_EQ(m.pin.get(), row.pin) << row.tag;
    }
    EXPECT_TRUE(tunnelPlatform->startOptions.empty());  // disconnected: nothing to switch
    auto stored = boost::json::parse(readFile(dir.path() / "settings.json")).as_object();
    EXPECT_FALSE(stored.contains("pin_pref"));
}

TEST_F(RoutesTest, APickWhileConnectedSwitchesTheSelectorAndAnOldSwitchLeavesANewOneAlone) {
    // The selector of the engine's control API: a PUT it answers as scripted and, when `takes`,
    // uses from then on; the table reads back what it uses.
    std::mutex mutex;
    std::string now = "proxy-auto";
    ScriptedReply put{.status = 204, .delay = 200ms};
    bool takes = true;
    fleet::HttpServer engineAPI;
    engineAPI.setHandler([&](const RecordedRequest& r) {
        std::lock_guard lock(mutex);
        if (r.method == "PUT") {
            if (takes && put.status == 204) now = boost::json::parse(r.body).at("name").as_string();
            return put;
        }
        return ScriptedReply::json(200, R"({"proxies":{"proxy":{"now":")" + now + R"("}}})");
    });
    auto puts = [&] {
        std::size_t n = 0;
        for (const auto& r : engineAPI.requests()) n += r.method == "PUT" && r.target == "/proxies/proxy";
        return n;
    };
    AppModel& m = withFleet();
    run(m.connect());
    auto liveClient = [&] { m.clash = std::make_shared<ClashClient>(engineAPI.port(), "s"); };
    liveClient();
    m.pinTag("proxy-1");
    EXPECT_EQ(m.switchingTo.get(), "proxy-1");
    EXPECT_EQ(m.pin.get(), (PinPref{1, true}));
    // Down and up again while the first switch is on its way; the user picks again.
    ASSERT_TRUE(runUntil([&] { return puts() == 1; }));
    tunnelPlatform->setStatus(profile(), NEVPNStatus::disconnected);
    tunnelPlatform->setStatus(profile(), NEVPNStatus::connected);
    liveClient();
    m.pinTag("proxy-2");
    ASSERT_TRUE(runUntil([&] { return puts() >= 2; }));
    runFor(120ms);  // the first switch has answered by now; the second not yet
    EXPECT_EQ(m.switchingTo.get(), "proxy-2");
    EXPECT_TRUE(runUntil([&] { return !m.switchingTo->has_value(); }));
    EXPECT_EQ(m.errorMessage.get(), std::nullopt);
    EXPECT_EQ(m.activeOutbound.get(), "proxy-2") << "read back from the engine";
    std::vector<std::string> choices;
    for (const auto& r : engineAPI.requests()) {
        if (r.method == "PUT" && r.target == "/proxies/proxy") choices.push_back(r.body);
    }
    std::sort(choices.begin(), choices.end());
    EXPECT_EQ(choices, (std::vector<std::string>{R"({"name":"proxy-1"})", R"({"name":"proxy-2"})"}));
    EXPECT_EQ(starts(), 1u);  // no reconnect

    // A switch the engine refuses, or acknowledges while it keeps using another server,
    // says so; the pick is kept for the next connect.
    struct Failure {
        const char* name;
        ScriptedReply put;
        bool takes;
        std::string tag;
        PinPref pin;
        std::string error;
    };
    const std::vector<Failure> failures{
        {"refused", ScriptedReply::json(400, R"({"message":"Selector update error: not found"})"), true, "proxy-3",
         PinPref{2, true}, "Could not switch server: The engine's control API answered with HTTP status 400."},
        {"acknowledged, not taken", ScriptedReply{.status = 204}, false, "proxy-0", PinPref{1, false},
         "Could not switch server: the engine uses Reality on Tokyo instead."},
    };
    for (const auto& f : failures) {
        SCOPED_TRACE(f.name);
        {
            std::lock_guard lock(mutex);
            now = "proxy-3";
            put = f.put;
            takes = f.takes;
        }
        m.errorMessage = std::nullopt;
        m.pinTag(f.tag);
        ASSERT_TRUE(runUntil([&] { return !m.switchingTo->has_value(); }));
        EXPECT_EQ(m.errorMessage.get(), f.error);
        EXPECT_EQ(m.pin.get(), f.pin);
    }
}

TEST_F(RoutesTest, APickWhileAMeteredExitIsInUseReconnectsThroughTheNewRoute) {
    AppModel& m = withFleet();
    m.pin = PinPref{1, true};
    m.selectedExitId = 5;
    run(m.connect());
    ASSERT_EQ(starts(), 1u);
    // The fleet shown is the exit's entry node alone: its Hysteria2 share leaves the exit.
    m.pinTag("proxy-0");
    ASSERT_TRUE(runUntil([&] { return starts() == 2 && !m.connectInFlight; }));
    EXPECT_EQ(m.selectedExitId.get(), std::nullopt);
    EXPECT_EQ(m.pin.get(), (PinPref{1, false}));
    EXPECT_EQ(proxyTypes(JSONValue::parse(tunnelPlatform->startOptions[1].at("config"))).size(), 4u);
    EXPECT_EQ(requestsTo("/api/client/exit-selection"), 1u);  // only the first connect's
}

// "Automatic protocol", "Reality" and "Hysteria2" change the pinned entry's protocol and nothing
// else: the entry stays pinned, and a metered exit in use stays without a reconnect.
TEST_F(RoutesTest, AProtocolChoiceChangesOnlyTheProtocol) {
    AppModel& m = withFleet();
    struct Row {
        const char* name;
        std::optional<PinPref> pin;
        std::map<std::string, std::int64_t> delays;
        std::optional<bool> choice;  // none: automatic
        std::optional<PinPref> after;
    };
    const std::vector<Row> rows{
        {"automatic on Tokyo, Hysteria2 faster", PinPref{2, true}, {{"proxy-2", 30}, {"proxy-3", 90}}, {},
         PinPref{2, false, true}},
        {"automatic on Tokyo, only Reality measured", PinPref{2, false}, {{"proxy-3", 50}}, {}, PinPref{2, true, true}},
        {"automatic, nothing measured", PinPref{1, true}, {}, {}, PinPref{1, true, true}},
        {"Reality after automatic", PinPref{2, false, true}, {}, true, PinPref{2, true}},
        {"Hysteria2", PinPref{1, true}, {}, false, PinPref{1, false}},
        {"no entry pinned", std::nullopt, {}, true, std::nullopt},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        m.pin = row.pin;
        m.delays = row.delays;
        m.chooseProtocol(row.choice);
        EXPECT_EQ(m.pin.get(), row.after);
        EXPECT_EQ(m.published()->pin, row.after);
    }
    // Kept as chosen: a restart reads the automatic protocol back.
    m.pin = PinPref{1, false};
    m.chooseProtocol(std::nullopt);
    auto stored = boost::json::parse(readFile(dir.path() / "settings.json")).as_object();
    EXPECT_EQ(decodeJSON<PinPref>(std::string_view(stored.at("pin_pref").as_string())), (PinPref{1, false, true}));

    // Connected through the metered exit behind Amsterdam: the exit and the session stay.
    m.pin = PinPref{1, true};
    m.selectedExitId = 5;
    run(m.connect());
    ASSERT_EQ(starts(), 1u);
    for (const auto choice : {std::optional<bool>(false), std::optional<bool>()}) {
        m.chooseProtocol(choice);
        runFor(100ms);
        EXPECT_EQ(m.selectedExitId.get(), 5);
        EXPECT_EQ(m.pin->value().vpsId, 1);
        EXPECT_EQ(m.pin->value().anyProtocol, !choice.has_value());
    }
    EXPECT_EQ(starts(), 1u) << "a protocol choice reconnected";
    EXPECT_EQ(requestsTo("/api/client/exit-selection"), 1u);
    EXPECT_EQ(m.errorMessage.get(), std::nullopt);
    // The way back to the node's own exit keeps the automatic protocol.
    const bool reality = m.pin->value().reality;
    run(m.applyRoute(1, std::nullopt, reality, false));
    EXPECT_EQ(m.pin.get(), (PinPref{1, reality, true}));
}

// A metered exit whose traffic runs through the original exit: selected at the panel, then the
// list is asked for until the exit is back on its own route (answer `readyAt`; 0: never).
class ExitWaitTest : public RoutesTest, public ::testing::WithParamInterface<int> {};

TEST_P(ExitWaitTest, TheExitIsWaitedForUpToTheAttemptLimit) {
    {
        const int readyAt = GetParam();
        auto attempts = std::make_shared<std::atomic<int>>(0);
        panel.setHandler([this, attempts, readyAt](const RecordedRequest& r) {
            if (r.target.starts_with(kServersPath)) {
                const bool ready = readyAt && ++*attempts >= readyAt;
                return ScriptedReply::json(200, listJSON({1, 2}, exitJSON(5, 1, "Seoul", trafficJSON("ok", !ready))));
            }
            return script.reply(r);
        });
        script.set("/api/client/exit-selection", ScriptedReply::json(200, R"({"ok":true})"));
        AppModel& m = signedInModel([](AppModelParts& parts) {
            parts.timings.exitWaitAttempts = 3;
            parts.timings.exitWaitInterval = 20ms;
        });
        *attempts = 0;
        const std::size_t before = requestsTo(kServersPath);
        const std::size_t selections = requestsTo("/api/client/exit-selection");
        run(m.applyRoute(1, 5, true, false));
        // The connect selects it once more.
        EXPECT_EQ(requestsTo("/api/client/exit-selection") - selections, readyAt ? 2u : 1u);
        if (readyAt) {
            EXPECT_EQ(m.selectedExitId.get(), 5);
            EXPECT_EQ(proxyTypes(JSONValue::parse(tunnelPlatform->startOptions.back().at("config"))),
                      std::vector<std::string>{"vless"});
        } else {
            EXPECT_EQ(requestsTo(kServersPath) - before, 3u);
            EXPECT_EQ(m.errorMessage.get(), "The entry node is still preparing this exit. Refresh and try again.");
            EXPECT_EQ(m.selectedExitId.get(), std::nullopt);  // the route is not changed
            EXPECT_EQ(m.pin.get(), std::nullopt);
        }
        EXPECT_FALSE(m.connectInFlight);
    }
}

INSTANTIATE_TEST_SUITE_P(ReadyOrNever, ExitWaitTest, ::testing::Values(2, 0));

TEST_F(RoutesTest, AnExitThatIsNotOfferedForTheEntryIsRefused) {
    AppModel& m = withFleet();
    run(m.applyRoute(2, 5, true, false));
    EXPECT_EQ(m.errorMessage.get(), "Refresh and choose an available exit for this entry node.");
    EXPECT_TRUE(tunnelPlatform->startOptions.empty());
}

TEST_F(RoutesTest, AnAllowanceUsedUpWhileConnectedReconnectsOnceToTheOriginalExit) {
    AppModel& m = withFleet();
    m.pin = PinPref{1, true};
    m.selectedExitId = 5;
    run(m.connect());
    ASSERT_EQ(starts(), 1u);
    script.set(kServersPath, ScriptedReply::json(200, listJSON({1, 2}, exitJSON(5, 1, "Seoul", trafficJSON("exhausted", true)))));
    run(m.refreshServers(false));
    run(m.refreshServers(false));  // a second list while the first fallback runs starts no second one
    ASSERT_TRUE(runUntil([&] { return !m.quotaFallbackPending; }));
    runFor(50ms);
    EXPECT_EQ(starts(), 2u);
    EXPECT_EQ(m.quotaNotice.get(),
              "Seoul traffic was used up. Switched to Original VPS exit on the same entry node. No traffic was purchased.");
    EXPECT_EQ(m.selectedExitId.get(), std::nullopt);
    EXPECT_EQ(m.quotaFallbackEntryId, 1);
    EXPECT_EQ(m.pin.get(), (PinPref{1, true}));
    EXPECT_EQ(m.tunnel.status(), NEVPNStatus::connected);
    // From entry node 1 alone.
    EXPECT_EQ(proxyTypes(JSONValue::parse(tunnelPlatform->startOptions.back().at("config"))),
              (std::vector<std::string>{"hysteria2", "vless"}));
    EXPECT_EQ(m.pinChoice(), "proxy-1");
}

}  // namespace
