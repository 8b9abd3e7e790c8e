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
