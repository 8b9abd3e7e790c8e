// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include "Model/ModelFixture.hpp"

using namespace corvane;
using namespace corvane::testing;

TEST_F(ModelTest, ADismissedNoticeComesBackOnlyForADifferentResult) {
    script.set(kServersPath, ScriptedReply::json(200, R"({"servers":[]})"));
    script.set(kVersionPath, ScriptedReply::json(200, versionJSON("1.5.0", "https://panel.example/1.5.0.deb")));
    AppModel& m = signedInModel([](AppModelParts& p) { p.selfUpdates = false; });  // no daily loop: the test asks
    EXPECT_EQ(requestsTo(kVersionPath), 0u);

    struct Step {
        std::string name;
        std::string reply;
        std::optional<UpdateStatus> update;
        bool dismissedAfter;  // the user had dismissed the notice before this check
        std::optional<std::string> url;
        bool blocks;
    };
    const std::vector<Step> steps = {
        {"first result", versionJSON("1.5.0", "https://panel.example/1.5.0.deb"), UpdateStatus{true, false, "1.5.0", "1.0.0"},
         false, "https://panel.example/1.5.0.deb", false},
        {"same result", versionJSON("1.5.0", "https://panel.example/1.5.0.deb"), UpdateStatus{true, false, "1.5.0", "1.0.0"},
         true, "https://panel.example/1.5.0.deb", false},
        {"now required", versionJSON("1.5.0", "https://panel.example/1.5.0.deb", "1.2.0"),
         UpdateStatus{true, true, "1.5.0", "1.0.0"}, false, "https://panel.example/1.5.0.deb", true},
        {"plain http download keeps the last address", versionJSON("1.6.0", "http://panel.example/1.6.0.deb"),
         UpdateStatus{true, false, "1.6.0", "1.0.0"}, false, "https://panel.example/1.5.0.deb", false},
        {"nothing newer", versionJSON("1.0.0", "https://panel.example/1.0.0.deb"), std::nullopt, false,
         "https://panel.example/1.0.0.deb", false},
    };
    for (const auto& s : steps) {
        SCOPED_TRACE(s.name);
        script.set(kVersionPath, ScriptedReply::json(200, s.reply));
        m.updateDismissed = true;
        EXPECT_TRUE(run(m.checkForUpdate()));
        EXPECT_EQ(m.update.get(), s.update);
        EXPECT_EQ(m.updateDismissed.get(), s.dismissedAfter);
        EXPECT_EQ(m.updateURL, s.url);
        EXPECT_EQ(m.updateBlocksConnecting(), s.blocks);
    }

    // A failed check changes nothing.
    script.set(kVersionPath, ScriptedReply::json(200, versionJSON("2.0.0")));
    run(m.checkForUpdate());
    script.set(kVersionPath, ScriptedReply::json(503, ""));
    EXPECT_FALSE(run(m.checkForUpdate()));
    EXPECT_EQ(m.update.get(), (UpdateStatus{true, false, "2.0.0", "1.0.0"}));
    EXPECT_NE(panel.requests().back().target.find("platform=linux-"), std::string::npos);
}

TEST_F(ModelTest, TheDailyCheckRunsOnlyWhenTheAppUpdatesItself) {
    script.set(kServersPath, ScriptedReply::json(200, R"({"servers":[]})"));
    script.set(kVersionPath, ScriptedReply::json(200, versionJSON("1.5.0")));
    AppModel& managed = signedInModel([](AppModelParts& p) { p.selfUpdates = false; });
    runFor(50ms);
    EXPECT_EQ(requestsTo(kVersionPath), 0u);
    EXPECT_FALSE(managed.updateLoop.has_value());

    model.reset();
    AppModel& m = signedInModel([](AppModelParts& p) { p.timings.updateCheckInterval = 100ms; });
    ASSERT_TRUE(runUntil([&] { return requestsTo(kVersionPath) >= 3; }));  // at start, then every interval
    m.startUpdateChecks();  // already running: no second loop
    m.signOut();
    EXPECT_EQ(m.update.get(), std::nullopt);
    const std::size_t after = requestsTo(kVersionPath);
    runFor(250ms);
    EXPECT_EQ(requestsTo(kVersionPath), after);
}

// Checks ask the panel as the signed-in user: a start-up that finds the session
// ended starts none, and each sign-in starts them again after a sign-out.
TEST_F(ModelTest, TheDailyCheckRunsOnlyWhileSignedIn) {
    script.set(kServersPath, ScriptedReply::json(401, R"({"error":"unauthorized"})"));
    script.set(kLoginPath, ScriptedReply::json(200, kLogin));
    script.set(kVersionPath, ScriptedReply::json(200, versionJSON("1.5.0")));
    AppModel& m = signedInModel();  // the stored token is refused
    ASSERT_FALSE(m.signedIn);
    m.startUpdateChecks();
    runFor(100ms);
    EXPECT_FALSE(m.updateLoop.has_value());
    EXPECT_EQ(requestsTo(kVersionPath), 0u);

    script.set(kServersPath, ScriptedReply::json(200, R"({"servers":[]})"));
    m.panelURL = panel.url("");
    for (int round = 1; round <= 2; ++round) {
        SCOPED_TRACE(round);
        run(m.signIn(false));
        ASSERT_TRUE(m.signedIn);
        // The interval is an hour: only a loop started by this sign-in asks now.
        ASSERT_TRUE(runUntil([&] { return requestsTo(kVersionPath) == static_cast<std::size_t>(round); }));
        EXPECT_TRUE(m.updateLoop.has_value());
        m.signOut();
        EXPECT_FALSE(m.updateLoop.has_value());
    }
}
