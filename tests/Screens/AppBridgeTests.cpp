#include <gtest/gtest.h>

#include <thread>

#include <QCoreApplication>
#include <QSignalSpy>

#include "Corvane/Screens/AppBridge.hpp"
#include "Corvane/Screens/ModelActions.hpp"
#include "Corvane/Screens/ModelLink.hpp"
#include "Model/RouteFixture.hpp"
#include "ViewHarness.hpp"

using namespace corvane;
using namespace corvane::testing;

namespace {

using NoActions = RecordingActions;

QCoreApplication& app() {
    static int argc = 1;
    static char name[] = "test_screens";
    static char* argv[] = {name, nullptr};
    static QCoreApplication instance(argc, argv);
    return instance;
}

std::shared_ptr<const AppSnapshot> snapshot(std::uint64_t version, std::string email = "") {
    auto s = std::make_shared<AppSnapshot>();
    s->version = version;
    s->email = std::move(email);
    return s;
}

}  // namespace

TEST(AppBridge, ABurstFromTheModelThreadRendersOnceWithTheNewest) {
    app();
    NoActions actions;
    AppBridge bridge(actions, {.appVersion = "1.0"});
    QSignalSpy changed(&bridge, &AppBridge::changed);
    std::thread model([&] {
        for (std::uint64_t v = 1; v <= 500; ++v) bridge.deliver(snapshot(v));
    });
    model.join();
    QCoreApplication::processEvents();
    EXPECT_EQ(changed.count(), 1);
    EXPECT_EQ(bridge.snapshot().version, 500u);
    // A later snapshot is shown again.
    bridge.deliver(snapshot(501));
    QCoreApplication::processEvents();
    EXPECT_EQ(changed.count(), 2);
    EXPECT_EQ(bridge.snapshot().version, 501u);
}

TEST(AppBridge, ATypedFieldIsNotOverwrittenByAnOlderSnapshot) {
    app();
    NoActions actions;
    AppBridge bridge(actions, {.appVersion = "1.0"});
    bridge.setEmail("ab");
    // The model publishes the value of the first key press after the second one was typed.
    bridge.apply(snapshot(1, "a"));
    EXPECT_EQ(bridge.email(), "ab");
    bridge.apply(snapshot(2, "ab"));
    EXPECT_EQ(bridge.email(), "ab");
    // Caught up: the model's own changes show again.
    bridge.apply(snapshot(3, ""));
    EXPECT_EQ(bridge.email(), "");
    EXPECT_EQ(actions.calls, QStringList{"setEmail:ab"});
}

TEST(AppBridge, StartsTheModelOnceWhenTheWindowFirstShows) {
    app();
    NoActions actions;
    AppBridge bridge(actions, {.appVersion = "1.0"});
    bridge.windowShown();
    bridge.windowShown();
    // The tunnel service is checked with it.
    EXPECT_EQ(actions.calls, (QStringList{"activateExtension", "start"}));
}

TEST(AppBridge, TellsTheModelEachChangeOfTheWindowsPhaseOnce) {
    app();
    NoActions actions;
    AppBridge bridge(actions, {.appVersion = "1.0"});
    // Shown, activated, activated again (a second signal), deactivated, closed.
    for (auto [active, visible] : {std::pair{false, true}, {true, true}, {true, true}, {false, true}, {false, false}}) {
        bridge.windowStateChanged(active, visible);
    }
    const QStringList expected{"scenePhaseChanged:false,false", "scenePhaseChanged:true,false",
                               "scenePhaseChanged:false,false", "scenePhaseChanged:false,true"};
    EXPECT_EQ(actions.calls, expected);
}

TEST(AppBridge, TheServiceStateFromTheModelThreadReachesTheChecklist) {
    app();
    NoActions actions;
    AppBridge bridge(actions, {.appVersion = "1.0"});
    EXPECT_EQ(bridge.extensionState(), "checking");
    std::thread model([&] {
        bridge.deliverExtensionState(SystemExtensionController::State::failed("not running"));
        bridge.deliverExtensionState(SystemExtensionController::State(SystemExtensionController::State::Kind::active));
    });
    model.join();
    QCoreApplication::processEvents();
    EXPECT_EQ(bridge.extensionState(), "active");  // in order, the last one last
    EXPECT_EQ(bridge.checklistTitle(), "");
}

// Each control of the window asks for exactly one model operation, with the
// arguments the shown route implies.
TEST(AppBridge, EachControlCallsItsOneOperation) {
    app();
    RecordingActions actions;
    AppBridge bridge(actions, {.appVersion = "1.0"});
    bridge.apply(snapshotFromJson(R"({"signedIn":true,"pin":{"vpsId":101,"reality":false},
        "servers":[{"vps_id":101,"name":"Tokyo","public_ip":"127.0.0.11","hysteria2_url":"hysteria2://a@127.0.0.11:8443",
                    "reality_url":"vless://a@127.0.0.11:443","config_version":1},
                   {"vps_id":102,"name":"Oslo","public_ip":"127.0.0.12","hysteria2_url":"",
                    "reality_url":"vless://a@127.0.0.12:443","config_version":1}],
        "exits":[{"exit_id":7,"vps_id":101,"name":"Osaka","metered":true,"ready":true,"reality_url":"vless://a@127.0.0.31:443"}]})"));
    actions.calls.clear();
    const std::vector<std::pair<std::function<void()>, QString>> controls = {
        {[&] { bridge.signIn(); }, "signIn"},
        {[&] { bridge.signOut(); }, "signOut"},
        {[&] { bridge.toggleConnection(); }, "toggleConnection"},
        {[&] { bridge.refreshServers(); }, "refreshServers"},
        {[&] { bridge.pinTag("proxy-3"); }, "pinTag:proxy-3"},
        {[&] { bridge.chooseEntry(-1); }, "applyRoute:nil,nil,false,false"},
        {[&] { bridge.chooseEntry(102); }, "applyRoute:102,nil,false,false"},  // keeps the pinned protocol
        {[&] { bridge.chooseExit(7); }, "applyRoute:101,7,true,false"},        // exits are reached over Reality
        {[&] { bridge.chooseExit(-1); }, "applyRoute:101,nil,false,false"},
        {[&] { bridge.chooseProtocol("reality"); }, "pinTag:proxy-1"},
        {[&] { bridge.chooseProtocol("auto"); }, "pinTag:proxy-auto"},
        {[&] { bridge.setSmartRouting(false); }, "setSmartRouting:false"},
        {[&] { bridge.setLockdown(true, true); }, "setLockdown:true,true"},
        {[&] { bridge.setSiteEnabled(3, true); }, "setSiteEnabled:3,true"},
        {[&] { bridge.setLanShare(true); }, "setLanShare:true"},
        {[&] { bridge.regenerateLanSharePassword(); }, "regenerateLanSharePassword"},
        {[&] { bridge.dismissQuotaNotice(); }, "dismissQuotaNotice"},
        {[&] { bridge.sendReport(); }, "sendDiagnostics"},
        {[&] { bridge.previewReport(); }, "previewDiagnostics"},
        {[&] { bridge.setPanelURL("https://p"); }, "setPanelURL:https://p"},
        {[&] { bridge.setPassword("pw"); }, "setPassword:pw"},
    };
    for (const auto& [control, expected] : controls) {
        actions.calls.clear();
        control();
        EXPECT_EQ(actions.calls, QStringList{expected});
    }
    // The preview arrives on the GUI thread.
    QSignalSpy preview(&bridge, &AppBridge::reportPreviewChanged);
    bridge.previewReport();
    EXPECT_TRUE(bridge.reportPreview().isEmpty());
    ASSERT_TRUE(preview.wait(2000));
    EXPECT_TRUE(bridge.reportPreview().contains("\"trigger_reason\": \"manual\""));
}

// The link runs each operation on the real model, on the model's loop.
class ModelLinkTest : public RouteTest {};

TEST_F(ModelLinkTest, EachOperationReachesTheModel) {
    struct Case {
        const char* name;
        std::function<void(AppModel&)> prepare;
        std::function<void(ModelActions&)> act;
        std::function<bool(AppModel&)> done;
        bool started = true;  // else a model that has not been started yet
    };
    std::size_t before = 0;
    std::string preview, password;
    const std::vector<Case> cases = {
        {"start", {}, [](auto& a) { a.start(); }, [](auto& m) { return m.signedIn.get() && m.servers->size() == 2; },
         false},
        {"panel URL", {}, [](auto& a) { a.setPanelURL("https://other.example"); },
         [](auto& m) { return m.panelURL.get() == "https://other.example"; }},
        {"email", {}, [](auto& a) { a.setEmail("me@example.com"); },
         [](auto& m) { return m.email.get() == "me@example.com"; }},
        {"password", {}, [](auto& a) { a.setPassword("pw-9"); }, [](auto& m) { return m.password.get() == "pw-9"; }},
        {"sign out", {}, [](auto& a) { a.signOut(); }, [](auto& m) { return !m.signedIn.get(); }},
        {"sign in",
         [&](AppModel& m) {
             m.signOut();
             m.panelURL = panel.url("");
             m.email = "me@example.com";
             m.password = "pw";
         },
         [](auto& a) { a.signIn(); }, [](auto& m) { return m.signedIn.get(); }},
        {"refresh", [&](AppModel&) { before = requestsTo(kServersPath); }, [](auto& a) { a.refreshServers(); },
         [&](auto&) { return requestsTo(kServersPath) > before; }},
        {"connect", {}, [](auto& a) { a.toggleConnection(); },
         [&](auto&) { return !tunnelPlatform->startOptions.empty(); }},
        {"pin a tag", {}, [](auto& a) { a.pinTag("proxy-3"); },
         [](auto& m) { return m.pin.get() == PinPref{2, true}; }},
        {"route", {}, [](auto& a) { a.applyRoute(2, std::nullopt, false, false); },
         [](auto& m) { return m.pin.get() == PinPref{2, false}; }},
        {"site", {}, [](auto& a) { a.setSiteEnabled(3, false); },
         [](auto& m) { return m.disabledSiteIds->contains(3); }},
        {"LAN share", {}, [](auto& a) { a.setLanShare(true); }, [](auto& m) { return m.lanShare.get(); }},
        {"new LAN password", [&](AppModel& m) { password = m.lanSharePassword.get(); },
         [](auto& a) { a.regenerateLanSharePassword(); },
         [&](auto& m) { return !m.lanSharePassword.get().empty() && m.lanSharePassword.get() != password; }},
        {"smart routing", {}, [](auto& a) { a.setSmartRouting(false); }, [](auto& m) { return !m.smartRouting.get(); }},
        {"quota notice", [](AppModel& m) { m.quotaNotice = "used up"; }, [](auto& a) { a.dismissQuotaNotice(); },
         [](auto& m) { return !m.quotaNotice->has_value(); }},
        {"send report", {}, [](auto& a) { a.sendDiagnostics(); },
         [](auto& m) { return m.diagnosticsNote->has_value(); }},
        {"preview report", {}, [&](auto& a) { a.previewDiagnostics([&](std::string text) { preview = text; }); },
         [&](auto&) { return preview.find("\"trigger_reason\": \"manual\"") != std::string::npos; }},
    };
    script.set(kServersPath, ScriptedReply::json(200, listJSON({1, 2})));
    script.set(kLoginPath, ScriptedReply::json(200, kLogin));
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        store->save("tok", panel.url(""));
        AppModel& m = c.started ? signedInModel() : make();
        ASSERT_EQ(m.servers->size(), c.started ? 2u : 0u);
        if (c.prepare) c.prepare(m);
        EXPECT_FALSE(c.done(m)) << "already done before the call";
        ModelLink link(m, io().get_executor());
        c.act(link);
        EXPECT_TRUE(runUntil([&] { return c.done(m); })) << "the operation did not reach the model";
    }
}

// A change the model refuses because its setting cannot be saved (the settings file
// is a folder here) shows why in the window, and the model's loop runs on.
TEST_F(ModelLinkTest, AChangeThatCannotBeSavedShowsWhy) {
    script.set(kServersPath, ScriptedReply::json(200, listJSON({1, 2})));
    AppModel& m = signedInModel();
    const std::filesystem::path file = dir.path() / "settings.json";
    std::filesystem::remove(file);
    std::filesystem::create_directory(file);
    ModelLink link(m, io().get_executor());
    link.setSmartRouting(false);
    EXPECT_TRUE(runUntil([&] { return m.errorMessage->has_value(); }));
    EXPECT_EQ(m.errorMessage.get(), "Could not save settings to " + file.string() + ": Is a directory");
    EXPECT_TRUE(m.smartRouting);
}
