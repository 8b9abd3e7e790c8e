#include <gtest/gtest.h>

#include <thread>

#include <QCoreApplication>
#include <QSignalSpy>

#include "Corvane/Screens/AppBridge.hpp"
#include "Corvane/Screens/ModelActions.hpp"

using namespace corvane;

namespace {

struct NoActions final : ModelActions {
    void setPanelURL(std::string) override {}
    void setEmail(std::string v) override { emails.push_back(v); }
    void setPassword(std::string) override {}
    void start() override { ++starts; }
    void signIn() override {}
    void signOut() override {}
    void toggleConnection() override {}
    void disconnect() override {}
    void refreshServers() override {}
    void pinTag(std::string) override {}
    void applyRoute(std::optional<std::int64_t>, std::optional<std::int64_t>, bool, bool) override {}
    void setSiteEnabled(std::int64_t, bool) override {}
    void setLanShare(bool) override {}
    void regenerateLanSharePassword() override {}
    void sendDiagnostics() override {}
    void setSmartRouting(bool) override {}
    void dismissQuotaNotice() override {}
    void scenePhaseChanged(bool active, bool background) override { phases.emplace_back(active, background); }
    void activateExtension() override { ++activations; }
    std::vector<std::string> emails;
    std::vector<std::pair<bool, bool>> phases;
    int starts = 0;
    int activations = 0;
};

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
    EXPECT_EQ(actions.emails, std::vector<std::string>{"ab"});
}

TEST(AppBridge, StartsTheModelOnceWhenTheWindowFirstShows) {
    app();
    NoActions actions;
    AppBridge bridge(actions, {.appVersion = "1.0"});
    bridge.windowShown();
    bridge.windowShown();
    EXPECT_EQ(actions.starts, 1);
    EXPECT_EQ(actions.activations, 1);  // the tunnel service is checked with it
}

TEST(AppBridge, TellsTheModelEachChangeOfTheWindowsPhaseOnce) {
    app();
    NoActions actions;
    AppBridge bridge(actions, {.appVersion = "1.0"});
    // Shown, activated, activated again (a second signal), deactivated, closed.
    for (auto [active, visible] : {std::pair{false, true}, {true, true}, {true, true}, {false, true}, {false, false}}) {
        bridge.windowStateChanged(active, visible);
    }
    const std::vector<std::pair<bool, bool>> expected{{false, false}, {true, false}, {false, false}, {false, true}};
    EXPECT_EQ(actions.phases, expected);
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
