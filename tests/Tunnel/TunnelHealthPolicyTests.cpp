// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "CorvaneCore/Tunnel/TunnelHealthPolicy.hpp"

using namespace corvane;
using Result = TunnelHealthPolicy::Result;

namespace {

const TunnelHealthPolicy::Date kStart = TunnelHealthPolicy::Date{} + std::chrono::hours(24 * 365 * 50);

TunnelHealthPolicy::Date at(int seconds) { return kStart + std::chrono::seconds(seconds); }

struct Check {
    int second;
    std::optional<bool> reachable;  // nothing: the check may not begin yet
    std::optional<Result> expected;
};

TEST(TunnelHealthPolicy, FollowsTheRecoveryRulesOverARunOfChecks) {
    const std::vector<Check> checks = {
        {0, false, Result::unreachable},
        {5, false, Result::recover},       // two failures, no recovery yet
        {10, false, Result::unreachable},  // failures start again from zero
        {14, std::nullopt, std::nullopt},  // five seconds after a failure have not passed
        {15, false, Result::unreachable},  // two failures, but the last recovery was 10 s ago
        {20, false, Result::unreachable},
        {60, false, Result::unreachable},  // 55 s after the recovery
        {65, false, Result::recover},      // 60 s after it: the second recovery
        {70, false, Result::unreachable},
        {75, false, Result::unreachable},
        {200, false, Result::unreachable},  // two recoveries without a success: no more
        {205, true, Result::reachable},     // a success resets both counters
        {230, std::nullopt, std::nullopt},  // thirty seconds after a success have not passed
        {235, false, Result::unreachable},
        {240, false, Result::recover},
        {245, false, Result::unreachable},
        {250, false, Result::unreachable},
    };
    TunnelHealthPolicy policy;
    for (const auto& check : checks) {
        auto token = policy.begin(at(check.second));
        if (!check.reachable) {
            EXPECT_FALSE(token) << "at " << check.second;
            continue;
        }
        ASSERT_TRUE(token) << "at " << check.second;
        EXPECT_TRUE(policy.isCurrent(*token));
        EXPECT_EQ(policy.finish(*token, *check.reachable, at(check.second)), *check.expected) << "at " << check.second;
        EXPECT_FALSE(policy.isCurrent(*token));
    }
}

TEST(TunnelHealthPolicy, OneCheckAtATimeAndOnlyTheCurrentOneCounts) {
    TunnelHealthPolicy policy;
    auto first = policy.begin(at(0));
    ASSERT_TRUE(first);
    EXPECT_FALSE(policy.begin(at(100)));

    policy.invalidate(false);
    EXPECT_FALSE(policy.isCurrent(*first));
    EXPECT_EQ(policy.finish(*first, false, at(1)), Result::stale);
    auto second = policy.begin(at(1));
    ASSERT_TRUE(second);
    EXPECT_NE(*second, *first);
    EXPECT_EQ(policy.finish(*first, true, at(2)), Result::stale);
    EXPECT_TRUE(policy.isCurrent(*second));
    EXPECT_EQ(policy.finish(*second, false, at(2)), Result::unreachable);
    EXPECT_EQ(policy.finish(*second, false, at(3)), Result::stale);
}

TEST(TunnelHealthPolicy, InvalidateForgetsFailuresAndANewSessionAlsoRecoveries) {
    auto exhaust = [](TunnelHealthPolicy& policy, int from) {
        // Two recoveries 60 s apart: no more until a success.
        const int seconds[] = {0, 5, 65, 70};
        for (int s : seconds) {
            auto token = policy.begin(at(from + s));
            policy.finish(token.value(), false, at(from + s));
        }
    };
    auto failTwice = [](TunnelHealthPolicy& policy, int from) {
        auto a = policy.begin(at(from));
        policy.finish(a.value(), false, at(from));
        auto b = policy.begin(at(from + 5));
        return policy.finish(b.value(), false, at(from + 5));
    };

    TunnelHealthPolicy sameSession;
    exhaust(sameSession, 0);
    sameSession.invalidate(false);
    EXPECT_EQ(failTwice(sameSession, 1000), Result::unreachable);

    TunnelHealthPolicy newSession;
    exhaust(newSession, 0);
    newSession.invalidate(true);
    // A new session may begin at once and recover at once.
    EXPECT_EQ(failTwice(newSession, 71), Result::recover);
}

}  // namespace
