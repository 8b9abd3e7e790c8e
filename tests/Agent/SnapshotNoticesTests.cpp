// SPDX-License-Identifier: GPL-3.0-or-later
// Which changes of the model a user hears of, each once.
#include <gtest/gtest.h>

#include <functional>

#include "Corvane/Agent/SnapshotNotices.hpp"

using namespace corvane;

TEST(SnapshotNotices, EachEventIsToldOnceAndTheStateAtStartIsNone) {
    struct Case {
        const char* name;
        std::function<void(AppSnapshot&)> before, after;
        std::vector<std::string> titles;
        std::string bodyHas;  // in the first notice's body
    };
    auto status = [](UiStatus s) { return [s](AppSnapshot& a) { a.signedIn = true; a.status = s; }; };
    const Case cases[] = {
        {"connection lost", status(UiStatus::connected), status(UiStatus::reconnecting), {"Connection lost"}, "reconnecting"},
        {"connect failed", status(UiStatus::connecting),
         [](AppSnapshot& a) {
             a.signedIn = true;
             a.status = UiStatus::failed;
             a.tunnelLastError = "The engine stopped: no route.";
         },
         {"Connection failed"}, "no route"},
        {"failed while blocked", status(UiStatus::reconnecting),
         [](AppSnapshot& a) {
             a.signedIn = true;
             a.status = UiStatus::failed;
             a.trafficBlocked = true;
         },
         {"Connection failed"}, "blocked"},
        {"still failed", status(UiStatus::failed), status(UiStatus::failed), {}, ""},
        {"a disconnect asked for", status(UiStatus::connected), status(UiStatus::disconnected), {}, ""},
        {"metered exit used up", status(UiStatus::connected),
         [](AppSnapshot& a) {
             a.signedIn = true;
             a.status = UiStatus::connected;
             a.quotaNotice = "Residential US is used up; back on Amsterdam's own exit.";
         },
         {"Metered exit used up"}, "Residential US"},
        {"update required", [](AppSnapshot&) {},
         [](AppSnapshot& a) { a.update = UpdateStatus{.updateAvailable = true, .blocking = true, .latest = "2.0.0", .installed = "1.0.0"}; },
         {"Update required"}, "2.0.0"},
        {"optional update", [](AppSnapshot&) {},
         [](AppSnapshot& a) { a.update = UpdateStatus{.updateAvailable = true, .blocking = false, .latest = "2.0.0", .installed = "1.0.0"}; },
         {}, ""},
        {"session expired while connected", status(UiStatus::connected),
         [](AppSnapshot& a) {
             a.status = UiStatus::reconnecting;
             a.errorMessage = "Your session ended. Please sign in again.";
         },
         {"Connection lost", "Signed out"}, "reconnecting"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        SnapshotNotices notices;
        AppSnapshot before, after;
        c.before(before);
        c.after(after);
        EXPECT_TRUE(notices.next(before).empty()) << "the state at start is no event";
        const auto told = notices.next(after);
        std::vector<std::string> titles;
        for (const auto& n : told) titles.push_back(n.title);
        EXPECT_EQ(titles, c.titles);
        if (!told.empty()) {
            EXPECT_NE(told[0].body.find(c.bodyHas), std::string::npos) << told[0].body;
        }
        EXPECT_TRUE(notices.next(after).empty()) << "told twice";
    }
}
