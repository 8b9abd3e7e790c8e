// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include <thread>

#include <boost/json/parse.hpp>

#include "Model/ModelFixture.hpp"
#include "Model/RouteFixture.hpp"
#include "tools/fleet/TempDir.hpp"

using namespace corvane;
using namespace corvane::testing;
using namespace corvane::fleet;

namespace {

struct SettingsCase {
    const char* name;
    const char* stored;  // the settings file, "" for none
    std::function<void(const AppModel&)> check;
};

class StoredSettings : public ModelTest, public ::testing::WithParamInterface<SettingsCase> {};

}  // namespace

TEST_P(StoredSettings, ReadAsTheTableSays) {
    const SettingsCase& c = GetParam();
    if (*c.stored) writeFile(dir.path() / "settings.json", c.stored);
    c.check(make());
}

INSTANTIATE_TEST_SUITE_P(
    AppModel, StoredSettings,
    ::testing::Values(
        SettingsCase{"nothing_stored", "",
                     [](const AppModel& m) {
                         EXPECT_TRUE(m.smartRouting);
                         EXPECT_FALSE(m.lanShare);
                         EXPECT_EQ(m.pin.get(), std::nullopt);
                         EXPECT_TRUE(m.connectedFleet->empty());
                         EXPECT_TRUE(m.disabledSiteIds->empty());
                         EXPECT_EQ(m.selectedExitId.get(), std::nullopt);
                         EXPECT_EQ(m.sharingOn.get(), std::nullopt);
                         EXPECT_EQ(m.lanAddress.get(), "192.168.1.20");
                         EXPECT_EQ(m.lanSharePassword->size(), 16u);
                         EXPECT_EQ(m.panelURL.get(), "https://");
                     }},
        SettingsCase{"stored_values",
                     R"({"selected_exit_id": 1152921504606846977, "quota_fallback_entry_id": 7,
                         "smart_routing": false, "lan_share": true, "disabled_site_ids": [3, 1],
                         "lan_share_address": "192.168.1.5", "lan_share_password": "secret",
                         "pin_pref": "{\"vpsId\":12,\"reality\":true}",
                         "connected_fleet": "[{\"vpsId\":1,\"name\":\"A\"},{\"vpsId\":2,\"name\":\"B\"}]"})",
                     [](const AppModel& m) {
                         EXPECT_EQ(m.selectedExitId.get(), 1152921504606846977LL);  // beyond a double's precision
                         EXPECT_EQ(m.quotaFallbackEntryId, 7);
                         EXPECT_FALSE(m.smartRouting);
                         EXPECT_TRUE(m.lanShare);
                         EXPECT_EQ(m.disabledSiteIds.get(), (std::set<std::int64_t>{1, 3}));
                         EXPECT_EQ(m.sharingOn.get(), "192.168.1.5");
                         EXPECT_EQ(m.lanSharePassword.get(), "secret");
                         EXPECT_EQ(m.pin.get(), (PinPref{12, true}));
                         EXPECT_EQ(m.connectedFleet.get(), (std::vector<FleetSlot>{{1, "A"}, {2, "B"}}));
                     }},
        SettingsCase{"wrong_types",
                     R"({"selected_exit_id": 1.5, "quota_fallback_entry_id": "7", "smart_routing": "no",
                         "lan_share": 1, "disabled_site_ids": [1, "2"], "lan_share_address": 5,
                         "lan_share_password": "", "pin_pref": "{\"vpsId\":\"x\"}", "connected_fleet": "not json"})",
                     [](const AppModel& m) {
                         EXPECT_EQ(m.selectedExitId.get(), std::nullopt);
                         EXPECT_EQ(m.quotaFallbackEntryId, std::nullopt);
                         EXPECT_TRUE(m.smartRouting);  // anything but a bool reads as on
                         EXPECT_FALSE(m.lanShare);
                         EXPECT_TRUE(m.disabledSiteIds->empty());  // one bad element spoils the array
                         EXPECT_EQ(m.sharingOn.get(), std::nullopt);
                         EXPECT_EQ(m.lanSharePassword->size(), 16u);  // "" counts as absent
                         EXPECT_EQ(m.pin.get(), std::nullopt);
                         EXPECT_TRUE(m.connectedFleet->empty());
                     }},
        SettingsCase{"pin_stored_as_an_object_not_text", R"({"pin_pref": {"vpsId": 12, "reality": true}})",
                     [](const AppModel& m) { EXPECT_EQ(m.pin.get(), std::nullopt); }}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(ModelTest, AGeneratedSharingPasswordIsStoredAtOnceAndKeptNextTime) {
    std::string first = make().lanSharePassword;
    auto stored = boost::json::parse(readFile(dir.path() / "settings.json")).as_object();
    EXPECT_EQ(stored.at("lan_share_password").as_string(), first);
    model.reset();
    EXPECT_EQ(make().lanSharePassword.get(), first);
}

TEST_F(ModelTest, SmartRoutingIsWrittenBackOnEveryChange) {
    AppModel& m = make();
    m.setSmartRouting(false);
    model.reset();
    EXPECT_FALSE(make().smartRouting);
}

// A setting that cannot be saved (the settings file is a folder here) fails the change
// with the reason and changes nothing: the user's changes throw it; a route change and
// a connect show it and start nothing; a sign-out still signs out, and says it.
TEST_F(RouteTest, ASettingThatCannotBeSavedFailsItsChangeAndChangesNothing) {
    script.set(kServersPath, ScriptedReply::json(200, listJSON({1, 2})));
    AppModel& m = signedInModel();
    const std::filesystem::path file = dir.path() / "settings.json";
    std::filesystem::remove(file);
    std::filesystem::create_directory(file);
    const std::string reason = "Could not save settings to " + file.string() + ": Is a directory";
    const std::string password = m.lanSharePassword;

    struct Change {
        const char* name;
        std::function<void()> change;
    };
    for (const auto& c : std::vector<Change>{
             {"smart routing", [&] { m.setSmartRouting(false); }},
             {"a site", [&] { m.setSiteEnabled(9, false); }},
             {"sharing", [&] { m.setLanShare(true); }},
             {"the sharing password", [&] { m.regenerateLanSharePassword(); }},
             {"a pin", [&] { m.pinTag("proxy-3"); }},
         }) {
        try {
            c.change();
            ADD_FAILURE() << c.name << ": the change did not fail";
        } catch (const SettingsWriteError& e) {
            EXPECT_EQ(e.what(), reason) << c.name;
        }
    }
    EXPECT_TRUE(m.smartRouting);
    EXPECT_TRUE(m.disabledSiteIds->empty());
    EXPECT_FALSE(m.lanShare);
    EXPECT_EQ(m.lanSharePassword.get(), password);
    EXPECT_EQ(m.pin.get(), std::nullopt);

    run(m.applyRoute(2, std::nullopt, true, false));
    EXPECT_EQ(m.errorMessage.get(), reason);
    EXPECT_EQ(m.pin.get(), std::nullopt);
    run(m.connect());
    EXPECT_EQ(m.errorMessage.get(), reason);
    EXPECT_EQ(starts(), 0u);
    EXPECT_TRUE(m.connectedFleet->empty());

    m.signOut();
    EXPECT_FALSE(m.signedIn);
    EXPECT_EQ(m.errorMessage.get(), reason);
    EXPECT_TRUE(std::filesystem::is_empty(file));
}

TEST_F(ModelTest, DerivedStatusFollowsTheTunnelAndTheConnectInFlight) {
    tunnelPlatform->profiles.push_back({.identifier = "p", .providerBundleIdentifier = std::string(TunnelIPC::providerBundleIdentifier)});
    tunnelPlatform->statuses["p"] = NEVPNStatus::disconnected;
    AppModel& m = make();
    run(m.tunnel.load());

    struct Row {
        NEVPNStatus tunnel;
        bool inFlight;
        UiStatus status;
        bool working;
    };
    for (Row row : {Row{NEVPNStatus::disconnected, false, UiStatus::disconnected, false},
                    Row{NEVPNStatus::disconnected, true, UiStatus::connecting, true},
                    Row{NEVPNStatus::connected, true, UiStatus::connecting, true},
                    Row{NEVPNStatus::connecting, false, UiStatus::connecting, false},
                    Row{NEVPNStatus::connected, false, UiStatus::connected, false},
                    Row{NEVPNStatus::reasserting, false, UiStatus::reconnecting, false},
                    Row{NEVPNStatus::disconnecting, false, UiStatus::disconnected, true}}) {
        tunnelPlatform->setStatus("p", row.tunnel);
        m.connectInFlight = row.inFlight;
        EXPECT_EQ(m.status(), row.status) << rawValue(row.status);
        EXPECT_EQ(m.working(), row.working) << rawValue(row.status);
        EXPECT_EQ(m.published()->status, row.status);
    }

    // A tunnel that went down from connected, with a reason, shows failed.
    m.connectInFlight = false;
    tunnelPlatform->setStatus("p", NEVPNStatus::connected);
    tunnelPlatform->lastDisconnectError = PlatformError{"com.corvane.tunnel.engine", 2, "the engine was ended by signal 9"};
    tunnelPlatform->setStatus("p", NEVPNStatus::disconnected);
    ASSERT_TRUE(runUntil([&] { return m.tunnel.lastError().has_value(); }));
    EXPECT_EQ(m.status(), UiStatus::failed);
}

TEST_F(ModelTest, TheFleetShownIsTheConnectedOneOnlyWhileTheTunnelIsUp) {
    script.set(kServersPath, ScriptedReply::json(200, "{\"servers\":[" + serverJSON(1, "A") + "," + serverJSON(2, "B") + "]}"));
    writeFile(dir.path() / "settings.json", R"({"connected_fleet": "[{\"vpsId\":2,\"name\":\"B\"}]"})");
    tunnelPlatform->profiles.push_back({.identifier = "p", .providerBundleIdentifier = std::string(TunnelIPC::providerBundleIdentifier)});
    tunnelPlatform->statuses["p"] = NEVPNStatus::connected;
    AppModel& m = signedInModel();
    EXPECT_EQ(m.snapshot(), (std::vector<FleetSlot>{{2, "B"}}));
    tunnelPlatform->setStatus("p", NEVPNStatus::disconnected);
    EXPECT_EQ(m.snapshot(), (std::vector<FleetSlot>{{1, "A"}, {2, "B"}}));
    runFor(20ms);
    EXPECT_EQ(*m.published()->snapshot, (std::vector<FleetSlot>{{1, "A"}, {2, "B"}}));
}

TEST_F(ModelTest, ChangesOfOneStepArePublishedOnceAndUnchangedListsAreShared) {
    std::string list = "{\"servers\":[";
    for (int i = 1; i <= 1000; ++i) {
        if (i > 1) list += ',';
        std::string name = "S";
        name += std::to_string(i);
        list += serverJSON(i, name);
    }
    script.set(kServersPath, ScriptedReply::json(200, list + "]}"));
    AppModel& m = signedInModel();
    std::vector<std::shared_ptr<const AppSnapshot>> seen;
    auto subscription = m.observe([&](const std::shared_ptr<const AppSnapshot>& s) { seen.push_back(s); });
    runFor(10ms);
    seen.clear();

    m.email = "a@b.c";
    m.errorMessage = "one";
    m.errorMessage = "two";
    EXPECT_TRUE(seen.empty());  // observers hear of it on the model's thread, after this step
    runFor(10ms);
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0]->email, "a@b.c");
    EXPECT_EQ(seen[0]->errorMessage, "two");
    ASSERT_EQ(seen[0]->servers->size(), 1000u);

    m.errorMessage = std::nullopt;
    runFor(10ms);
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[1]->servers, seen[0]->servers);    // the same list, not a copy
    EXPECT_EQ(seen[1]->snapshot, seen[0]->snapshot);  // and the same fleet derived from it
    EXPECT_GT(seen[1]->version, seen[0]->version);

    m.email = "a@b.c";  // no change, no publication
    runFor(10ms);
    EXPECT_EQ(seen.size(), 2u);

    subscription.reset();
    m.email = "x@y.z";
    runFor(10ms);
    EXPECT_EQ(seen.size(), 2u);
}

TEST_F(ModelTest, PathUpdatesSetTheNetworkStateAndAUsableNetworkRefreshes) {
    script.set(kServersPath, ScriptedReply::json(200, "{\"servers\":[" + serverJSON(1, "A") + "]}"));
    AppModel& m = signedInModel();
    ASSERT_EQ(requestsTo(kServersPath), 1u);

    paths->report({false, {}});
    runFor(30ms);
    EXPECT_FALSE(m.networkAvailable);
    EXPECT_EQ(m.networkSignature, "false:");
    EXPECT_EQ(requestsTo(kServersPath), 1u);  // no network, no refresh

    paths->report({true, {{"eth0", 2}, {"wlan0", 3}}});
    ASSERT_TRUE(runUntil([&] { return requestsTo(kServersPath) == 2; }));
    EXPECT_TRUE(m.networkAvailable);
    EXPECT_EQ(m.networkSignature, "true:eth0:2,wlan0:3");
}

namespace {

class FakeSleepMonitor final : public SleepMonitor {
public:
    void start(std::function<void()> willSleep, std::function<void()> didWake) override {
        willSleep_ = std::move(willSleep);
        didWake_ = std::move(didWake);
    }
    void cancel() override { willSleep_ = didWake_ = nullptr; }
    // From another thread, as logind's signal arrives.
    void sleep() { std::thread([this] { willSleep_(); }).join(); }
    void wake() { std::thread([this] { didWake_(); }).join(); }

private:
    std::function<void()> willSleep_, didWake_;
};

}  // namespace

TEST_F(ModelTest, SleepAndWakeReachTheModelOnItsThread) {
    auto monitor = std::make_shared<FakeSleepMonitor>();
    AppModel& m = make([&](AppModelParts& p) { p.sleepMonitor = monitor; });
    monitor->sleep();
    EXPECT_FALSE(m.deviceSleeping);  // not before the model's thread runs
    ASSERT_TRUE(runUntil([&] { return m.deviceSleeping; }));
    monitor->wake();
    ASSERT_TRUE(runUntil([&] { return !m.deviceSleeping; }));
}
