// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include <boost/json/parse.hpp>

#include "CorvaneCore/Panel/CredentialBackend.hpp"
#include "CorvaneCore/Panel/PanelError.hpp"
#include "Model/ModelFixture.hpp"
#include "TestSupport/PrivateHome.hpp"
#include "tools/fleet/TempDir.hpp"

using namespace corvane;
using namespace corvane::testing;
using namespace corvane::fleet;
namespace fs = std::filesystem;

namespace {

ScriptedReply unreachable() {
    ScriptedReply r;
    r.drop = true;  // the connection closes without an answer, as when the panel is out of reach
    return r;
}

const std::string kHopeful = "Can't reach the panel. Signing in continues by itself when the network returns.";
const std::string kGiveUp = "Can't reach the panel. Check the address and your connection, then try again.";

}  // namespace

TEST_F(ModelTest, SignInFailuresShowTheirTextAndLeaveTheUserSignedOut) {
    struct Case {
        std::string name;
        std::string panelURL;  // "" for the test panel
        ScriptedReply reply;
        std::string message;
        std::size_t requests;
    };
    const std::vector<Case> cases = {
        {"plain http", "http://127.0.0.1:1", {}, "The panel address must be an https:// URL.", 0},
        {"no host", "https://", {}, "The panel address must be an https:// URL.", 0},
        {"wrong password", "", ScriptedReply::json(401, R"({"error":"invalid_credentials"})"), "Wrong email or password.", 1},
        {"refused", "", ScriptedReply::json(422, R"({"error":"locked","message":"Account locked"})"),
         PanelError::rejected(422, "locked", "Account locked").description(), 1},
        {"not a login reply", "", ScriptedReply::json(200, R"({"jwt":"x"})"), "", 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        model.reset();
        const std::size_t before = requestsTo(kLoginPath);
        script.set(kLoginPath, c.reply);
        AppModel& m = make();
        m.panelURL = c.panelURL.empty() ? panel.url("") : c.panelURL;
        m.email = "a@b.c";
        m.password = "pw";
        m.recoverWhenNetworkReturns(Recovery::signIn);  // a pending recovery ends with any final answer
        run(m.signIn(false));
        if (c.requests == 0) {
            EXPECT_TRUE(m.recovery.has_value());  // stopped before anything was tried
        } else {
            EXPECT_FALSE(m.recovery.has_value());
            EXPECT_FALSE(m.waitingForNetwork);
        }
        if (c.message.empty()) {
            EXPECT_TRUE(m.errorMessage->value_or("").starts_with(
                "panel sent an unexpected response: could not decode LoginResponse"));
        } else {
            EXPECT_EQ(m.errorMessage.get(), c.message);
        }
        EXPECT_EQ(requestsTo(kLoginPath) - before, c.requests);
        EXPECT_FALSE(m.signedIn);
        EXPECT_FALSE(m.busy);
        EXPECT_EQ(m.password.get(), "pw");
        EXPECT_EQ(store->token(panel.url("")), std::nullopt);
    }
}

TEST_F(ModelTest, SignInStoresTheTokenForTheTrimmedAddressAndLoadsTheFleet) {
    script.set(kLoginPath, ScriptedReply::json(200, kLogin));
    script.set(kServersPath, ScriptedReply::json(200, "{\"servers\":[" + serverJSON(1, "A") + "," + serverJSON(2, "B") +
                                                          "," + serverJSON(1, "A again") + "]}"));
    script.set(kVersionPath, ScriptedReply::json(200, versionJSON("1.5.0")));
    AppModel& m = make();
    m.panelURL = "  " + panel.url("/") + " \n";
    m.email = "a@b.c";
    m.password = "pw";
    run(m.signIn(false));

    EXPECT_EQ(m.errorMessage.get(), std::nullopt);
    EXPECT_TRUE(m.signedIn);
    EXPECT_FALSE(m.busy);
    EXPECT_EQ(m.password.get(), "");
    EXPECT_EQ(m.panelURL.get(), panel.url("/"));
    EXPECT_EQ(store->panelURL(), panel.url(""));  // kept in its canonical form
    EXPECT_EQ(store->token(panel.url("")), "jwt-1");
    ASSERT_EQ(m.servers->size(), 2u);  // one entry per VPS, the first one kept
    EXPECT_EQ(m.servers.get()[1].name, "B");
    EXPECT_EQ(m.servers.get()[0].name, "A");

    auto login = panel.requests().at(0);
    auto body = boost::json::parse(login.body).as_object();
    EXPECT_EQ(body.at("email").as_string(), "a@b.c");
    EXPECT_EQ(body.at("password").as_string(), "pw");
    EXPECT_EQ(body.at("deviceName").as_string(), "test-laptop");
    EXPECT_EQ(panel.requests().at(1).header("Authorization"), "Bearer jwt-1");

    // The daily check started with the sign-in.
    ASSERT_TRUE(runUntil([&] { return m.update->has_value(); }));
    EXPECT_EQ(m.update.get(), (UpdateStatus{true, false, "1.5.0", "1.0.0"}));
}

TEST_F(ModelTest, OfflineSignInRetriesOnceWhenTheNetworkReturnsThenGivesUp) {
    script.set(kLoginPath, unreachable());
    AppModel& m = make();
    m.panelURL = panel.url("");
    m.email = "a@b.c";
    m.password = "pw";
    run(m.signIn(false));
    EXPECT_EQ(m.errorMessage.get(), kHopeful);
    EXPECT_EQ(m.recovery, Recovery::signIn);
    EXPECT_TRUE(m.waitingForNetwork);
    EXPECT_FALSE(m.busy);

    // The network comes back: one automatic attempt, still hopeful after it fails.
    paths->report({true, {{"eth0", 2}}});
    ASSERT_TRUE(runUntil([&] { return requestsTo(kLoginPath) == 2 && !m.recoveryRunning; }));
    EXPECT_EQ(m.signInAutoAttempts, 1);
    EXPECT_EQ(m.errorMessage.get(), kHopeful);
    EXPECT_EQ(m.recovery, Recovery::signIn);

    // The timer's attempt is the second automatic one: it gives up for good.
    ASSERT_TRUE(runUntil([&] { return requestsTo(kLoginPath) == 3 && !m.recoveryRunning; }));
    EXPECT_EQ(m.errorMessage.get(), kGiveUp);
    EXPECT_FALSE(m.recovery.has_value());
    EXPECT_FALSE(m.waitingForNetwork);
    runFor(1200ms);  // past every remaining delay
    EXPECT_EQ(requestsTo(kLoginPath), 3u);
    EXPECT_FALSE(m.signedIn);
}

TEST_F(ModelTest, ARecoveryAttemptThatSucceedsFinishesItsSignIn) {
    script.set(kLoginPath, unreachable());
    AppModel& m = make();
    m.panelURL = panel.url("");
    m.email = "a@b.c";
    m.password = "pw";
    run(m.signIn(false));
    ASSERT_EQ(m.recovery, Recovery::signIn);

    script.set(kLoginPath, ScriptedReply::json(200, kLogin));
    ScriptedReply slowList = ScriptedReply::json(200, "{\"servers\":[" + serverJSON(1, "A") + "]}");
    slowList.delay = 100ms;  // still loading when the recovery is cleared
    script.set(kServersPath, slowList);
    // No path event: the recovery timer makes the attempt, and the attempt's own success ends that timer.
    ASSERT_TRUE(runUntil([&] { return m.signedIn && !m.busy; }));
    EXPECT_EQ(m.servers->size(), 1u);
    EXPECT_EQ(m.errorMessage.get(), std::nullopt);
    EXPECT_FALSE(m.recovery.has_value());
    EXPECT_FALSE(m.waitingForNetwork);
    EXPECT_EQ(m.password.get(), "");
}

TEST_F(ModelTest, AnUnreachableRefreshArmsARecoveryOnlyWithoutAList) {
    script.set(kServersPath, ScriptedReply::json(200, "{\"servers\":[" + serverJSON(1, "A") + "]}"));
    AppModel& m = signedInModel();
    ASSERT_EQ(m.servers->size(), 1u);

    script.set(kServersPath, unreachable());
    EXPECT_FALSE(run(m.refreshServers(false)));
    EXPECT_EQ(m.errorMessage.get(), PanelError::transientServer().description());
    EXPECT_EQ(m.servers->size(), 1u);  // the saved list stays usable
    EXPECT_FALSE(m.recovery.has_value());

    model.reset();
    AppModel& fresh = signedInModel();
    EXPECT_TRUE(fresh.servers->empty());
    EXPECT_EQ(fresh.recovery, Recovery::servers);
    EXPECT_TRUE(fresh.waitingForNetwork);

    // The panel returns; the timer's next attempt fetches the list and ends the recovery.
    script.set(kServersPath, ScriptedReply::json(200, "{\"servers\":[" + serverJSON(1, "A") + "]}"));
    ASSERT_TRUE(runUntil([&] { return !fresh.servers->empty(); }));
    EXPECT_FALSE(fresh.recovery.has_value());
    EXPECT_FALSE(fresh.waitingForNetwork);
    EXPECT_EQ(fresh.errorMessage.get(), std::nullopt);
}

TEST_F(ModelTest, ARecoveryPastItsWindowEndsWithoutAnAttempt) {
    fixedNow = std::chrono::system_clock::now();
    fixedSteadyNow = std::chrono::steady_clock::now();
    script.set(kServersPath, unreachable());
    AppModel& m = signedInModel([](AppModelParts& p) { p.timings.serversRecoveryDelays = {1h}; });
    ASSERT_EQ(m.recovery, Recovery::servers);

    // The wall clock set a day ahead is no time passing: the returning network is still tried.
    *fixedNow += 24h;
    std::size_t before = requestsTo(kServersPath);
    paths->report({true, {{"eth0", 2}}});
    ASSERT_TRUE(runUntil([&] { return requestsTo(kServersPath) > before && !m.recoveryRunning; }));
    EXPECT_EQ(m.recovery, Recovery::servers);
    before = requestsTo(kServersPath);

    *fixedSteadyNow += 301s;
    paths->report({true, {{"eth0", 2}}});
    ASSERT_TRUE(runUntil([&] { return !m.recovery.has_value(); }));
    EXPECT_FALSE(m.waitingForNetwork);
    runFor(50ms);
    EXPECT_EQ(requestsTo(kServersPath), before);
}

TEST_F(ModelTest, AnUnauthorizedRefreshSignsOutAndSaysWhy) {
    writeFile(dir.path() / "settings.json", R"({"selected_exit_id": 4, "pin_pref": "{\"vpsId\":1,\"reality\":true}"})");
    tunnelPlatform->profiles.push_back({.identifier = "p", .providerBundleIdentifier = std::string(TunnelIPC::providerBundleIdentifier)});
    script.set(kServersPath, ScriptedReply::json(401, R"({"error":"token_expired"})"));
    AppModel& m = signedInModel();

    EXPECT_FALSE(m.signedIn);
    EXPECT_EQ(m.errorMessage.get(), "Your session ended. Please sign in again.");
    EXPECT_EQ(store->token(panel.url("")), std::nullopt);
    EXPECT_EQ(m.selectedExitId.get(), std::nullopt);
    EXPECT_EQ(m.pin.get(), (PinPref{1, true}));  // the route preference survives
    EXPECT_EQ(m.panelURL.get(), panel.url(""));
    auto stored = boost::json::parse(readFile(dir.path() / "settings.json")).as_object();
    EXPECT_FALSE(stored.contains("selected_exit_id"));
    EXPECT_TRUE(stored.contains("pin_pref"));
    ASSERT_TRUE(runUntil([&] { return tunnelPlatform->profiles.empty(); }));  // the VPN profile goes too
}

TEST_F(ModelTest, ARefreshForAConnectTriesAnUnreachablePanelTwiceWithItsTimeout) {
    script.set(kServersPath, ScriptedReply::json(200, "{\"servers\":[" + serverJSON(1, "A") + "]}"));
    AppModel& m = signedInModel();
    ScriptedReply hang;
    hang.hang = true;
    script.set(kServersPath, hang);
    const std::size_t before = requestsTo(kServersPath);

    const auto started = std::chrono::steady_clock::now();
    EXPECT_FALSE(run(m.refreshServers(true)));
    const auto took = std::chrono::steady_clock::now() - started;
    EXPECT_EQ(requestsTo(kServersPath) - before, 2u);
    // Two requests, each ended by the connect's 300 ms timeout rather than at once (timers may fire a hair early).
    EXPECT_GE(took, 500ms);
    EXPECT_EQ(m.errorMessage.get(), PanelError::transientServer().description());
    EXPECT_FALSE(m.refreshing);

    // Not for a connect: one request.
    script.set(kServersPath, unreachable());
    EXPECT_FALSE(run(m.refreshServers(false)));
    EXPECT_EQ(requestsTo(kServersPath) - before, 3u);
}

TEST_F(ModelTest, AListThatArrivesAfterSignOutIsDropped) {
    script.set(kServersPath, ScriptedReply::json(200, "{\"servers\":[" + serverJSON(1, "A") + "]}"));
    AppModel& m = signedInModel();
    ScriptedReply slow = ScriptedReply::json(200, "{\"servers\":[" + serverJSON(2, "B") + "]}");
    slow.delay = 150ms;
    script.set(kServersPath, slow);

    bool done = false, result = true;
    spawnTask(io().get_executor(), [](AppModel& model, bool& result, bool& done) -> Async<void> {
        result = co_await model.refreshServers(false);
        done = true;
    }(m, result, done));
    ASSERT_TRUE(runUntil([&] { return requestsTo(kServersPath) == 2; }));
    m.signOut();
    ASSERT_TRUE(runUntil([&] { return done; }));
    EXPECT_FALSE(result);
    EXPECT_TRUE(m.servers->empty());
    EXPECT_FALSE(m.signedIn);
    EXPECT_FALSE(m.refreshing);
}

TEST_F(ModelTest, AnAllowanceUsedUpWhileDisconnectedSwitchesTheStoredRouteAtOnce) {
    writeFile(dir.path() / "settings.json", R"({"selected_exit_id": 5, "pin_pref": "{\"vpsId\":1,\"reality\":true}"})");
    auto exitWith = [](const std::string& traffic) {
        return R"({"servers":[)" + serverJSON(1, "Tokyo") +
               R"(],"exits":[{"exit_id":5,"vps_id":1,"name":"Seoul","metered":true,"ready":true,)"
               R"("reality_url":"vless://u@203.0.113.9:443","traffic":)" + traffic + "}]}";
    };
    // Running low is no reason to switch.
    script.set(kServersPath, ScriptedReply::json(200, exitWith(R"({"provider":"p","status":"low","remaining_gb":1,)"
                                                                R"("low_threshold_gb":5,"checked_at":"t","stale":false,)"
                                                                R"("fallback_on_exhaustion":true,"using_original":false})")));
    AppModel& m = signedInModel();
    EXPECT_EQ(m.selectedExitId.get(), 5);
    EXPECT_EQ(m.quotaNotice.get(), std::nullopt);

    script.set(kServersPath, ScriptedReply::json(200, exitWith(R"({"provider":"p","status":"exhausted","remaining_gb":0,)"
                                                                R"("low_threshold_gb":5,"checked_at":"t","stale":false,)"
                                                                R"("fallback_on_exhaustion":true,"using_original":false})")));
    EXPECT_TRUE(run(m.refreshServers(false)));
    EXPECT_EQ(m.selectedExitId.get(), std::nullopt);
    EXPECT_EQ(m.quotaFallbackEntryId, 1);
    EXPECT_EQ(m.quotaNotice.get(),
              "Seoul traffic was used up. Switched to Original VPS exit on the same entry node. No traffic was purchased.");
    auto stored = boost::json::parse(readFile(dir.path() / "settings.json")).as_object();
    EXPECT_FALSE(stored.contains("selected_exit_id"));
    EXPECT_EQ(stored.at("quota_fallback_entry_id").as_int64(), 1);
    EXPECT_TRUE(tunnelPlatform->startOptions.empty());  // nothing reconnects while the tunnel is down
}

// A sign-in the keyring will not keep (its prompt cancelled, locked, no Secret
// Service) says so in the desktop's words, never a status number, and offers
// the private file, which then keeps this sign-in and those of later starts.
TEST_F(ModelTest, ASignInTheKeyringRefusesSaysWhyAndThePrivateFileKeepsIt) {
    // The keyring's answer, as the Secret Service backend reports it (its real
    // prompts are in the Panel suite and corvanectl's).
    class RefusingKeyring final : public CredentialBackend {
    public:
        explicit RefusingKeyring(std::int32_t status) : status_(status) {}
        std::int32_t update(const CredentialQuery&, std::string_view) override { return status_; }
        std::int32_t add(const CredentialQuery&, std::string_view) override { return status_; }
        std::int32_t read(const CredentialQuery&, std::string&) override { return CredentialStatus::itemNotFound; }
        std::int32_t remove(const CredentialQuery&) override { return CredentialStatus::itemNotFound; }
        std::string name() const override { return "refusing"; }

    private:
        std::int32_t status_;
    };
    struct Case {
        std::int32_t status;
        std::string says;
    };
    const Case cases[] = {
        {CredentialStatus::noSuchKeychain, "creating one was cancelled"},
        {CredentialStatus::userCanceled, "creating one was cancelled"},
        {CredentialStatus::interactionNotAllowed, "your keyring is locked"},
        {CredentialStatus::notAvailable, "no keyring (Secret Service) answers"},
        {CredentialStatus::authFailed, "the keyring refused access"},
    };
    script.set(kLoginPath, ScriptedReply::json(200, kLogin));
    script.set(kServersPath, ScriptedReply::json(200, "{\"servers\":[" + serverJSON(1, "A") + "]}"));
    for (const auto& c : cases) {
        SCOPED_TRACE(c.status);
        model.reset();
        TempDir home;
        PrivateHome privateHome(home.path());
        std::error_code ignored;
        fs::remove(dir.path() / "settings.json", ignored);
        auto keyring = [&c](AppModelParts& parts) {
            parts.store = std::make_shared<KeychainTokenStore>(std::nullopt, std::make_shared<RefusingKeyring>(c.status));
        };
        AppModel& m = make(keyring);
        m.panelURL = panel.url("");
        m.email = "a@b.c";
        m.password = "pw";
        run(m.signIn(false));
        EXPECT_FALSE(m.signedIn);
        const std::string text = m.errorMessage->value_or("");
        EXPECT_NE(text.find(c.says), std::string::npos) << text;
        EXPECT_NE(text.find("private file"), std::string::npos) << text;
        EXPECT_EQ(text.find(std::to_string(c.status)), std::string::npos) << text;
        EXPECT_EQ(text.find("keychain"), std::string::npos) << text;
        EXPECT_TRUE(m.offerFileCredentialStore);

        m.useFileCredentialStore();
        run(m.signIn(false));
        EXPECT_TRUE(m.signedIn) << m.errorMessage->value_or("");
        EXPECT_FALSE(m.offerFileCredentialStore);
        const auto file = home.path() / "data" / "corvane" / "credentials.json";
        EXPECT_EQ(KeychainTokenStore({}, std::make_shared<FileCredentialBackend>(file)).token(panel.url("")),
                  std::optional<std::string>("jwt-1"));
        EXPECT_EQ(fs::status(file).permissions() & fs::perms::all, fs::perms::owner_read | fs::perms::owner_write);

        // The next start keeps to the file: signed in without asking the keyring.
        AppModel& again = make(keyring);
        run(again.start());
        EXPECT_TRUE(again.signedIn);
        model.reset();
    }
}
