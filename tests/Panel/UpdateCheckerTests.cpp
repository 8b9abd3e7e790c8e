// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include "CorvaneCore/Panel/UpdateChecker.hpp"
#include "CorvaneCore/Panel/Version.hpp"

using namespace corvane;

TEST(Version, ParseAndCompare) {
    using V = std::vector<std::int64_t>;
    EXPECT_EQ(Version::parse("v1.2.3-beta"), V({1, 2, 3}));
    EXPECT_EQ(Version::parse(" 2.0\n"), V({2, 0}));
    EXPECT_EQ(Version::parse("1..2"), V({1}));
    EXPECT_EQ(Version::parse("1.2+build.7"), V({1, 2}));
    EXPECT_EQ(Version::parse("3.99999999999999999999"), V({3}));  // a trailing run too large is dropped
    EXPECT_EQ(Version::parse("99999999999999999999.1"), std::nullopt);
    for (const char* notVersion : {"", "beta", ".1", "v", "x1.0"}) EXPECT_FALSE(Version::isVersion(notVersion)) << notVersion;

    struct Case { const char* a; const char* b; int result; };
    const Case cases[] = {
        {"1.2", "1.2.0", 0}, {"1.10", "1.9", 1}, {"1.4.0", "1.4.1", -1}, {"v2", "1.99", 1},
        {"word", "1.0", -1}, {"1.0", "word", 1}, {"a", "b", 0},
    };
    for (const auto& c : cases) EXPECT_EQ(Version::compare(c.a, c.b), c.result) << c.a << " vs " << c.b;
    EXPECT_TRUE(Version::isNewer("1.5", "1.4.9"));
    EXPECT_EQ(Version::release("  1.4.0+build.7 "), "1.4.0");
}

TEST(UpdateChecker, Evaluate) {
    struct Case {
        const char* latest;
        std::optional<std::string> minimum;
        const char* installed;
        bool update, blocking;
    };
    const Case cases[] = {
        {"1.4.0+build.7", std::nullopt, "1.4.0", false, false},
        {"1.4.0+build.7", std::nullopt, "1.3.9", true, false},
        {"1.5.0", "1.4.0", "1.3.0", true, true},
        {"1.5.0", "1.4.0", "1.4.0", true, false},
        {"1.5.0", "2.0.0", "1.5.0", false, false},  // nothing newer to install
        {"1.0", std::nullopt, "dev", true, false},
    };
    for (const auto& c : cases) {
        VersionResponse r{.version = c.latest, .minRequiredVersion = c.minimum};
        auto s = UpdateChecker::evaluate(r, c.installed);
        EXPECT_EQ(s.updateAvailable, c.update) << c.latest << " / " << c.installed;
        EXPECT_EQ(s.blocking, c.blocking) << c.latest << " / " << c.installed;
    }
    EXPECT_EQ(UpdateChecker::evaluate({.version = "1.4.0+b"}, " 1.3 "), (UpdateStatus{true, false, "1.4.0", "1.3"}));
    EXPECT_EQ(UpdateChecker::platform().rfind("linux-", 0), 0u);
}
