// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include <thread>

#include <QCoreApplication>
#include <QSignalSpy>

#include "Corvane/Screens/AppBridge.hpp"
#include "Corvane/Screens/ModelActions.hpp"
#include "ViewHarness.hpp"
#include "tools/fleet/TempDir.hpp"

using namespace corvane;

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
        {[&] { bridge.chooseProtocol("reality"); }, "chooseProtocol:reality"},  // the entry and exit stay
        {[&] { bridge.chooseProtocol("auto"); }, "chooseProtocol:auto"},
        {[&] { bridge.setSmartRouting(false); }, "setSmartRouting:false"},
        {[&] { bridge.setNotifications(false); }, "setNotifications:false"},
        {[&] { bridge.useFileCredentialStore(); }, "useFileCredentialStore"},
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


// The start-at-login switch writes the entry and shows what the file says:
// the user's own entry is named as kept, a failure says why and the switch stays off.
TEST(AppBridge, StartAtLoginShowsTheEntryAsItIs) {
    fleet::TempDir dir;
    const auto entryFile = dir.path() / "autostart" / "corvane.desktop";
    const auto templateFile = dir.path() / "template.desktop";
    RecordingActions actions;
    AppBridge bridge(actions, {});
    EXPECT_FALSE(bridge.startAtLoginOffered());

    bridge.setAutostartEntry(AutostartEntry(entryFile, templateFile));  // no template yet
    EXPECT_TRUE(bridge.startAtLoginOffered());
    EXPECT_FALSE(bridge.startAtLogin());
    bridge.setStartAtLogin(true);
    EXPECT_FALSE(bridge.startAtLogin());
    EXPECT_TRUE(bridge.startAtLoginNote().contains(QString::fromStdString(templateFile.string())))
        << bridge.startAtLoginNote().toStdString();

    fleet::writeFile(templateFile, "[Desktop Entry]\nExec=corvane --background\n");
    bridge.setStartAtLogin(true);
    EXPECT_TRUE(bridge.startAtLogin());
    EXPECT_TRUE(std::filesystem::exists(entryFile));
    EXPECT_EQ(bridge.startAtLoginNote(), "");

    // Edited outside the window: seen when the window is next activated.
    fleet::writeFile(entryFile, "[Desktop Entry]\nExec=my-corvane\nHidden=true\n");
    bridge.windowStateChanged(true, true);
    EXPECT_FALSE(bridge.startAtLogin());
    EXPECT_TRUE(bridge.startAtLoginNote().contains("Your own entry")) << bridge.startAtLoginNote().toStdString();
    bridge.setStartAtLogin(true);
    EXPECT_TRUE(bridge.startAtLogin());
    EXPECT_TRUE(std::filesystem::exists(entryFile));
}
